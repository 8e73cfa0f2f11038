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
#include <cmath>
#include <cstdint>
#include <new>
#include <utility>

#include "analyzer/profile/ordered_add.hpp"
#include "platform/cpu_dispatch.hpp"
#include "platform/system.hpp"

namespace lexispan {

namespace {

// A pass's rows sit in blocks of W lanes, block m holding element j of its
// rows at blocks[m][j * stride + lane], consecutively (blocks[m] is
// blocks[0] + m * W); an AVX-512 pass may carry four more rows in a block of
// its own, blocks[K][j * 4 + lane]. `state` carries each row's running sum
// in and out, in the order of the blocks, so that a row can be taken up
// again by a pass of another shape.
using ChainsFunction = void (*)(const double* const* blocks, std::size_t stride, std::size_t n,
                                 std::size_t i_begin, std::size_t i_end, double* state);

#if LEXISPAN_X86_KERNELS
#define LEXISPAN_CHAINS_NAMESPACE sse2_chains
#define LEXISPAN_CHAINS_TARGET
#include "analyzer/sums/da_chains.ipp"
#undef LEXISPAN_CHAINS_NAMESPACE
#undef LEXISPAN_CHAINS_TARGET
#define LEXISPAN_CHAINS_NAMESPACE avx2_chains
#define LEXISPAN_CHAINS_TARGET LEXISPAN_TARGET_AVX2
#include "analyzer/sums/da_chains.ipp"
#undef LEXISPAN_CHAINS_NAMESPACE
#undef LEXISPAN_CHAINS_TARGET
#define LEXISPAN_CHAINS_NAMESPACE avx512_chains
#define LEXISPAN_CHAINS_TARGET LEXISPAN_TARGET_AVX512
#include "analyzer/sums/da_chains.ipp"
#undef LEXISPAN_CHAINS_NAMESPACE
#undef LEXISPAN_CHAINS_TARGET

// One out-of-line function per level and pass shape, so that each is
// compiled for its own register file (and tools/check-da-registers can find
// each one in the built module).
template <std::size_t K>
LEXISPAN_NOINLINE void chains_baseline(const double* const* blocks, std::size_t stride,
                                       std::size_t n, std::size_t i_begin, std::size_t i_end,
                                       double* state) {
    sse2_chains::chains<simd::doubles2, simd::words2, false>(
        std::make_index_sequence<K>{}, blocks, stride, n, i_begin, i_end, state);
}

template <std::size_t K>
LEXISPAN_TARGET_AVX2 LEXISPAN_NOINLINE void chains_avx2(const double* const* blocks,
                                                        std::size_t stride, std::size_t n,
                                                        std::size_t i_begin, std::size_t i_end,
                                                        double* state) {
    avx2_chains::chains<simd::doubles4, simd::words4, false>(
        std::make_index_sequence<K>{}, blocks, stride, n, i_begin, i_end, state);
}

template <std::size_t K, bool half>
LEXISPAN_TARGET_AVX512 LEXISPAN_NOINLINE void chains_avx512(const double* const* blocks,
                                                            std::size_t stride, std::size_t n,
                                                            std::size_t i_begin,
                                                            std::size_t i_end, double* state) {
    avx512_chains::chains<simd::doubles8, simd::words8, half>(
        std::make_index_sequence<K>{}, blocks, stride, n, i_begin, i_end, state);
}
#else
// Every lane of a pass is one row (its blocks are consecutive, so block 0
// with its stride reaches them all), added term by term as da_pair_sum adds.
void chains_portable(const double* const* blocks, std::size_t stride, std::size_t n,
                     std::size_t i_begin, std::size_t i_end, double* state) {
    const double* const rows = blocks[0];
    for (std::size_t i = i_begin; i < i_end; ++i) {
        const double* const qi = rows + i * stride;
        for (std::size_t j = i + 1; j < n; ++j) {
            const double* const qj = rows + j * stride;
            for (std::size_t lane = 0; lane < stride; ++lane) {
                state[lane] = accumulate(state[lane], std::fabs(qi[lane] - qj[lane]));
            }
        }
    }
}
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
// and 8 would leave the adder waiting. The portable kernel takes SSE2's
// shapes.
#if LEXISPAN_X86_KERNELS
constexpr KernelFamily baseline_family{
    2,
    2,
    6,
    {chains_baseline<1>, chains_baseline<2>, chains_baseline<3>, chains_baseline<4>,
     chains_baseline<5>, chains_baseline<6>}};
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
constexpr KernelFamily baseline_family{
    2,
    2,
    6,
    {chains_portable, chains_portable, chains_portable, chains_portable, chains_portable,
     chains_portable}};
#endif

static_assert(da_lanes % 8 == 0, "a full group fills whole blocks of every width");

// The family of a level (cpu_level() only gives levels this build has).
const KernelFamily& family_for(CpuLevel level) noexcept {
#if LEXISPAN_X86_KERNELS
    switch (level) {
        case CpuLevel::avx512:
            return avx512_family;
        case CpuLevel::avx2:
            return avx2_family;
        case CpuLevel::baseline:
            break;
    }
#else
    (void)level;
#endif
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
    static const std::size_t budget = l2_cache_bytes();
    return budget;
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

}  // namespace

void da_pair_sums_with_budget(const double* const* rows, std::size_t count, std::size_t n,
                              double* sums, std::size_t stream_budget) {
    (void)da_pair_sums_with_budget(rows, count, n, sums, stream_budget, nullptr);
}

bool da_pair_sums_with_budget(const double* const* rows, std::size_t count, std::size_t n,
                              double* sums, std::size_t stream_budget,
                              const std::atomic<bool>* stop, std::size_t slice_rows) {
    const KernelFamily& family = family_for(cpu_level());
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
    da_pair_sums_with_budget(rows, count, n, sums, stream_budget_bytes());
}

bool da_pair_sums(const double* const* rows, std::size_t count, std::size_t n, double* sums,
                  const std::atomic<bool>& stop) {
    return da_pair_sums_with_budget(rows, count, n, sums, stream_budget_bytes(), &stop);
}

}  // namespace lexispan
