// Every word of a count matrix within each group of its parts and across the
// groups, in one pass over the words: a word's entries, split by group, go
// through the row engine once per group, and its counts summed per group once
// more, so that each value is the one the table engine gives for the group's
// columns alone, or for the matrix of counts summed per group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "analyzer/evaluation/row_evaluation.hpp"
#include "analyzer/evaluation/table_evaluation.hpp"

namespace lexispan {

// The group of each part, numbered 0 to count - 1; every group has a part.
struct PartGroups {
    std::vector<std::uint32_t> group_of;
    std::size_t count = 0;
};

// Within group g: its parts in part order with their sizes, and its own
// total, those sizes summed in part order from +0.0. Across: one part per
// group, in group order, whose size is the group's total, and the call's
// total.
struct GroupTables {
    std::vector<PartTable> within;
    PartTable across;
    const PartGroups* groups = nullptr;
    std::vector<std::uint32_t> place;  // each part's index within its group
};

// Refuses a group whose total is not positive, with the group's number.
[[nodiscard]] Result<GroupTables> make_group_tables(const PartTable& parts,
                                                    const PartGroups& groups);

// The sum of values[i] over the parts of each group, in part order from
// +0.0, into sums (one per group).
void sum_by_group(const PartGroups& groups, std::span<const double> values, double* sums);

// Where the values go: the targets of each group, and those across groups.
struct GroupTargets {
    std::vector<std::vector<ColumnTarget>> within;
    std::vector<ColumnTarget> across;
};

// Fills every target for every word (run.done counts words). A word's
// counts are summed per group in part order from +0.0. The matrix must have
// passed check_counts; false when a pointer or index read from it has
// changed since (see for_each_row_group).
[[nodiscard]] bool evaluate_groups(const CountMatrix& matrix, const GroupTables& tables,
                     const ColumnSet& columns, DaMethod da, const GroupTargets& targets,
                     const TableRun& run);

}  // namespace lexispan
