// A running double sum that takes runs of equal terms, repeated blocks of
// terms and runs of per-part terms in bulk, one binade at a time, with the
// bits of adding every term in turn.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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

[[nodiscard]] GridTerm grid_term(double term, int unit_exponent) noexcept;

// Per-part terms shared by every row of a call (DP adds s_i, the
// Jensen-Shannon B term adds s_i log(s_i / m_i) for a part where the word is
// absent), with the per-binade prefix tables built on first use and shared
// by every thread.
class PartTerms {
public:
    explicit PartTerms(std::vector<double> terms);
    PartTerms(const PartTerms&) = delete;
    PartTerms& operator=(const PartTerms&) = delete;
    ~PartTerms();

    [[nodiscard]] double term(std::size_t part) const noexcept { return terms_[part]; }
    [[nodiscard]] std::size_t parts() const noexcept { return terms_.size(); }

    // For the binade whose unit is 2^unit_exponent: prefix[i] = sum of the
    // rounded units of terms [0, i) (saturating), barrier[i] = the first
    // part >= i whose term is a tie or leaves any sum in the binade.
    struct Table {
        std::vector<std::uint64_t> prefix;
        std::vector<std::uint32_t> barrier;
    };
    [[nodiscard]] const Table& table(int unit_exponent) const;

private:
    static constexpr int exponent_count = 2048;
    std::vector<double> terms_;
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

    [[nodiscard]] double value() const noexcept;

    void add(double term) noexcept;
    // `term` added `times` times.
    void add_repeated(double term, std::uint64_t times) noexcept;
    // terms[0..length) added in order, the whole block `times` times. The
    // terms must be finite and > 0.
    void add_block_repeated(const double* terms, std::size_t length, std::uint64_t times) noexcept;
    // The call's terms of parts [first, last) in order.
    void add_part_terms(const PartTerms& terms, std::size_t first, std::size_t last);

private:
    void reset(double value) noexcept;
    void add_plain(double term) noexcept;

    // On the grid: value = units_ * 2^exponent_. Off the grid (a negative,
    // infinite or NaN sum): plain_ holds the value.
    bool on_grid_ = true;
    std::uint64_t units_ = 0;
    int exponent_ = -1074;
    double plain_ = 0.0;
};

}  // namespace lexispan
