// What the core takes from the compiler beyond standard C++20, each with a
// standard stand-in. The portable build (LEXISPAN_PORTABLE) and compilers
// other than GCC and Clang get the stand-ins only, so the core is then plain
// C++20; every stand-in gives the bits of what it replaces.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if !defined(LEXISPAN_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
#define LEXISPAN_GNU_EXTENSIONS 1
#else
#define LEXISPAN_GNU_EXTENSIONS 0
#endif

// The x86-64 kernels: vector extensions, target attributes and inline
// assembly (platform/cpu_dispatch.hpp chooses among them).
#if LEXISPAN_GNU_EXTENSIONS && defined(__x86_64__)
#define LEXISPAN_X86_KERNELS 1
#else
#define LEXISPAN_X86_KERNELS 0
#endif

#if LEXISPAN_GNU_EXTENSIONS
#define LEXISPAN_ALWAYS_INLINE inline __attribute__((always_inline))
#define LEXISPAN_NOINLINE __attribute__((noinline))
#else
#define LEXISPAN_ALWAYS_INLINE inline
#define LEXISPAN_NOINLINE
#endif

namespace lexispan {

// `bits` (an unsigned integer) with its bytes in reverse order.
template <class Bits>
[[nodiscard]] constexpr Bits byte_swap(Bits bits) noexcept {
#if LEXISPAN_GNU_EXTENSIONS
    if constexpr (sizeof(Bits) == 2) {
        return __builtin_bswap16(bits);
    } else if constexpr (sizeof(Bits) == 4) {
        return __builtin_bswap32(bits);
    } else if constexpr (sizeof(Bits) == 8) {
        return __builtin_bswap64(bits);
    }
#endif
    std::uint64_t in = bits;
    std::uint64_t out = 0;
    for (std::size_t i = 0; i < sizeof(Bits); ++i) {
        out = (out << 8) | (in & 0xFFU);
        in >>= 8;
    }
    return static_cast<Bits>(out);
}

// An unsigned 128-bit integer in two words, with what the core asks of the
// compiler's own: products and sums modulo 2^128, and the conversion to
// double rounded to nearest, ties to even.
class PortableWideUnsigned {
public:
    constexpr PortableWideUnsigned(std::uint64_t low = 0) noexcept : low_(low) {}

    [[nodiscard]] constexpr std::uint64_t high() const noexcept { return high_; }
    [[nodiscard]] constexpr std::uint64_t low() const noexcept { return low_; }

    friend constexpr PortableWideUnsigned operator*(PortableWideUnsigned a,
                                                    std::uint64_t b) noexcept {
        // The low word's full product from 32-bit halves, then the high
        // word's low half of its product.
        constexpr std::uint64_t half = 0xFFFFFFFFU;
        const std::uint64_t a0 = a.low_ & half;
        const std::uint64_t a1 = a.low_ >> 32;
        const std::uint64_t b0 = b & half;
        const std::uint64_t b1 = b >> 32;
        const std::uint64_t p00 = a0 * b0;
        const std::uint64_t p01 = a0 * b1;
        const std::uint64_t p10 = a1 * b0;
        const std::uint64_t middle = (p00 >> 32) + (p01 & half) + (p10 & half);
        PortableWideUnsigned product;
        product.low_ = (middle << 32) | (p00 & half);
        product.high_ = a1 * b1 + (p01 >> 32) + (p10 >> 32) + (middle >> 32) + a.high_ * b;
        return product;
    }

    constexpr PortableWideUnsigned& operator+=(PortableWideUnsigned other) noexcept {
        low_ += other.low_;
        high_ += other.high_ + (low_ < other.low_ ? 1U : 0U);
        return *this;
    }

    friend constexpr bool operator<(PortableWideUnsigned a, PortableWideUnsigned b) noexcept {
        return a.high_ != b.high_ ? a.high_ < b.high_ : a.low_ < b.low_;
    }

    explicit operator double() const noexcept {
        if (high_ == 0) {
            return static_cast<double>(low_);
        }
        // The top 64 bits, with every bit below them folded into the
        // lowest: a double keeps 53, so that bit only tells the rounding
        // that the rest is not zero.
        const int shift = std::countl_zero(high_);
        std::uint64_t top = high_ << shift;
        std::uint64_t rest = low_;
        if (shift > 0) {
            top |= low_ >> (64 - shift);
            rest = low_ << shift;
        }
        top |= rest != 0 ? 1U : 0U;
        return std::ldexp(static_cast<double>(top), 64 - shift);
    }

private:
    std::uint64_t high_ = 0;
    std::uint64_t low_;
};

#if LEXISPAN_GNU_EXTENSIONS && defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 WideUnsigned;
#else
using WideUnsigned = PortableWideUnsigned;
#endif

}  // namespace lexispan
