// The columns of one row of a table call, written once for the dense and
// the sparse walk: every measure comes from its one formula (measures.hpp,
// catalogue_measures.hpp), so both walks give the record's bits.
#pragma once

#include <cstdint>

#include "analyzer/evaluation/frequency_constants.hpp"
#include "analyzer/measures/measures.hpp"
#include "analyzer/profile/part_walk.hpp"
#include "analyzer/profile/table_columns.hpp"
#include "analyzer/sums/sparse_walk.hpp"

namespace lexispan {

// A row of a call: its walk with the walk's summaries, and what every row
// of the call shares (the smallest s_i, T, the absent-part tables a sparse
// walk needs, the values shared by the words of one frequency).
template <class Walk>
struct RowView {
    RowView(const Walk& row_walk, double call_min_relative, double call_total,
            const AbsentTerms* call_absent, const FrequencyConstants* call_by_frequency)
        : walk(row_walk),
          frequency(frequency_of(row_walk)),
          q_total(q_total_of(row_walk)),
          range(range_of(row_walk)),
          min_relative(call_min_relative),
          total(call_total),
          absent(call_absent),
          by_frequency(call_by_frequency) {}

    [[nodiscard]] double mean_frequency() const noexcept {
        return mean_of(frequency, walk.parts());
    }
    [[nodiscard]] double mean_q() const noexcept { return mean_of(q_total, walk.parts()); }

    Walk walk;
    double frequency;
    double q_total;
    std::int32_t range;
    double min_relative;
    double total;
    const AbsentTerms* absent;
    const FrequencyConstants* by_frequency;
};

// Fills every column of `columns` but DA's two (evenness_da and
// ft_adjusted_by_da), which the caller settles with the row's pair sum;
// out.range is always set. Columns that are not asked for may be written.
void fill_columns(const RowView<DenseWalk>& row, const ColumnSet& columns, RowValues& out);
void fill_columns(const RowView<SparseWalk>& row, const ColumnSet& columns, RowValues& out);

}  // namespace lexispan
