// Multi-row DA pair sums. Each row's sum is one dependent chain of adds, so
// the speed comes from running independent rows side by side: lane r of a
// vector carries row r, and a kernel keeps several such vectors (chains) in
// registers so that the adder never waits on its own latency.
//
// Every element of a row is read again for each i, so what a kernel streams
// between two reads of the same element is (n - i) x the rows it carries.
// When that no longer fits in L2 the loop runs at L3 bandwidth, below the
// adder; the rows are then taken fewer at a time (but not so few that the
// adder's latency costs more), and more of them together again once the
// remaining stream is short enough. A row's chain
// only moves from one register to another in between, so its additions keep
// their order.
#include "analyzer/da_pair_sums.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

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

// A kernel's rows sit in blocks of W lanes: block b holds element j of its
// rows at blocks[b][j * stride + lane]. `state` carries each chain's running
// sum in and out, W doubles per block, so a row can be taken up again by a
// kernel with a different number of chains.
using chains_function = void (*)(const double* const* blocks, std::size_t stride, std::size_t n,
                                 std::size_t i_begin, std::size_t i_end, double* state);

// One pair term for one chain: acc += |qi - qj|, lane by lane. |x| is
// taken by clearing the sign bit, exactly what fabs does.
template <class Doubles, class Bits>
inline __attribute__((always_inline)) void add_term(Doubles& acc, Doubles qi, const double* qj,
                                                    Bits mask) {
    const Doubles d = qi - *reinterpret_cast<const Doubles*>(qj);
    const Doubles term = __builtin_bit_cast(Doubles, __builtin_bit_cast(Bits, d) & mask);
    // acc first, so both NaN operands keep acc's payload, as in the scalar
    // sum (see ordered_add.hpp).
#if defined(__x86_64__)
    if constexpr (sizeof(Doubles) == 16) {
        asm("addpd %1, %0" : "+x"(acc) : "x"(term));
    } else {
        asm("vaddpd %1, %0, %0" : "+v"(acc) : "v"(term));
    }
#else
    acc += term;
#endif
}

// The additions of the scalar loop for pairs (i, j), i_begin <= i < i_end,
// with K blocks' chains in K registers. The chains are indexed only by
// constants (the pack), which lets the compiler keep every one of them in a
// register; a loop over k leaves them in a stack array.
template <class Doubles, class Bits, std::size_t... Ks>
inline __attribute__((always_inline)) void chains(std::index_sequence<Ks...>,
                                                  const double* const* blocks,
                                                  std::size_t stride, std::size_t n,
                                                  std::size_t i_begin, std::size_t i_end,
                                                  double* state) {
    constexpr std::size_t W = sizeof(Doubles) / sizeof(double);
    constexpr std::size_t K = sizeof...(Ks);
    constexpr std::uint64_t magnitude = ~(std::uint64_t{1} << 63);
    const Bits mask = Bits{} + magnitude;
    const double* const base[K] = {blocks[Ks]...};
    Doubles acc[K] = {*reinterpret_cast<const Doubles*>(state + Ks * W)...};
    for (std::size_t i = i_begin; i < i_end; ++i) {
        const Doubles qi[K] = {*reinterpret_cast<const Doubles*>(base[Ks] + i * stride)...};
        for (std::size_t j = i + 1; j < n; ++j) {
            (add_term(acc[Ks], qi[Ks], base[Ks] + j * stride, mask), ...);
        }
    }
    ((*reinterpret_cast<Doubles*>(state + Ks * W) = acc[Ks]), ...);
}

// One out-of-line function per instruction set and chain count, so that
// each is compiled for its own register file (and tools/check-da-registers
// can find each one in the built module).
template <std::size_t K>
__attribute__((noinline)) void chains_baseline(const double* const* blocks, std::size_t stride, std::size_t n,
                                               std::size_t i_begin, std::size_t i_end,
                                               double* state) {
    chains<doubles2, bits2>(std::make_index_sequence<K>{}, blocks, stride, n, i_begin, i_end, state);
}

#if defined(__x86_64__) || defined(__i386__)
#define LEXISPAN_X86_KERNELS 1
template <std::size_t K>
__attribute__((target("avx2"), noinline)) void chains_avx2(const double* const* blocks, std::size_t stride,
                                                           std::size_t n, std::size_t i_begin,
                                                           std::size_t i_end, double* state) {
    chains<doubles4, bits4>(std::make_index_sequence<K>{}, blocks, stride, n, i_begin, i_end, state);
}

template <std::size_t K>
__attribute__((target("avx512f"), noinline)) void chains_avx512(const double* const* blocks, std::size_t stride,
                                                                std::size_t n,
                                                                std::size_t i_begin,
                                                                std::size_t i_end, double* state) {
    chains<doubles8, bits8>(std::make_index_sequence<K>{}, blocks, stride, n, i_begin, i_end, state);
}
#else
#define LEXISPAN_X86_KERNELS 0
#endif

// What a kernel family offers: its width, and chains[k - 1] runs k chains,
// for k up to as many as its register file holds beside the rows' current
// elements, the sign mask and a term.
struct KernelFamily {
    std::size_t width;
    std::size_t max_chains;
    chains_function chains[6];
};

// Three 8-lane chains cover the adder's latency at two adds per cycle; six
// 4-lane chains fill 12 of AVX2's 16 registers; the 16 SSE2 registers hold
// six 2-lane chains with their elements.
constexpr KernelFamily baseline_family{
    2,
    6,
    {chains_baseline<1>, chains_baseline<2>, chains_baseline<3>, chains_baseline<4>,
     chains_baseline<5>, chains_baseline<6>}};
#if LEXISPAN_X86_KERNELS
constexpr KernelFamily avx2_family{
    4,
    6,
    {chains_avx2<1>, chains_avx2<2>, chains_avx2<3>, chains_avx2<4>, chains_avx2<5>,
     chains_avx2<6>}};
constexpr KernelFamily avx512_family{
    8, 3, {chains_avx512<1>, chains_avx512<2>, chains_avx512<3>, nullptr, nullptr, nullptr}};
#else
constexpr KernelFamily avx2_family = baseline_family;
constexpr KernelFamily avx512_family = baseline_family;
#endif

static_assert(da_lanes % 8 == 0, "a full group fills whole blocks of every width");

const KernelFamily& family_for(DaKernel kernel) noexcept {
    switch (kernel) {
        case DaKernel::avx512:
            return avx512_family;
        case DaKernel::avx2:
            return avx2_family;
        case DaKernel::baseline:
            break;
    }
    return baseline_family;
}

// The fewest rows one pass carries, even when fewer would fit in L2. Each
// row is one chain of adds, so r rows go at most r / latency pairs per
// cycle: with a 2-cycle add, 8 rows are about as fast as streaming from L3
// (measured: 8 rows in one chain 4 pairs per cycle, 24 rows from L3 3.3, 4
// rows in L2 2).
constexpr std::size_t least_rows_per_pass = 8;

// How much the streamed rows may fill: all of L2. (Measured on a 1 MiB L2:
// three quarters of it or one and a half times it both came out slower;
// the L1 lines and the few other lines of the loop hardly count.)
std::size_t stream_budget_bytes() noexcept {
    constexpr long fallback = 1L << 20;
    long l2 = 0;
#if defined(_SC_LEVEL2_CACHE_SIZE)
    l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
    if (l2 < (64L << 10)) {
        l2 = fallback;
    }
    return static_cast<std::size_t>(l2);
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
    static const std::size_t budget = stream_budget_bytes();
    da_pair_sums_with_budget(kernel, rows, count, n, sums, budget);
}

void da_pair_sums_with_budget(DaKernel kernel, const double* const* rows, std::size_t count,
                              std::size_t n, double* sums, std::size_t stream_budget) {
    const KernelFamily& family = family_for(kernel);
    const std::size_t width = family.width;
    const std::size_t block_count = (count + width - 1) / width;
    if (block_count == 0) {
        return;
    }
    // One interleaved copy per worker thread, reused across calls. Kept on
    // a cache-line boundary: a large block straight from malloc sits 16
    // bytes past a page start, and then every 32- or 64-byte load of the
    // kernels straddles two lines, which costs about a third of the DA time.
    thread_local InterleavedBuffer buffer;
    double* const interleaved = buffer.take(block_count * width * n);

    double state[da_lanes] = {};
    const std::size_t most_chains = std::min(family.max_chains, block_count);
    const std::size_t least_chains =
        std::min(most_chains, (least_rows_per_pass + width - 1) / width);
    // Elements of one block that fit the budget k times over.
    const auto fits = [&](std::size_t k) {
        return std::max<std::size_t>(1, stream_budget / (k * width * sizeof(double)));
    };
    std::size_t i = 0;
    while (i + 1 < n) {
        // The stream from i on is n - i elements per block.
        std::size_t k = least_chains;
        while (k < most_chains && n - i <= fits(k + 1)) {
            ++k;
        }
        std::size_t i_end = n - 1;
        if (k < most_chains) {
            // The first i from which k + 1 chains fit; past i, as n - i > fits(k + 1).
            i_end = std::min(i_end, n - fits(k + 1));
        }
        // As few passes as k chains allow, as even as whole blocks allow: a
        // pass left with one block would wait on the adder's latency.
        const std::size_t passes = (block_count + k - 1) / k;
        for (std::size_t p = 0, b = 0; p < passes; ++p) {
            const std::size_t taken = block_count / passes + (p < block_count % passes ? 1 : 0);
            // The pass's rows are interleaved, lane r of element j at
            // j * stride + r, so that it reads one sequential stream and
            // only the lines it needs. Only elements i on are read from
            // here on.
            const std::size_t stride = taken * width;
            double* const tile = interleaved + b * width * n;
            for (std::size_t lane = 0; lane < stride; ++lane) {
                const std::size_t r = b * width + lane;
                const double* const row = r < count ? rows[r] : nullptr;
                for (std::size_t j = i; j < n; ++j) {
                    // Lanes without a row hold zeros and are ignored.
                    tile[j * stride + lane] = row != nullptr ? row[j] : 0.0;
                }
            }
            const double* blocks[da_lanes];
            for (std::size_t m = 0; m < taken; ++m) {
                blocks[m] = tile + m * width;
            }
            family.chains[taken - 1](blocks, stride, n, i, i_end, state + b * width);
            b += taken;
        }
        i = i_end;
    }
    std::copy(state, state + count, sums);
}

void da_pair_sums(const double* const* rows, std::size_t count, std::size_t n, double* sums) {
    static const DaKernel widest = widest_kernel();
    da_pair_sums_with(widest, rows, count, n, sums);
}

}  // namespace lexispan
