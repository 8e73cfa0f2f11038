// The chosen columns for a few words at a time, against part sizes shared by
// a whole call: the engine behind the table entry points and the batch.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "analyzer/evaluation/frequency_constants.hpp"
#include "analyzer/measures/measures.hpp"
#include "analyzer/profile/measure_result.hpp"
#include "analyzer/profile/table_columns.hpp"

namespace lexispan {

// What every row of a call shares: c_i, s_i = c_i / T, T and the smallest
// s_i; and the absent-part tables of the sparse walk when the call
// qualifies for it (part sizes finite and not negative, a finite positive
// total, finite relative sizes, fewer than 2^32 parts). Without them every
// row takes the dense walk. And the values the words of one frequency
// share, filled as the call meets its frequencies.
struct PartTable {
    std::vector<double> sizes;
    std::vector<double> relative;
    double total = 0.0;
    double min_relative = 0.0;
    std::shared_ptr<const AbsentTerms> sparse;
    std::shared_ptr<const FrequencyConstants> by_frequency;

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

// Calls visit(part, count) for every part of `row` (of n parts) whose count
// is anything but +0.0, in part order: every other part holds +0.0, which
// a sum started at +0.0 (that can never become -0.0) may skip, and which the
// entries of a WordRow may leave out.
template <class Visit>
void for_each_entry(const WordRow& row, std::size_t n, Visit visit) {
    const auto is_plus_zero = [](double x) { return x == 0.0 && !std::signbit(x); };
    if (row.dense != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!is_plus_zero(row.dense[i])) {
                visit(i, row.dense[i]);
            }
        }
        return;
    }
    for (std::size_t e = 0; e < row.entries; ++e) {
        if (!is_plus_zero(row.values[e])) {
            visit(std::size_t{row.parts[e]}, row.values[e]);
        }
    }
}

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

    struct Storage;

private:
    friend void evaluate_rows(const PartTable&, const WordRow*, std::size_t, const ColumnSet&,
                              DaMethod, RowScratch&, RowValues*, const std::atomic<bool>*);
    std::unique_ptr<Storage> storage_;
};

// Evaluates `count` rows (at most row_group_size()). Every value equals,
// bit for bit, the same field of the record that calculate_all_metrics
// gives for the row made dense (frequency: the profile's f), except DA under
// DaMethod::sorted. A row of finite counts >= 0 in a call that qualifies
// (see PartTable) and found in few parts takes the sparse walk, every other
// row the dense walk; DA's pair sum runs from the nonzeros or on the dense
// kernel, whichever costs the group less. Once `stop` is set, the dense
// kernel may give up part-way and leave DA unspecified: the caller then
// discards the rows.
void evaluate_rows(const PartTable& parts, const WordRow* rows, std::size_t count,
                   const ColumnSet& columns, DaMethod da, RowScratch& scratch, RowValues* out,
                   const std::atomic<bool>* stop = nullptr);

}  // namespace lexispan
