// The scalar DA pair sums: over a dense row in pair order, over a row's
// nonzero parts with the same bits, and by the sorted identity with
// compensated summation (another rounding of the same measure).
#include "analyzer/sums/da_sums.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analyzer/profile/ordered_add.hpp"
#include "analyzer/sums/zero_run_sums.hpp"

namespace lexispan {

double da_pair_sum(const double* q, std::size_t n) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double qi = q[i];
        for (std::size_t j = i + 1; j < n; ++j) {
            sum = accumulate(sum, std::fabs(qi - q[j]));
        }
    }
    return sum;
}

namespace {

// Row `a` of the pair sum (a nonzero part) in one step when every term of it
// lands inside the sum's current binade without a tie: its terms then add
// fixed units, whatever their order. False when the row must be walked.
bool add_row_in_units(OrderedSum& sum, const std::uint32_t* parts, const double* values,
                      std::size_t count, std::size_t n, double largest, std::size_t a) noexcept {
    if (!sum.on_grid()) {
        return false;
    }
    const int exponent = sum.unit_exponent();
    const std::uint64_t room = sum.room();
    const double qa = values[a];
    const GridTerm own = grid_term(std::fabs(qa - 0.0), exponent);
    if (own.half == 0 || own.whole > room) {
        return false;
    }
    const std::uint64_t absent = (n - 1 - parts[a]) - (count - 1 - a);
    const std::uint64_t own_units = rounded_units(own);
    if (own_units != 0 && absent > room / own_units) {
        return false;
    }
    const std::uint64_t runs = own_units * absent;
    const UnitsTotal pairs =
        units_of_differences(qa, values + a + 1, count - a - 1, largest, exponent, room - runs);
    if (!pairs.fits) {
        return false;
    }
    sum.add_units(runs + pairs.units);
    return true;
}

constexpr std::uint64_t unusable = std::numeric_limits<std::uint64_t>::max();

// On the grid 2^unit_exponent: units[a] = the units one pass over
// values[a..count) adds, or `unusable` from the last tie (or term too large
// for the grid) down; filled for a >= first only (the blocks still ahead).
// Saturates far above any binade's room.
void build_suffix_units(const double* values, std::size_t first, std::size_t count,
                        int unit_exponent, std::vector<std::uint64_t>& units) {
    constexpr std::uint64_t ceiling = std::uint64_t{1} << 62;
    units.resize(count + 1);
    units[count] = 0;
    for (std::size_t b = count; b-- > first;) {
        const GridTerm t = grid_term(values[b], unit_exponent);
        if (t.half == 0 || t.whole >= grid_units || units[b + 1] == unusable) {
            units[b] = unusable;
        } else {
            units[b] = std::min(units[b + 1] + rounded_units(t), ceiling);
        }
    }
}

}  // namespace

double sparse_da_pair_sum(const std::uint32_t* parts, const double* values, std::size_t count,
                          std::size_t n, std::vector<std::uint64_t>& suffix_units) {
    return *sparse_da_pair_sum(parts, values, count, n, suffix_units, nullptr);
}

std::optional<double> sparse_da_pair_sum(const std::uint32_t* parts, const double* values,
                                         std::size_t count, std::size_t n,
                                         std::vector<std::uint64_t>& suffix_units,
                                         const std::atomic<bool>* stop) {
    // Row i of the pair sum adds |q_i - q_j| for j > i. An absent row adds
    // the nonzero q after it (the same block for every absent row between
    // two nonzero parts); a nonzero row adds its own q for every absent j
    // and |q_i - q_j| for the nonzero ones.
    double largest = 0.0;
    for (std::size_t a = 0; a < count; ++a) {
        largest = values[a] > largest ? values[a] : largest;
    }
    OrderedSum sum(0.0);
    // The blocks of absent rows are suffixes of the nonzero q: their units
    // per pass come from one table per binade the sum passes through.
    int suffix_exponent = std::numeric_limits<int>::min();
    std::size_t next_row = 0;
    // Pairs added since `stop` was last looked at: about a millisecond's worth.
    std::size_t work = 0;
    for (std::size_t a = 0; a < count; ++a) {
        work += count - a;
        if (stop != nullptr && work >= (std::size_t{1} << 20)) {
            work = 0;
            if (stop->load(std::memory_order_relaxed)) {
                return std::nullopt;
            }
        }
        const std::size_t part = parts[a];
        std::uint64_t passes = part - next_row;
        if (passes > 0 && sum.on_grid()) {
            if (sum.unit_exponent() != suffix_exponent) {
                suffix_exponent = sum.unit_exponent();
                build_suffix_units(values, a, count, suffix_exponent, suffix_units);
            }
            const std::uint64_t pass = suffix_units[a];
            const std::uint64_t room = sum.room();
            if (pass == 0) {
                passes = 0;
            } else if (pass <= room) {
                const std::uint64_t taken = std::min(passes, room / pass);
                sum.add_units(taken * pass);
                passes -= taken;
            }
        }
        sum.add_block_repeated(values + a, count - a, largest, passes);
        next_row = part + 1;
        if (add_row_in_units(sum, parts, values, count, n, largest, a)) {
            continue;
        }
        const double qa = values[a];
        std::size_t next = part + 1;
        for (std::size_t b = a + 1; b < count; ++b) {
            sum.add_repeated(std::fabs(qa - 0.0), parts[b] - next);
            sum.add(std::fabs(qa - values[b]));
            next = parts[b] + 1;
        }
        sum.add_repeated(std::fabs(qa - 0.0), n - next);
    }
    return sum.value();
}

namespace {

// a * b + c as an unevaluated pair: the rounded product and its exact error.
struct TwoTerms {
    double high;
    double low;
};

TwoTerms exact_product(double a, double b) noexcept {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

// Neumaier's compensated sum: the running sum and the lost low-order parts.
class CompensatedSum {
public:
    void add(double x) noexcept {
        const double t = sum_ + x;
        if (std::fabs(sum_) >= std::fabs(x)) {
            compensation_ += (sum_ - t) + x;
        } else {
            compensation_ += (x - t) + sum_;
        }
        sum_ = t;
    }
    [[nodiscard]] double value() const noexcept { return sum_ + compensation_; }

private:
    double sum_ = 0.0;
    double compensation_ = 0.0;
};

bool all_finite(const double* values, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

double sorted_pair_sum(double* nonzero, std::size_t count, std::size_t n) noexcept {
    if (!all_finite(nonzero, count)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(nonzero, nonzero + count);
    // In ascending order the negative values come first, then the n - count
    // zeros, then the positive ones; the value of rank r (from 1) appears
    // with coefficient 2r - n - 1 in the sum over pairs.
    const std::size_t negatives =
        static_cast<std::size_t>(std::lower_bound(nonzero, nonzero + count, 0.0) - nonzero);
    const std::size_t zeros = n - count;
    const double n_plus_one = static_cast<double>(n) + 1.0;
    CompensatedSum sum;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t rank = i + 1 + (i < negatives ? 0 : zeros);
        const double coefficient = 2.0 * static_cast<double>(rank) - n_plus_one;
        const TwoTerms term = exact_product(coefficient, nonzero[i]);
        sum.add(term.high);
        sum.add(term.low);
    }
    return sum.value();
}

}  // namespace lexispan
