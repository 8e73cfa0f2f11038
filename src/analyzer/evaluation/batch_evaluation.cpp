// The batch evaluation: validation on the caller, rows on the workers through
// the row engine that the table entry points use.
#include "analyzer/evaluation/batch_evaluation.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/sums/da_pair_sums.hpp"
#include "analyzer/evaluation/row_evaluation.hpp"
#include "analyzer/profile/table_columns.hpp"
#include "parallel/thread_pool.hpp"

namespace lexispan {

namespace {

// Every column of the record: the batch and the table share one engine.
ColumnSet record_columns() noexcept {
    ColumnSet columns;
    for (std::size_t c = 0; c <= index_of(Column::ft_adjusted_by_da); ++c) {
        columns.add(static_cast<Column>(c));
    }
    return columns;
}

// With at least one part every field of the record has a value.
DispersionMetrics record_of(const RowValues& values) noexcept {
    // The column of each field, looked up by name once.
    static const auto columns = [] {
        std::array<std::size_t, std::size(optional_fields)> found{};
        for (std::size_t f = 0; f < found.size(); ++f) {
            found[f] = index_of(*column_named(optional_fields[f].name));
        }
        return found;
    }();
    DispersionMetrics record;
    record.range = values.range;
    for (std::size_t f = 0; f < columns.size(); ++f) {
        record.*optional_fields[f].member = values.values[columns[f]];
    }
    return record;
}

// Enough chunks per worker to even out uneven rows, few enough that the
// per-chunk hand-out cost stays negligible; whole DA groups where possible.
std::size_t chunk_size(std::size_t rows, std::size_t workers) {
    const std::size_t target = rows / (workers * 8) + 1;
    const std::size_t groups = (target + da_lanes - 1) / da_lanes;
    return std::clamp<std::size_t>(groups, 1, 16) * da_lanes;
}

}  // namespace

Result<std::vector<DispersionMetrics>> calculate_batch_metrics(
    RowSource& rows, const std::vector<double>& corpus_part_sizes, double total_corpus_words) {
    return calculate_batch_metrics(rows, corpus_part_sizes, total_corpus_words, {});
}

Result<std::vector<DispersionMetrics>> calculate_batch_metrics(
    RowSource& rows, const std::vector<double>& corpus_part_sizes, double total_corpus_words,
    const std::function<bool()>& poll) {
    const std::size_t count = rows.row_count();
    if (count == 0) {
        return std::vector<DispersionMetrics>{};
    }
    const std::size_t expected = corpus_part_sizes.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = rows.row_length(i);
        if (length != expected) {
            return MeasureError{"Row " + std::to_string(i) + " has length " +
                                std::to_string(length) + ", expected " +
                                std::to_string(expected)};
        }
    }

    // What fails one row fails them all; known before a record is reserved,
    // so that a batch of many empty rows reports that rather than running
    // out of memory.
    if (std::optional<MeasureError> error =
            check_profile_shape(expected, expected, total_corpus_words)) {
        return *std::move(error);
    }
    Result<PartTable> table = make_part_table(corpus_part_sizes, total_corpus_words);
    const ColumnSet columns = record_columns();

    std::vector<DispersionMetrics> records(count);
    std::atomic<bool> failed{false};
    // Rows go through in groups of da_lanes, so that the DA pair sums of the
    // group's dense rows run side by side.
    const auto evaluate = [&](std::size_t begin, std::size_t end) {
        RowScratch scratch;
        std::vector<std::vector<double>> group(da_lanes);
        WordRow words[da_lanes];
        RowValues values[da_lanes];
        for (std::size_t first = begin; first < end; first += da_lanes) {
            const std::size_t last = std::min(end, first + da_lanes);
            for (std::size_t i = first; i < last; ++i) {
                if (failed.load(std::memory_order_acquire)) {
                    return;
                }
                std::vector<double>& row = group[i - first];
                row = rows.take_row(i);
                words[i - first] = WordRow{row.data(), nullptr, nullptr, 0};
            }
            // `failed` is also how a stop requested by `poll` reaches the
            // rows: the DA kernel may then give up part-way, and the call's
            // records are not used.
            evaluate_rows(table.value(), words, last - first, columns, DaMethod::pairwise, scratch,
                          values, &failed);
            if (failed.load(std::memory_order_acquire)) {
                return;
            }
            for (std::size_t i = first; i < last; ++i) {
                records[i] = record_of(values[i - first]);
            }
        }
    };
    run_chunked(count, chunk_size(count, pool_worker_count()), failed, evaluate, poll);
    return records;
}

}  // namespace lexispan
