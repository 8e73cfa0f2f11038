// Bootstrap replicates of a block of words. A replicate repeats part i m_i
// times (counts and sizes alike, in part order); each word's value in it is
// the table engine's value for that repeated-parts matrix, or, with strata,
// for its counts and sizes summed per stratum. The words' entries are read
// once and expanded per replicate, so a replicate costs what the words'
// entries cost, plus its parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analyzer/evaluation/group_evaluation.hpp"

namespace lexispan {

// The multiplicities of `count` replicates over n parts: m_i of replicate b
// at multiplicities[b * n + i], each >= 0. With strata, a replicate's parts
// are summed per stratum.
struct Replicates {
    const std::int64_t* multiplicities = nullptr;
    std::size_t count = 0;
    const PartGroups* strata = nullptr;
};

// The part table of one replicate: without strata, part i's size repeated
// m_i times in part order, the total those sizes summed in that order from
// +0.0; with strata, each stratum's size the sizes of its parts, each
// repeated m_i times, summed in part order from +0.0, and the total the
// strata's sizes summed in stratum order from +0.0.
[[nodiscard]] Result<PartTable> make_replicate_table(std::span<const double> sizes,
                                                     const std::int64_t* multiplicities,
                                                     const PartGroups* strata);

// Values of words [first, last) in every replicate. targets[c].data holds
// `count x (last - first)` values, row-major by replicate (int32 for range,
// else double); occurs[b * (last - first) + w - first] is 1 where one of
// the parts drawn holds a count above 0 for word w, else 0. run.done counts
// replicates. The matrix must have passed check_counts; `sound` becomes
// false when a pointer or index read from it has changed since (see
// for_each_row_group). Returns the failure of the first replicate (by
// number) whose part table is refused, if any.
[[nodiscard]] std::optional<MeasureError> evaluate_replicates(
    const CountMatrix& matrix, std::size_t first, std::size_t last,
    std::span<const double> sizes, const Replicates& replicates, const ColumnSet& columns,
    DaMethod da, std::span<const ColumnTarget> targets, std::uint8_t* occurs,
    const TableRun& run, bool& sound);

}  // namespace lexispan
