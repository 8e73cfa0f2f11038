// A row's parts as a measure sees them. A measure is written once, over a
// walk: the walk reports the parts where the word occurs as cells and, in the
// sparse walk (sums/sparse_walk.hpp), the runs of parts where it does not.
// The dense walk here reports every part, zeros included, and is the plain
// reference; the row's summaries (f, the sum of q, range) are written once
// over any walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "analyzer/profile/ordered_add.hpp"

namespace lexispan {

// n converted exactly to a double (every division by n goes through this).
[[nodiscard]] inline double as_double(std::size_t count) noexcept {
    return static_cast<double>(count);
}

// One part: its index, the count v, the normalised frequency q = v / c and
// the relative size s = c / T.
struct PartCell {
    std::size_t part;
    double v;
    double q;
    double s;
};

// What a sum adds for a part where the word is absent (v = q = +0.0). A
// dense walk reports every part as a cell and ignores these; a sparse walk
// computes the absent term as the measure's own term of such a cell.
// - adds_nothing: the term is +0.0 (or either zero in a sum started at
//   +0.0), which changes nothing but a sum still at -0.0;
// - absent_same: the term is the same for every part;
// - absent_each: the term depends on the part.
struct AddsNothing {};
struct AbsentSame {};
struct AbsentEach {};
inline constexpr AddsNothing adds_nothing{};
inline constexpr AbsentSame absent_same{};
inline constexpr AbsentEach absent_each{};

// Every part of a row held densely (n values each).
class DenseWalk {
public:
    DenseWalk() noexcept = default;  // no parts
    DenseWalk(const double* v, const double* q, const double* s, std::size_t n) noexcept
        : v_(v), q_(q), s_(s), n_(n) {}

    [[nodiscard]] std::size_t parts() const noexcept { return n_; }
    // The counts of the cells, in part order, and whether a part is absent.
    [[nodiscard]] std::span<const double> present_counts() const noexcept { return {v_, n_}; }
    [[nodiscard]] bool has_absent() const noexcept { return false; }

    // start + term(cell 0) + term(cell 1) + ..., in part order.
    template <class Term, class Absent>
    [[nodiscard]] double sum(double start, Term term, const Absent&) const {
        double total = start;
        for (std::size_t i = 0; i < n_; ++i) {
            total = accumulate(total, term(cell(i)));
        }
        return total;
    }
    // Whether `test` holds for every part.
    template <class Test>
    [[nodiscard]] bool every(Test test) const {
        for (std::size_t i = 0; i < n_; ++i) {
            if (!test(cell(i))) {
                return false;
            }
        }
        return true;
    }
    template <class Visit>
    void for_each(Visit visit) const {
        for (std::size_t i = 0; i < n_; ++i) {
            visit(cell(i));
        }
    }

private:
    [[nodiscard]] PartCell cell(std::size_t i) const noexcept { return {i, v_[i], q_[i], s_[i]}; }

    const double* v_ = nullptr;
    const double* q_ = nullptr;
    const double* s_ = nullptr;
    std::size_t n_ = 0;
};

// The row's summaries. f and the sum of q start at -0.0, so that the sign
// of an all-zero row's sum is that of its zeros.
template <class Walk>
[[nodiscard]] double frequency_of(const Walk& walk) {
    return walk.sum(-0.0, [](const PartCell& cell) { return cell.v; }, adds_nothing);
}
template <class Walk>
[[nodiscard]] double q_total_of(const Walk& walk) {
    return walk.sum(-0.0, [](const PartCell& cell) { return cell.q; }, adds_nothing);
}
// Parts with a count above 0, capped at the 32-bit field (a larger count
// would need over 2**31 parts).
template <class Walk>
[[nodiscard]] std::int32_t range_of(const Walk& walk) {
    std::int64_t count = 0;
    walk.for_each([&count](const PartCell& cell) {
        if (cell.v > 0.0) {
            ++count;
        }
    });
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(count < limit ? count : limit);
}
[[nodiscard]] inline double mean_of(double total, std::size_t n) noexcept {
    return total / as_double(n);
}
// The smallest value (+inf for none); NaN never compares smaller, and an
// equal value does not replace.
[[nodiscard]] inline double smallest(std::span<const double> values) noexcept {
    double least = std::numeric_limits<double>::infinity();
    for (const double x : values) {
        if (x < least) {
            least = x;
        }
    }
    return least;
}

}  // namespace lexispan
