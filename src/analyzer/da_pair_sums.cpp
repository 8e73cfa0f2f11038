// Multi-row DA pair sums: the rows are interleaved so that lane r of every
// vector holds row r, and the adder pipeline stays full although each row's
// sum is one dependent chain.
#include "analyzer/da_pair_sums.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

namespace lexispan {

namespace {

// Vectors of W doubles, read from memory aligned only as a double is. (An
// alias template would silently drop the vector attribute.)
using doubles2 = double __attribute__((vector_size(16), aligned(8)));
using doubles4 = double __attribute__((vector_size(32), aligned(8)));
using doubles8 = double __attribute__((vector_size(64), aligned(8)));
using bits2 = std::uint64_t __attribute__((vector_size(16), aligned(8)));
using bits4 = std::uint64_t __attribute__((vector_size(32), aligned(8)));
using bits8 = std::uint64_t __attribute__((vector_size(64), aligned(8)));

// The same additions as the scalar loop, lane by lane, in da_lanes / W
// separate accumulators so that they stay in registers. |x| is taken by
// clearing the sign bit, exactly what fabs does.
template <class Doubles, class Bits>
inline __attribute__((always_inline)) void pair_sums(const double* q, std::size_t n,
                                                     double* sums) {
    constexpr std::size_t W = sizeof(Doubles) / sizeof(double);
    constexpr std::size_t K = da_lanes / W;
    static_assert(K * W == da_lanes);
    constexpr std::uint64_t magnitude = ~(std::uint64_t{1} << 63);
    const Bits mask = Bits{} + magnitude;
    Doubles acc[K];
    for (std::size_t k = 0; k < K; ++k) {
        acc[k] = Doubles{} + 0.0;
    }
    for (std::size_t i = 0; i + 1 < n; ++i) {
        Doubles qi[K];
        for (std::size_t k = 0; k < K; ++k) {
            qi[k] = *reinterpret_cast<const Doubles*>(q + i * da_lanes + k * W);
        }
        for (std::size_t j = i + 1; j < n; ++j) {
            const double* qj = q + j * da_lanes;
            for (std::size_t k = 0; k < K; ++k) {
                const Doubles d = qi[k] - *reinterpret_cast<const Doubles*>(qj + k * W);
                const Doubles term =
                    __builtin_bit_cast(Doubles, __builtin_bit_cast(Bits, d) & mask);
                // acc first, so both NaN operands keep acc's payload, as
                // in the scalar sum (see ordered_add.hpp).
#if defined(__x86_64__)
                if constexpr (W == 2) {
                    asm("addpd %1, %0" : "+x"(acc[k]) : "x"(term));
                } else {
                    asm("vaddpd %2, %1, %0" : "=v"(acc[k]) : "v"(acc[k]), "v"(term));
                }
#else
                acc[k] += term;
#endif
            }
        }
    }
    for (std::size_t k = 0; k < K; ++k) {
        *reinterpret_cast<Doubles*>(sums + k * W) = acc[k];
    }
}

void pair_sums_baseline(const double* q, std::size_t n, double* sums) {
    pair_sums<doubles2, bits2>(q, n, sums);
}

#if defined(__x86_64__) || defined(__i386__)
#define LEXISPAN_X86_KERNELS 1
__attribute__((target("avx512f"))) void pair_sums_avx512(const double* q, std::size_t n,
                                                         double* sums) {
    pair_sums<doubles8, bits8>(q, n, sums);
}

__attribute__((target("avx2"))) void pair_sums_avx2(const double* q, std::size_t n,
                                                    double* sums) {
    pair_sums<doubles4, bits4>(q, n, sums);
}

#else
#define LEXISPAN_X86_KERNELS 0
constexpr auto pair_sums_avx512 = pair_sums_baseline;
constexpr auto pair_sums_avx2 = pair_sums_baseline;
#endif

using KernelFunction = void (*)(const double*, std::size_t, double*);

KernelFunction kernel_for(DaKernel kernel) noexcept {
    switch (kernel) {
        case DaKernel::avx512:
            return pair_sums_avx512;
        case DaKernel::avx2:
            return pair_sums_avx2;
        case DaKernel::baseline:
            break;
    }
    return pair_sums_baseline;
}

// A growable block of doubles aligned to a cache line.
class InterleavedBuffer {
public:
    InterleavedBuffer() = default;
    InterleavedBuffer(const InterleavedBuffer&) = delete;
    InterleavedBuffer& operator=(const InterleavedBuffer&) = delete;
    ~InterleavedBuffer() { release(); }

    // Room for at least `count` doubles; the contents are unspecified.
    double* take(std::size_t count) {
        if (count > capacity_) {
            release();
            data_ = static_cast<double*>(::operator new(count * sizeof(double), alignment));
            capacity_ = count;
        }
        return data_;
    }

private:
    static constexpr std::align_val_t alignment{64};

    void release() noexcept {
        if (data_ != nullptr) {
            ::operator delete(data_, alignment);
            data_ = nullptr;
            capacity_ = 0;
        }
    }

    double* data_ = nullptr;
    std::size_t capacity_ = 0;
};

DaKernel widest_kernel() noexcept {
    if (da_kernel_available(DaKernel::avx512)) {
        return DaKernel::avx512;
    }
    if (da_kernel_available(DaKernel::avx2)) {
        return DaKernel::avx2;
    }
    return DaKernel::baseline;
}

}  // namespace

bool da_kernel_available(DaKernel kernel) noexcept {
    switch (kernel) {
        case DaKernel::baseline:
            return true;
#if LEXISPAN_X86_KERNELS
        case DaKernel::avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        case DaKernel::avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") != 0;
#else
        case DaKernel::avx2:
        case DaKernel::avx512:
            return false;
#endif
    }
    return false;
}

void da_pair_sums_with(DaKernel kernel, const double* const* rows, std::size_t count,
                       std::size_t n, double* sums) {
    // One interleaved copy per worker thread, reused across calls; lanes
    // without a row hold zeros and are ignored. Kept on a cache-line
    // boundary: a large block straight from malloc sits 16 bytes past a page
    // start, and then every 32- or 64-byte load of the kernels straddles two
    // lines, which costs about a third of the DA time.
    thread_local InterleavedBuffer buffer;
    double* const interleaved = buffer.take(n * da_lanes);
    std::fill(interleaved, interleaved + n * da_lanes, 0.0);
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t j = 0; j < n; ++j) {
            interleaved[j * da_lanes + r] = rows[r][j];
        }
    }
    double result[da_lanes];
    kernel_for(kernel)(interleaved, n, result);
    for (std::size_t r = 0; r < count; ++r) {
        sums[r] = result[r];
    }
}

void da_pair_sums(const double* const* rows, std::size_t count, std::size_t n, double* sums) {
    static const DaKernel widest = widest_kernel();
    da_pair_sums_with(widest, rows, count, n, sums);
}

}  // namespace lexispan
