// The chosen columns for a few words at a time, against part sizes shared by
// a whole call: the engine behind the table entry points.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/profile/measure_result.hpp"
#include "analyzer/evaluation/sparse_measures.hpp"
#include "analyzer/profile/table_columns.hpp"

namespace lexispan {

// What every row of a call shares: c_i, s_i = c_i / T and T, and the
// constants of the sparse path when the call qualifies for it.
struct PartTable {
    std::vector<double> sizes;
    std::vector<double> relative;
    double total = 0.0;
    std::shared_ptr<const SparseConstants> sparse;

    [[nodiscard]] std::size_t parts() const noexcept { return sizes.size(); }
};

// Refuses what a profile refuses (no parts, a total that is not positive),
// with the same messages.
[[nodiscard]] Result<PartTable> make_part_table(std::vector<double> sizes, double total);

// One word's counts over the parts: either `dense` (parts() values) or the
// `entries` parts with their values in strictly ascending part order, every
// other part holding +0.0.
struct WordRow {
    const double* dense = nullptr;
    const std::uint32_t* parts = nullptr;
    const double* values = nullptr;
    std::size_t entries = 0;
};

// How DA's sum of |q_i - q_j| over pairs is formed: pairwise gives the
// record's bits; sorted uses the identity over the sorted q, O(k log k) for a
// word in k parts, with compensated summation (another rounding of the same
// measure).
enum class DaMethod { pairwise, sorted };

// Rows evaluated together (DA's pair sums of a group run side by side).
[[nodiscard]] std::size_t row_group_size() noexcept;

// Working storage of one thread, reused from call to call of evaluate_rows.
class RowScratch {
public:
    RowScratch();
    RowScratch(RowScratch&&) noexcept;
    RowScratch& operator=(RowScratch&&) noexcept;
    ~RowScratch();

private:
    friend void evaluate_rows(const PartTable&, const WordRow*, std::size_t, const ColumnSet&,
                              DaMethod, RowScratch&, RowValues*, const std::atomic<bool>*);
    std::vector<CorpusProfile> profiles_;
    std::vector<double> dense_;
    std::vector<double> sorted_;
    std::vector<std::uint32_t> entry_parts_;
    std::vector<double> entry_values_;
    SparseScratch sparse_;
    std::vector<SparseDa> da_;
    std::vector<std::vector<double>> dense_q_;
    std::vector<std::uint64_t> da_units_;
};

// Evaluates `count` rows (at most row_group_size()). Every value equals,
// bit for bit, the same field of the record that calculate_all_metrics
// gives for the row made dense (frequency: the profile's f), except DA under
// DaMethod::sorted. A row of finite counts >= 0 in a call that qualifies
// (see SparseConstants) is computed from its nonzero parts; DA's pair sum
// then runs from the nonzeros or, for a row found in most parts, on the
// dense kernel. Everything else goes through the profile. Once `stop` is
// set, the dense kernel may give up part-way and leave DA unspecified: the
// caller then discards the rows.
void evaluate_rows(const PartTable& parts, const WordRow* rows, std::size_t count,
                   const ColumnSet& columns, DaMethod da, RowScratch& scratch, RowValues* out,
                   const std::atomic<bool>* stop = nullptr);

// The catalogue columns that `columns` asks for, for the row of `profile`
// (a profile refilled over `parts`); the record's D and D2 come from its own
// functions, so their bits match the record's columns.
void evaluate_catalogue(CorpusProfile& profile, const PartTable& parts,
                        const ColumnSet& columns, RowValues& values) noexcept;

// The sum of |q_i - q_j| over i < j for a row of n values of which the
// `count` values in `nonzero` are the ones that are not zero (any order; the
// array is sorted in place), by the sorted identity with compensated
// summation. NaN when a value is not finite.
[[nodiscard]] double sorted_pair_sum(double* nonzero, std::size_t count, std::size_t n) noexcept;

}  // namespace lexispan
