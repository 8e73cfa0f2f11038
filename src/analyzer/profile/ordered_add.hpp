// Addition and multiplication with a fixed operand order. When both
// operands of an x86 add or multiply are NaN, the result carries the first
// operand's payload, and the compiler is free to commute a + b and a * b,
// differently wherever the same formula is compiled; so two entry points,
// or the scalar and the multi-row DA sums, would pick different NaN
// payloads. Pinning the first operand makes every path keep the same bits.
// It sits in the lowest folder of the analyzer because every sum adds
// through it, the profile's own ones included.
#pragma once

#include <bit>
#include <cstdint>

#include "platform/compiler.hpp"

namespace lexispan {

// x's NaN, quieted, as x86 passes a NaN operand on.
[[nodiscard]] inline double quieted(double x) noexcept {
    constexpr std::uint64_t quiet = std::uint64_t{1} << 51;
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) | quiet);
}

// sum + term with x86's choice of NaN, in standard C++: a NaN sum, else a
// NaN term, comes out quieted with its payload; any other pair is added
// (the result no longer depends on the operand order). ARM, say, would
// prefer a signalling NaN term to a quiet NaN sum.
[[nodiscard]] inline double accumulate_portable(double sum, double term) noexcept {
    if (sum != sum) {
        return quieted(sum);
    }
    if (term != term) {
        return quieted(term);
    }
    return sum + term;
}

// a * b with x86's choice of NaN, in standard C++, as accumulate_portable.
[[nodiscard]] inline double multiply_portable(double a, double b) noexcept {
    if (a != a) {
        return quieted(a);
    }
    if (b != b) {
        return quieted(b);
    }
    return a * b;
}

// sum + term, whose NaN is sum's when both are NaN.
[[nodiscard]] inline double accumulate(double sum, double term) noexcept {
#if LEXISPAN_X86_KERNELS
    // The accumulator is the add's first operand.
    asm("addsd %1, %0" : "+x"(sum) : "x"(term));
    return sum;
#else
    return accumulate_portable(sum, term);
#endif
}

// a * b, whose NaN is a's when both are NaN.
[[nodiscard]] inline double multiply(double a, double b) noexcept {
#if LEXISPAN_X86_KERNELS
    asm("mulsd %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    return multiply_portable(a, b);
#endif
}

}  // namespace lexispan
