// A running double sum that takes runs of equal terms, repeated blocks of
// terms and runs of per-part terms in bulk, one binade at a time, with the
// bits of adding every term in turn.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace lexispan {

// A term measured on the grid of one binade: `whole` units of u plus a
// remainder below, at or above half a unit. `whole` saturates at
// grid_units: such a term always leaves the binade.
struct GridTerm {
    std::uint64_t whole;
    int half;  // -1 below (or no remainder), 0 exactly half, +1 above
};

// Units in one binade: the sum lies in [2^52, 2^53) units of u (or below
// 2^53 units of 2^-1074 in the lowest one).
inline constexpr std::uint64_t grid_units = std::uint64_t{1} << 53;

// `term` (finite, sign ignored) on the grid of 2^unit_exponent.
[[nodiscard]] inline GridTerm grid_term(double term, int unit_exponent) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(term) & ~(std::uint64_t{1} << 63);
    if (bits == 0) {
        return {0, -1};
    }
    const auto biased = static_cast<int>(bits >> 52);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (biased != 0) {
        mantissa |= std::uint64_t{1} << 52;
        exponent = biased - 1075;
    }
    const int shift = exponent - unit_exponent;
    if (shift >= 0) {
        if (shift >= 53 || mantissa >= (grid_units >> shift)) {
            return {grid_units, -1};
        }
        return {mantissa << shift, -1};
    }
    const int drop = -shift;
    if (drop >= 64) {
        return {0, -1};
    }
    const std::uint64_t whole = mantissa >> drop;
    const std::uint64_t rest = mantissa & ((std::uint64_t{1} << drop) - 1);
    const std::uint64_t half = std::uint64_t{1} << (drop - 1);
    return {whole, rest < half ? -1 : (rest == half ? 0 : 1)};
}

// The units a term adds when it is not a tie.
[[nodiscard]] inline std::uint64_t rounded_units(const GridTerm& term) noexcept {
    return term.whole + (term.half > 0 ? 1U : 0U);
}

// The units that |base - values[i]| adds for every i in [0, count), summed,
// on the grid of 2^unit_exponent, for terms no larger than `largest`.
// `fits` is false when the routine cannot vouch for the total: a term is a
// tie or may reach a unit (the binade is too fine for the largest one), or
// the total could pass `room`. The terms must be finite.
struct UnitsTotal {
    std::uint64_t units;
    bool fits;
};
[[nodiscard]] UnitsTotal units_of_differences(double base, const double* values,
                                              std::size_t count, double largest,
                                              int unit_exponent, std::uint64_t room) noexcept;

// Per-part terms shared by every row of a call (DP adds s_i, the
// Jensen-Shannon B term adds s_i log(s_i / m_i) for a part where the word is
// absent), with the per-binade prefix tables built on first use and shared
// by every thread. A sum passes through dozens of binades, so the tables
// together keep to `table_budget` bytes (by default 16 per part plus 16 MiB):
// each new one takes at most half of what is left, covering blocks of parts
// instead of single parts where a full table would not fit. A run then adds
// the terms around its whole blocks one at a time; the sum is the same.
class PartTerms {
public:
    static constexpr std::size_t default_budget = std::numeric_limits<std::size_t>::max();
    explicit PartTerms(std::vector<double> terms, std::size_t table_budget = default_budget);
    PartTerms(const PartTerms&) = delete;
    PartTerms& operator=(const PartTerms&) = delete;
    ~PartTerms();

    [[nodiscard]] double term(std::size_t part) const noexcept { return terms_[part]; }
    [[nodiscard]] std::size_t parts() const noexcept { return terms_.size(); }

    // For the binade whose unit is 2^unit_exponent, over blocks of
    // 2^shift parts (block j starts at part j << shift): prefix[j] = sum of
    // the rounded units of the terms before block j (saturating),
    // barrier[j] = the first part at or after block j's start whose term is
    // a tie or leaves any sum in the binade (the part count if none).
    struct Table {
        unsigned shift = 0;
        std::vector<std::uint64_t> prefix;
        std::vector<std::uint32_t> barrier;
    };
    [[nodiscard]] const Table& table(int unit_exponent) const;

private:
    static constexpr int exponent_count = 2048;
    std::vector<double> terms_;
    std::size_t budget_;       // bytes the tables may take together
    mutable std::size_t used_ = 0;  // under building_
    mutable std::mutex building_;
    mutable std::unique_ptr<std::atomic<const Table*>[]> tables_;
    mutable std::vector<std::unique_ptr<Table>> owned_;
};

// The sum of a sequence of terms, started at a value; every operation gives
// what adding its terms one at a time, in order, gives. Bulk steps need a
// finite sum >= +0.0 and finite terms >= 0; anything else is added plainly.
class OrderedSum {
public:
    explicit OrderedSum(double start) noexcept { reset(start); }

    [[nodiscard]] double value() const noexcept {
        if (!on_grid_) {
            return plain_;
        }
        // units_ is below 2^52 only on the lowest grid (a subnormal).
        const std::uint64_t fraction = units_ & ((std::uint64_t{1} << 52) - 1);
        const std::uint64_t biased =
            units_ < (grid_units >> 1) ? 0 : static_cast<std::uint64_t>(exponent_ + 1075);
        return std::bit_cast<double>((biased << 52) | fraction);
    }

    void add(double term) noexcept {
        if (on_grid_ && term >= 0.0 && term < std::numeric_limits<double>::infinity()) {
            const GridTerm t = grid_term(term, exponent_);
            if (t.half != 0 && t.whole <= grid_units - 1 - units_) {
                units_ += rounded_units(t);
                carry();
                return;
            }
        }
        add_plain(term);
    }
    // `term` added `times` times.
    void add_repeated(double term, std::uint64_t times) noexcept {
        if (times != 0) {
            add_run(term, times);
        }
    }
    // terms[0..length) added in order, the whole block `times` times. The
    // terms must be finite, > 0 and at most `largest`.
    void add_block_repeated(const double* terms, std::size_t length, double largest,
                            std::uint64_t times) noexcept;
    // The call's terms of parts [first, last) in order.
    void add_part_terms(const PartTerms& terms, std::size_t first, std::size_t last) {
        if (first < last) {
            add_part_run(terms, first, last);
        }
    }

    // For callers that measure their own terms: whether the sum is on a
    // grid, its unit exponent, how many units it may still take while
    // staying strictly inside its binade, and adding such units.
    [[nodiscard]] bool on_grid() const noexcept { return on_grid_; }
    [[nodiscard]] int unit_exponent() const noexcept { return exponent_; }
    [[nodiscard]] std::uint64_t room() const noexcept { return grid_units - 1 - units_; }
    void add_units(std::uint64_t units) noexcept { units_ += units; }

private:
    // A sum that landed on the top of its binade: the same value as 2^52
    // units of the next grid (or infinity past the largest binade).
    void carry() noexcept {
        if (units_ == grid_units) {
            units_ = grid_units / 2;
            if (++exponent_ > 971) {
                on_grid_ = false;
                plain_ = std::numeric_limits<double>::infinity();
            }
        }
    }
    void reset(double value) noexcept;
    void add_plain(double term) noexcept;
    void add_run(double term, std::uint64_t times) noexcept;
    void add_part_run(const PartTerms& terms, std::size_t first, std::size_t last);

    // On the grid: value = units_ * 2^exponent_. Off the grid (a negative,
    // infinite or NaN sum): plain_ holds the value.
    bool on_grid_ = true;
    std::uint64_t units_ = 0;
    int exponent_ = -1074;
    double plain_ = 0.0;
};

}  // namespace lexispan
