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
// remaining stream is short enough. A row's running sum is handed from one
// pass to the next as it is, so its additions keep their order.
#include "analyzer/sums/da_pair_sums.hpp"

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

// A pass's rows sit in blocks of W lanes, block m holding element j of its
// rows at blocks[m][j * stride + lane]; an AVX-512 pass may carry four more
// rows in a block of its own, blocks[K][j * 4 + lane]. `state` carries each
// row's running sum in and out, in the order of the blocks, so that a row
// can be taken up again by a pass of another shape.
using ChainsFunction = void (*)(const double* const* blocks, std::size_t stride, std::size_t n,
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
// with K blocks' chains in K registers, and with `half` one more chain of
// 4 lanes. The chains are indexed only by constants (the pack), which lets
// the compiler keep every one of them in a register; a loop over k leaves
// them in a stack array.
template <class Doubles, class Bits, bool half, std::size_t... Ks>
inline __attribute__((always_inline)) void chains(std::index_sequence<Ks...>,
                                                  const double* const* blocks,
                                                  std::size_t stride, std::size_t n,
                                                  std::size_t i_begin, std::size_t i_end,
                                                  double* state) {
    constexpr std::size_t W = sizeof(Doubles) / sizeof(double);
    constexpr std::size_t K = sizeof...(Ks);
    constexpr std::uint64_t magnitude = ~(std::uint64_t{1} << 63);
    [[maybe_unused]] const Bits mask = Bits{} + magnitude;
    const bits4 half_mask = bits4{} + magnitude;
    // One spare element, so that K may be 0.
    [[maybe_unused]] const double* const base[K + 1] = {blocks[Ks]..., nullptr};
    [[maybe_unused]] Doubles acc[K + 1] = {*reinterpret_cast<const Doubles*>(state + Ks * W)...};
    const double* const half_base = half ? blocks[K] : nullptr;
    doubles4 half_acc{};
    if constexpr (half) {
        half_acc = *reinterpret_cast<const doubles4*>(state + K * W);
    }
    for (std::size_t i = i_begin; i < i_end; ++i) {
        [[maybe_unused]] const Doubles qi[K + 1] = {*reinterpret_cast<const Doubles*>(base[Ks] + i * stride)...};
        doubles4 half_qi{};
        if constexpr (half) {
            half_qi = *reinterpret_cast<const doubles4*>(half_base + i * 4);
        }
        for (std::size_t j = i + 1; j < n; ++j) {
            (add_term(acc[Ks], qi[Ks], base[Ks] + j * stride, mask), ...);
            if constexpr (half) {
                add_term(half_acc, half_qi, half_base + j * 4, half_mask);
            }
        }
    }
    ((*reinterpret_cast<Doubles*>(state + Ks * W) = acc[Ks]), ...);
    if constexpr (half) {
        *reinterpret_cast<doubles4*>(state + K * W) = half_acc;
    }
}

// One out-of-line function per instruction set and pass shape, so that
// each is compiled for its own register file (and tools/check-da-registers
// can find each one in the built module).
template <std::size_t K>
__attribute__((noinline)) void chains_baseline(const double* const* blocks, std::size_t stride,
                                               std::size_t n, std::size_t i_begin,
                                               std::size_t i_end, double* state) {
    chains<doubles2, bits2, false>(std::make_index_sequence<K>{}, blocks, stride, n, i_begin,
                                   i_end, state);
}

#if defined(__x86_64__) || defined(__i386__)
#define LEXISPAN_X86_KERNELS 1
template <std::size_t K>
__attribute__((target("avx2"), noinline)) void chains_avx2(const double* const* blocks,
                                                           std::size_t stride, std::size_t n,
                                                           std::size_t i_begin,
                                                           std::size_t i_end, double* state) {
    chains<doubles4, bits4, false>(std::make_index_sequence<K>{}, blocks, stride, n, i_begin,
                                   i_end, state);
}

template <std::size_t K, bool half>
__attribute__((target("avx512f"), noinline)) void chains_avx512(const double* const* blocks,
                                                                std::size_t stride,
                                                                std::size_t n,
                                                                std::size_t i_begin,
                                                                std::size_t i_end, double* state) {
    chains<doubles8, bits8, half>(std::make_index_sequence<K>{}, blocks, stride, n, i_begin,
                                  i_end, state);
}
#else
#define LEXISPAN_X86_KERNELS 0
#endif

// What a kernel family offers. Rows are planned in units of `unit` rows: a
// pass of h units runs shapes[h - 1], which holds h * unit / width chains of
// `width` lanes, and with AVX-512 a chain of 4 lanes for an odd h. Up to
// as many units as the register file holds chains, beside the rows'
// current elements, the sign mask and a term.
struct KernelFamily {
    std::size_t width;
    std::size_t unit;
    std::size_t max_units;
    ChainsFunction shapes[6];
};

// Three 8-lane chains cover the adder's latency at two adds per cycle on
// any current core; six 4-lane chains fill 12 of AVX2's 16 registers; the
// 16 SSE2 registers hold six 2-lane chains with their elements. Four-row
// units let AVX-512 take 12 or 20 rows, where 16 or 24 would not fit in L2
// and 8 would leave the adder waiting.
constexpr KernelFamily baseline_family{
    2,
    2,
    6,
    {chains_baseline<1>, chains_baseline<2>, chains_baseline<3>, chains_baseline<4>,
     chains_baseline<5>, chains_baseline<6>}};
#if LEXISPAN_X86_KERNELS
constexpr KernelFamily avx2_family{
    4,
    4,
    6,
    {chains_avx2<1>, chains_avx2<2>, chains_avx2<3>, chains_avx2<4>, chains_avx2<5>,
     chains_avx2<6>}};
constexpr KernelFamily avx512_family{
    8,
    4,
    6,
    {chains_avx512<0, true>, chains_avx512<1, false>, chains_avx512<1, true>,
     chains_avx512<2, false>, chains_avx512<2, true>, chains_avx512<3, false>}};
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
    (void)da_pair_sums_with_budget(kernel, rows, count, n, sums, stream_budget, nullptr);
}

bool da_pair_sums_with_budget(DaKernel kernel, const double* const* rows, std::size_t count,
                              std::size_t n, double* sums, std::size_t stream_budget,
                              const std::atomic<bool>* stop, std::size_t slice_rows) {
    const KernelFamily& family = family_for(kernel);
    const std::size_t width = family.width;
    const std::size_t unit = family.unit;
    const std::size_t unit_count = (count + unit - 1) / unit;
    if (unit_count == 0) {
        return true;
    }
    // With a stop flag, the rows i of one slice bring about slice_pairs
    // pairs per row; the layout a slice redoes costs n - i elements per row,
    // under 1/64 of its pairs.
    constexpr std::size_t slice_pairs = std::size_t{1} << 23;
    if (stop == nullptr) {
        slice_rows = n;
    } else if (slice_rows == 0) {
        slice_rows = std::max<std::size_t>(64, slice_pairs / std::max<std::size_t>(n, 1));
    }
    // One interleaved copy per worker thread, reused across calls. Kept on
    // a cache-line boundary: a large block straight from malloc sits 16
    // bytes past a page start, and then every 32- or 64-byte load of the
    // kernels straddles two lines, which costs about a third of the DA time.
    thread_local InterleavedBuffer buffer;
    double* const interleaved = buffer.take(unit_count * unit * n);

    double state[da_lanes] = {};
    const std::size_t most_units = std::min(family.max_units, unit_count);
    const std::size_t least_units = std::min(most_units, (least_rows_per_pass + unit - 1) / unit);
    // Elements of a row that fit the budget with h units' rows beside it.
    const auto fits = [&](std::size_t h) {
        return std::max<std::size_t>(1, stream_budget / (h * unit * sizeof(double)));
    };
    // Lays out element j >= from of rows first .. first + lanes - 1 (zeros
    // past the last row) at block[j * stride + lane].
    const auto lay_out = [&](double* block, std::size_t first, std::size_t lanes,
                             std::size_t stride, std::size_t from) {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            const std::size_t r = first + lane;
            const double* const row = r < count ? rows[r] : nullptr;
            for (std::size_t j = from; j < n; ++j) {
                block[j * stride + lane] = row != nullptr ? row[j] : 0.0;
            }
        }
    };
    std::size_t i = 0;
    while (i + 1 < n) {
        // The stream from i on is n - i elements per row.
        std::size_t h = least_units;
        while (h < most_units && n - i <= fits(h + 1)) {
            ++h;
        }
        std::size_t i_end = n - 1;
        if (h < most_units) {
            // The first i from which h + 1 units fit; past i, as n - i > fits(h + 1).
            i_end = std::min(i_end, n - fits(h + 1));
        }
        // Each kernel call carries its rows' sums on from the last, so
        // cutting the range of i changes no addition.
        i_end = std::min(i_end, i + slice_rows);
        // As few passes as h units allow, as even as whole units allow: a
        // pass left with few rows would wait on the adder's latency.
        const std::size_t passes = (unit_count + h - 1) / h;
        for (std::size_t p = 0, u = 0; p < passes; ++p) {
            const std::size_t taken = unit_count / passes + (p < unit_count % passes ? 1 : 0);
            const std::size_t first = u * unit;
            const std::size_t full = taken * unit / width;
            const std::size_t rest = taken * unit - full * width;
            // The pass's full blocks interleaved in one sequential stream,
            // the 4-row rest in another; only elements i on are read from
            // here on.
            double* const tile = interleaved + first * n;
            const std::size_t stride = full * width;
            lay_out(tile, first, stride, stride, i);
            const double* blocks[da_lanes + 1];
            for (std::size_t m = 0; m < full; ++m) {
                blocks[m] = tile + m * width;
            }
            if (rest > 0) {
                blocks[full] = tile + stride * n;
                lay_out(tile + stride * n, first + stride, rest, rest, i);
            }
            family.shapes[taken - 1](blocks, stride, n, i, i_end, state + first);
            u += taken;
        }
        i = i_end;
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            return false;
        }
    }
    std::copy(state, state + count, sums);
    return true;
}

void da_pair_sums(const double* const* rows, std::size_t count, std::size_t n, double* sums) {
    static const DaKernel widest = widest_kernel();
    da_pair_sums_with(widest, rows, count, n, sums);
}

bool da_pair_sums(const double* const* rows, std::size_t count, std::size_t n, double* sums,
                  const std::atomic<bool>& stop) {
    static const DaKernel widest = widest_kernel();
    static const std::size_t budget = stream_budget_bytes();
    return da_pair_sums_with_budget(widest, rows, count, n, sums, budget, &stop);
}

}  // namespace lexispan
