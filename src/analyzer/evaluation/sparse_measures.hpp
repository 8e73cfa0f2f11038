// The record's measures from a word's nonzero parts only: every sum keeps
// the bits of the sum over all parts, the parts where the word is absent
// being skipped (their terms are +0.0) or taken in bulk (zero_run_sums).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analyzer/profile/table_columns.hpp"
#include "analyzer/sums/zero_run_sums.hpp"

namespace lexispan {

// What every row of a call shares when the call qualifies: part sizes finite
// and not negative, a finite positive total, finite relative sizes.
struct SparseConstants {
    SparseConstants(const std::vector<double>& sizes, const std::vector<double>& relative,
                    double total);

    std::size_t parts;
    double total;
    // Carroll's D2 divides by this (it depends on the part count only).
    double max_entropy;
    // The smallest s_i (DP_norm divides by 1 - this).
    double min_relative;
    // DP's term for a part where the word is absent: |0 - s_i|.
    PartTerms dp_absent;
    // The Jensen-Shannon B term of such a part (+0.0 where the term is
    // skipped).
    PartTerms jsd_absent;
};

// Builds the constants, or nothing when the call must take the plain path.
[[nodiscard]] std::shared_ptr<const SparseConstants> make_sparse_constants(
    const std::vector<double>& sizes, const std::vector<double>& relative, double total);

// A word's entries with a count > 0, strictly ascending parts.
struct SparseRow {
    const std::uint32_t* parts;
    const double* values;
    std::size_t count;
};

// What DA still needs after its guards: the pair sum over the nonzero
// normalised frequencies (their parts and values), then
// finish_evenness_da with `mean`.
struct SparseDa {
    bool pending = false;
    double mean = 0.0;
    std::vector<std::uint32_t> parts;
    std::vector<double> values;
};

// Working storage reused from row to row.
struct SparseScratch {
    std::vector<double> normalized;
};

// Fills every column of `columns`; evenness_da and ft_adjusted_by_da only
// when one of DA's guards decides it, otherwise `da.pending` is set with
// what the caller needs for the pair sum. Returns false, writing nothing to
// `out`, when f or the sum of q is not finite (the row then takes the plain
// path). `sizes` and `relative` are the call's c_i and s_i.
[[nodiscard]] bool evaluate_sparse_row(const SparseConstants& constants,
                                       const std::vector<double>& sizes,
                                       const std::vector<double>& relative, const SparseRow& row,
                                       const ColumnSet& columns, SparseScratch& scratch,
                                       RowValues& out, SparseDa& da);

// DA's sum of |q_i - q_j| over i < j of a row of n parts whose nonzero q are
// `values` at strictly ascending `parts` (all finite and > 0), with the bits
// of da_pair_sum over the dense row. `scratch` is working storage.
[[nodiscard]] double sparse_da_pair_sum(const std::uint32_t* parts, const double* values,
                                        std::size_t count, std::size_t n,
                                        std::vector<std::uint64_t>& scratch);
// The same, giving up (nothing) once `stop` is set: a row found in tens of
// thousands of parts takes seconds.
[[nodiscard]] std::optional<double> sparse_da_pair_sum(const std::uint32_t* parts,
                                                       const double* values, std::size_t count,
                                                       std::size_t n,
                                                       std::vector<std::uint64_t>& scratch,
                                                       const std::atomic<bool>* stop);

// Whether DA's pair sum of a row with `count` nonzero parts out of n is
// cheaper from the nonzeros than on the dense kernel.
[[nodiscard]] bool prefers_sparse_da(std::size_t count, std::size_t n) noexcept;

}  // namespace lexispan
