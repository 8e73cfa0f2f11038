// Bulk steps of an ordered double sum. Inside one binade [2^e, 2^(e+1)) the
// sum lies on the grid of u = 2^(e-52), and adding a term c >= 0 whose exact
// result stays below 2^(e+1) moves it by c rounded to a multiple of u: a
// fixed number of units, except when c is exactly half-way, where
// round-half-even looks at the parity of the sum. Integer arithmetic in units
// therefore reproduces every rounding; whatever leaves the binade, ties and
// anything off the grid is added as a real double.
#include "analyzer/sums/zero_run_sums.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "analyzer/profile/ordered_add.hpp"
#include "platform/cpu_dispatch.hpp"

namespace lexispan {

namespace {

constexpr int lowest_unit_exponent = -1074;
// The largest unit count a bulk step may end on: staying strictly below the
// top keeps every step inside the binade.
constexpr std::uint64_t last_unit = grid_units - 1;
// Prefix tables saturate here; a run whose start is this high is added term
// by term.
constexpr std::uint64_t prefix_ceiling = std::uint64_t{1} << 62;

bool is_on_grid(double value) noexcept {
    // +0.0 and positive finite values; -0.0, negatives, infinities and NaN
    // are summed plainly.
    return value >= 0.0 && value < std::numeric_limits<double>::infinity() &&
           !std::signbit(value);
}

bool is_bulk_term(double term) noexcept {
    return term >= 0.0 && term < std::numeric_limits<double>::infinity();
}

// The body of units_of_differences once every term's drop (the unit
// exponent minus the exponent of the term's lowest mantissa bit) is known to
// be at least 1, for values[begin, count), added to `units` and `ties`.
void add_units(double base, const double* values, std::size_t begin, std::size_t count,
               int unit_exponent, std::uint64_t& units, std::uint64_t& ties) noexcept {
    constexpr std::uint64_t fraction_bits = (std::uint64_t{1} << 52) - 1;
    const std::uint64_t top_exponent = static_cast<std::uint64_t>(unit_exponent + 1075);
    for (std::size_t i = begin; i < count; ++i) {
        const std::uint64_t bits =
            std::bit_cast<std::uint64_t>(base - values[i]) & ~(std::uint64_t{1} << 63);
        const std::uint64_t biased = bits >> 52;
        const std::uint64_t mantissa = (bits & fraction_bits) | ((biased != 0 ? 1ULL : 0ULL) << 52);
        std::uint64_t drop = top_exponent - (biased > 1 ? biased : 1);
        drop = drop < 63 ? drop : 63;
        const std::uint64_t rest = mantissa & ((std::uint64_t{1} << drop) - 1);
        const std::uint64_t half = std::uint64_t{1} << (drop - 1);
        units += (mantissa >> drop) + (rest > half ? 1U : 0U);
        ties |= rest == half ? 1U : 0U;
    }
}

#if LEXISPAN_X86_KERNELS
// add_units W lanes at a time, branch-free, with per-lane shifts; the
// scalar loop takes the rest.
template <class Lanes, class Doubles>
LEXISPAN_ALWAYS_INLINE UnitsTotal sum_units(double base, const double* values, std::size_t count,
                                            int unit_exponent) noexcept {
    constexpr std::size_t W = sizeof(Lanes) / sizeof(std::uint64_t);
    // values are aligned only as doubles; the simd types' aligned(8) does
    // not survive as a template argument under Clang.
    typedef Doubles Unaligned __attribute__((aligned(8)));
    const Lanes one = Lanes{} + 1;
    const Lanes magnitude = Lanes{} + ~(std::uint64_t{1} << 63);
    const Lanes fraction = Lanes{} + ((std::uint64_t{1} << 52) - 1);
    const Lanes most = Lanes{} + 63;
    const Lanes top = Lanes{} + static_cast<std::uint64_t>(unit_exponent + 1075);
    const Doubles bases = Doubles{} + base;
    Lanes total = Lanes{};
    Lanes ties = Lanes{};
    std::size_t i = 0;
    for (; i + W <= count; i += W) {
        const Doubles difference = bases - *reinterpret_cast<const Unaligned*>(values + i);
        const Lanes bits = __builtin_bit_cast(Lanes, difference) & magnitude;
        const Lanes biased = bits >> 52;
        const Lanes normal = static_cast<Lanes>(biased != 0) & one;
        const Lanes mantissa = (bits & fraction) | (normal << 52);
        const Lanes above_one = static_cast<Lanes>(biased > one);
        const Lanes lowest = (biased & above_one) | (one & ~above_one);
        Lanes drop = top - lowest;
        const Lanes small = static_cast<Lanes>(drop < most);
        drop = (drop & small) | (most & ~small);
        const Lanes rest = mantissa & ((one << drop) - one);
        const Lanes half = one << (drop - one);
        total += (mantissa >> drop) + (static_cast<Lanes>(rest > half) & one);
        ties |= static_cast<Lanes>(rest == half);
    }
    std::uint64_t units = 0;
    std::uint64_t tie = 0;
    for (std::size_t w = 0; w < W; ++w) {
        units += total[w];
        tie |= ties[w];
    }
    add_units(base, values, i, count, unit_exponent, units, tie);
    return {units, tie == 0};
}

UnitsTotal sum_units_baseline(double base, const double* values, std::size_t count,
                              int unit_exponent) noexcept {
    return sum_units<simd::words2, simd::doubles2>(base, values, count, unit_exponent);
}

LEXISPAN_TARGET_AVX2 UnitsTotal sum_units_avx2(double base, const double* values,
                                               std::size_t count, int unit_exponent) noexcept {
    return sum_units<simd::words4, simd::doubles4>(base, values, count, unit_exponent);
}

LEXISPAN_TARGET_AVX512 UnitsTotal sum_units_avx512(double base, const double* values,
                                                   std::size_t count,
                                                   int unit_exponent) noexcept {
    return sum_units<simd::words8, simd::doubles8>(base, values, count, unit_exponent);
}
#endif

UnitsTotal dispatched_sum_units(double base, const double* values, std::size_t count,
                                int unit_exponent) noexcept {
#if LEXISPAN_X86_KERNELS
    switch (cpu_level()) {
        case CpuLevel::avx512:
            return sum_units_avx512(base, values, count, unit_exponent);
        case CpuLevel::avx2:
            return sum_units_avx2(base, values, count, unit_exponent);
        case CpuLevel::baseline:
            break;
    }
    return sum_units_baseline(base, values, count, unit_exponent);
#else
    std::uint64_t units = 0;
    std::uint64_t ties = 0;
    add_units(base, values, 0, count, unit_exponent, units, ties);
    return {units, ties == 0};
#endif
}

}  // namespace

UnitsTotal units_of_differences(double base, const double* values, std::size_t count,
                                double largest, int unit_exponent, std::uint64_t room) noexcept {
    // Every term is at most `largest`, so its drop (unit exponent minus the
    // term's lowest bit exponent) is at least that of `largest`. At least 1
    // keeps every term below one unit's worth of shifting out of range; at
    // least bit_width(count) - 10 keeps the total of up to count terms of at
    // most 2^(53 - drop) units each below 2^63.
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(largest) & ~(std::uint64_t{1} << 63);
    const auto biased = static_cast<std::int64_t>(bits >> 52);
    const std::int64_t drop =
        static_cast<std::int64_t>(unit_exponent) + 1075 - (biased > 1 ? biased : 1);
    const std::int64_t least = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::bit_width(count)) - 10);
    if (drop < least) {
        return {0, false};
    }
    UnitsTotal total = dispatched_sum_units(base, values, count, unit_exponent);
    total.fits = total.fits && total.units <= room;
    return total;
}

PartTerms::PartTerms(std::vector<double> terms, std::size_t table_budget)
    : terms_(std::move(terms)),
      budget_(table_budget != default_budget ? table_budget
                                             : terms_.size() * 16 + (std::size_t{16} << 20)),
      tables_(new std::atomic<const Table*>[exponent_count]) {
    for (int i = 0; i < exponent_count; ++i) {
        tables_[static_cast<std::size_t>(i)].store(nullptr, std::memory_order_relaxed);
    }
}

PartTerms::~PartTerms() = default;

const PartTerms::Table& PartTerms::table(int unit_exponent) const {
    const auto slot = static_cast<std::size_t>(unit_exponent - lowest_unit_exponent);
    if (const Table* ready = tables_[slot].load(std::memory_order_acquire)) {
        return *ready;
    }
    const std::lock_guard<std::mutex> lock(building_);
    if (const Table* ready = tables_[slot].load(std::memory_order_relaxed)) {
        return *ready;
    }
    auto built = std::make_unique<Table>();
    const std::size_t n = terms_.size();
    // The finest blocks whose table fits in half of what the budget has left.
    constexpr std::size_t entry_bytes = sizeof(std::uint64_t) + sizeof(std::uint32_t);
    const std::size_t share = (budget_ - std::min(used_, budget_)) / 2;
    unsigned shift = 0;
    while ((n >> shift) + 2 > share / entry_bytes && (std::size_t{1} << shift) < n) {
        ++shift;
    }
    const std::size_t block = std::size_t{1} << shift;
    const std::size_t blocks = (n + block - 1) / block;
    built->shift = shift;
    built->prefix.resize(blocks + 1);
    built->barrier.resize(blocks + 1);
    std::uint64_t units_before = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if ((i & (block - 1)) == 0) {
            built->prefix[i >> shift] = units_before;
        }
        const GridTerm t = grid_term(terms_[i], unit_exponent);
        const std::uint64_t units = std::min(rounded_units(t), grid_units);
        units_before = std::min(units_before + units, prefix_ceiling);
    }
    built->prefix[blocks] = units_before;
    auto first_barrier = static_cast<std::uint32_t>(n);
    built->barrier[blocks] = first_barrier;
    for (std::size_t i = n; i-- > 0;) {
        const GridTerm t = grid_term(terms_[i], unit_exponent);
        if (t.half == 0 || t.whole >= grid_units) {
            first_barrier = static_cast<std::uint32_t>(i);
        }
        if ((i & (block - 1)) == 0) {
            built->barrier[i >> shift] = first_barrier;
        }
    }
    used_ += (blocks + 1) * entry_bytes;
    const Table* result = built.get();
    owned_.push_back(std::move(built));
    tables_[slot].store(result, std::memory_order_release);
    return *result;
}

void OrderedSum::reset(double value) noexcept {
    if (!is_on_grid(value)) {
        on_grid_ = false;
        plain_ = value;
        return;
    }
    on_grid_ = true;
    // Subnormals and the lowest normal binade share the grid 2^-1074.
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto biased = static_cast<int>(bits >> 52);
    exponent_ = (biased > 1 ? biased : 1) - 1075;
    units_ = (bits & ((std::uint64_t{1} << 52) - 1)) |
             (biased != 0 ? std::uint64_t{1} << 52 : std::uint64_t{0});
}

void OrderedSum::add_plain(double term) noexcept { reset(accumulate(value(), term)); }

void OrderedSum::add_run(double term, std::uint64_t times) noexcept {
    while (times > 0) {
        if (!on_grid_ || !is_bulk_term(term)) {
            const double before = value();
            add_plain(term);
            --times;
            // Once a step changes nothing, no later one will.
            if (std::bit_cast<std::uint64_t>(value()) == std::bit_cast<std::uint64_t>(before)) {
                return;
            }
            continue;
        }
        const GridTerm t = grid_term(term, exponent_);
        if (t.whole > last_unit - units_) {
            add_plain(term);
            --times;
            continue;
        }
        std::uint64_t step = rounded_units(t);
        if (t.half == 0) {
            // After one tie the sum is even; from then on the same choice
            // keeps it even.
            const int exponent = exponent_;
            add_plain(term);
            --times;
            if (!on_grid_ || exponent_ != exponent || times == 0) {
                continue;
            }
            step = t.whole + (t.whole & 1U);
            if (t.whole > last_unit - units_) {
                continue;
            }
        }
        if (step == 0) {
            return;
        }
        // Step j (from 1) stays inside while units + (j-1) step + whole
        // <= last_unit.
        const std::uint64_t space = last_unit - units_ - t.whole;
        if (times - 1 <= space / step) {
            units_ += times * step;
            carry();
            return;
        }
        const std::uint64_t room = (last_unit - units_ - t.whole) / step + 1;
        const std::uint64_t taken = std::min(times, room);
        units_ += taken * step;
        times -= taken;
        carry();
    }
}

void OrderedSum::add_block_repeated(const double* terms, std::size_t length, double largest,
                                    std::uint64_t times) noexcept {
    while (times > 0) {
        if (!on_grid_) {
            for (std::size_t l = 0; l < length; ++l) {
                add(terms[l]);
            }
            --times;
            continue;
        }
        // Without ties a pass adds the same units whatever the parity.
        const UnitsTotal quick = units_of_differences(0.0, terms, length, largest, exponent_,
                                                      last_unit - units_);
        if (quick.fits) {
            if (quick.units == 0) {
                return;
            }
            const std::uint64_t taken = std::min(times, (last_unit - units_) / quick.units);
            units_ += taken * quick.units;
            times -= taken;
            if (times == 0) {
                return;
            }
            for (std::size_t l = 0; l < length; ++l) {
                add(terms[l]);
            }
            --times;
            continue;
        }
        // One pass in units, for a sum that starts even (0) or odd (1); a
        // pass that could leave the binade is added term by term.
        std::uint64_t pass[2] = {0, 0};
        std::uint64_t parity[2] = {0, 1};
        bool ties = false;
        bool inside = true;
        for (std::size_t l = 0; l < length && inside; ++l) {
            const GridTerm t = grid_term(terms[l], exponent_);
            if (t.whole >= grid_units) {
                inside = false;
                break;
            }
            ties = ties || t.half == 0;
            for (int p = 0; p < 2; ++p) {
                const std::uint64_t d =
                    t.half == 0 ? t.whole + ((parity[p] + t.whole) & 1U) : rounded_units(t);
                pass[p] += d;
                parity[p] = (parity[p] + d) & 1U;
            }
            inside = pass[0] <= last_unit && pass[1] <= last_unit;
        }
        if (inside) {
            for (;;) {
                const std::uint64_t p = units_ & 1U;
                const std::uint64_t d = pass[p];
                if (d == 0) {
                    return;
                }
                if (!ties || (d & 1U) == 0) {
                    // The parity never changes again: the same d every pass.
                    const std::uint64_t taken = std::min(times, (last_unit - units_) / d);
                    units_ += taken * d;
                    times -= taken;
                    break;
                }
                const std::uint64_t other = pass[p ^ 1U];
                if ((other & 1U) != 0) {
                    // The parity alternates: whole cycles of two passes.
                    const std::uint64_t cycle = d + other;
                    const std::uint64_t cycles =
                        std::min(times / 2, (last_unit - units_) / cycle);
                    units_ += cycles * cycle;
                    times -= 2 * cycles;
                }
                if (times == 0 || d > last_unit - units_) {
                    break;
                }
                units_ += d;
                --times;
            }
            if (times == 0) {
                return;
            }
        }
        for (std::size_t l = 0; l < length; ++l) {
            add(terms[l]);
        }
        --times;
    }
}

void OrderedSum::add_part_run(const PartTerms& terms, std::size_t first, std::size_t last) {
    std::size_t i = first;
    while (i < last) {
        if (!on_grid_) {
            add_plain(terms.term(i));
            ++i;
            continue;
        }
        const PartTerms::Table& table = terms.table(exponent_);
        const unsigned shift = table.shift;
        // Whole blocks from here, before the run's end and the first barrier,
        // are taken from the table; the terms around them one at a time.
        const std::size_t j = i >> shift;
        const std::size_t stop = std::min<std::size_t>(last, table.barrier[j]) >> shift;
        const std::uint64_t base = table.prefix[j];
        if ((j << shift) == i && base < prefix_ceiling - grid_units && stop > j) {
            const std::uint64_t bound = base + (last_unit - units_);
            if ((stop << shift) == last && table.prefix[stop] <= bound) {
                units_ += table.prefix[stop] - base;
                return;
            }
            const auto begin = table.prefix.begin() + static_cast<std::ptrdiff_t>(j);
            const auto end = table.prefix.begin() + static_cast<std::ptrdiff_t>(stop) + 1;
            const std::size_t h =
                static_cast<std::size_t>(std::upper_bound(begin, end, bound) - begin) - 1 + j;
            units_ += table.prefix[h] - base;
            i = h << shift;
        }
        if (i < last) {
            add(terms.term(i));
            ++i;
        }
    }
}

}  // namespace lexispan
