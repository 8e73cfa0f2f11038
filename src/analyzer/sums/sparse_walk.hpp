// The walk over a word's entries only: every sum keeps the bits of the dense
// walk over all parts, the parts where the word is absent being skipped
// (their term changes nothing) or taken a run at a time (OrderedSum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "analyzer/profile/ordered_add.hpp"
#include "analyzer/profile/part_walk.hpp"
#include "analyzer/sums/zero_run_sums.hpp"

namespace lexispan {

// An absent part's term from a table shared by every row of a call, which
// must hold the measure's term of each part's zero cell. Only a sparse walk
// reads it (a dense walk may be given a null table).
struct AbsentTable {
    const PartTerms* terms;
};

// The entries are the parts (strictly ascending) where the row holds
// something, with their v and q; every other part holds v = q = +0.0.
// `relative` holds s for all n parts. Bulk steps need finite terms; a walk
// whose absent terms are not finite must not be asked for them.
class SparseWalk {
public:
    SparseWalk(const std::uint32_t* parts, const double* v, const double* q, std::size_t count,
               const double* relative, std::size_t n) noexcept
        : parts_(parts), v_(v), q_(q), count_(count), s_(relative), n_(n) {}

    [[nodiscard]] std::size_t parts() const noexcept { return n_; }
    [[nodiscard]] std::span<const double> present_counts() const noexcept {
        return {v_, count_};
    }
    [[nodiscard]] bool has_absent() const noexcept { return count_ < n_; }

    template <class Term>
    [[nodiscard]] double sum(double start, Term term, AddsNothing) const {
        double total = start;
        for (std::size_t e = 0; e < count_; ++e) {
            total = accumulate(total, term(cell(e)));
        }
        // One +0.0 turns a sum still at -0.0 into +0.0, as the first absent
        // part does in the dense walk; after it, +0.0 changes nothing.
        return has_absent() ? accumulate(total, 0.0) : total;
    }
    template <class Term>
    [[nodiscard]] double sum(double start, Term term, AbsentEach) const {
        double total = start;
        std::size_t next = 0;
        for (std::size_t e = 0; e <= count_; ++e) {
            const std::size_t stop = e < count_ ? parts_[e] : n_;
            for (; next < stop; ++next) {
                total = accumulate(total, term(zero_cell(next)));
            }
            if (e < count_) {
                total = accumulate(total, term(cell(e)));
                next = stop + 1;
            }
        }
        return total;
    }
    template <class Term>
    [[nodiscard]] double sum(double start, Term term, AbsentSame) const {
        const double absent = has_absent() ? term(zero_cell(first_absent())) : 0.0;
        return ordered_sum(start, term, [absent](OrderedSum& total, std::size_t from,
                                                 std::size_t to) {
            total.add_repeated(absent, to - from);
        });
    }
    template <class Term>
    [[nodiscard]] double sum(double start, Term term, AbsentTable table) const {
        return ordered_sum(start, term, [&table](OrderedSum& total, std::size_t from,
                                                 std::size_t to) {
            total.add_part_terms(*table.terms, from, to);
        });
    }

    // Whether `test` holds for every part; absent parts are asked once,
    // which suits tests that do not depend on the part.
    template <class Test>
    [[nodiscard]] bool every(Test test) const {
        for (std::size_t e = 0; e < count_; ++e) {
            if (!test(cell(e))) {
                return false;
            }
        }
        return !has_absent() || test(zero_cell(first_absent()));
    }
    // The entries' cells, in part order.
    template <class Visit>
    void for_each(Visit visit) const {
        for (std::size_t e = 0; e < count_; ++e) {
            visit(cell(e));
        }
    }

private:
    [[nodiscard]] PartCell cell(std::size_t e) const noexcept {
        return {parts_[e], v_[e], q_[e], s_[parts_[e]]};
    }
    [[nodiscard]] PartCell zero_cell(std::size_t part) const noexcept {
        return {part, 0.0, 0.0, s_[part]};
    }
    [[nodiscard]] std::size_t first_absent() const noexcept {
        std::size_t e = 0;
        while (e < count_ && parts_[e] == e) {
            ++e;
        }
        return e;
    }
    // The entries' terms one by one and the runs of absent parts between
    // them through `add_run(sum, first, last)`.
    template <class Term, class AddRun>
    [[nodiscard]] double ordered_sum(double start, Term& term, AddRun add_run) const {
        OrderedSum total(start);
        std::size_t next = 0;
        for (std::size_t e = 0; e < count_; ++e) {
            const std::size_t part = parts_[e];
            if (next < part) {
                add_run(total, next, part);
            }
            total.add(term(cell(e)));
            next = part + 1;
        }
        if (next < n_) {
            add_run(total, next, n_);
        }
        return total.value();
    }

    const std::uint32_t* parts_;
    const double* v_;
    const double* q_;
    std::size_t count_;
    const double* s_;
    std::size_t n_;
};

}  // namespace lexispan
