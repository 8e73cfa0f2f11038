// Full records for every row of a frequency matrix, on the worker pool.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "analyzer/profile/measure_result.hpp"
#include "metrics/dispersion_metrics.hpp"

namespace lexispan {

// Where the rows come from. take_row is called from worker threads, at most
// once per row and never twice concurrently for the same row, so an
// implementation needs no locking of its own.
class RowSource {
public:
    virtual ~RowSource() = default;
    [[nodiscard]] virtual std::size_t row_count() const noexcept = 0;
    [[nodiscard]] virtual std::size_t row_length(std::size_t row) const noexcept = 0;
    [[nodiscard]] virtual std::vector<double> take_row(std::size_t row) = 0;
};

// Rows converted up front; take_row hands each one over without a copy.
class OwnedRows final : public RowSource {
public:
    explicit OwnedRows(std::vector<std::vector<double>> rows) : rows_(std::move(rows)) {}
    [[nodiscard]] std::size_t row_count() const noexcept override { return rows_.size(); }
    [[nodiscard]] std::size_t row_length(std::size_t row) const noexcept override {
        return rows_[row].size();
    }
    [[nodiscard]] std::vector<double> take_row(std::size_t row) override {
        return std::move(rows_[row]);
    }

private:
    std::vector<std::vector<double>> rows_;
};

// Rows of equal length stored one after another in memory that someone else
// owns and keeps unchanged until the batch has returned; take_row copies.
class ContiguousRows final : public RowSource {
public:
    ContiguousRows(const double* data, std::size_t rows, std::size_t columns) noexcept
        : data_(data), rows_(rows), columns_(columns) {}
    [[nodiscard]] std::size_t row_count() const noexcept override { return rows_; }
    [[nodiscard]] std::size_t row_length(std::size_t) const noexcept override {
        return columns_;
    }
    [[nodiscard]] std::vector<double> take_row(std::size_t row) override {
        const double* first = data_ + row * columns_;
        return std::vector<double>(first, first + columns_);
    }

private:
    const double* data_;
    std::size_t rows_;
    std::size_t columns_;
};

// Row-length check on the calling thread, then the rows through the row
// engine (evaluate_rows) on the pool. Every record equals the one that
// make_corpus_profile(row, sizes, T) followed by calculate_all_metrics gives.
// Throws PoolUnavailable when the pool cannot run, and rethrows the first
// exception escaping a work item after the other started items have ended.
[[nodiscard]] Result<std::vector<DispersionMetrics>> calculate_batch_metrics(
    RowSource& rows, const std::vector<double>& corpus_part_sizes, double total_corpus_words);

// The same, calling `poll` on the calling thread about every 20 ms while the
// rows run (see run_chunked). Once it returns true no further row starts and
// the call returns after the started ones end; the records are then
// incomplete, and the caller, which knows it asked for the stop, discards
// them.
[[nodiscard]] Result<std::vector<DispersionMetrics>> calculate_batch_metrics(
    RowSource& rows, const std::vector<double>& corpus_part_sizes, double total_corpus_words,
    const std::function<bool()>& poll);

}  // namespace lexispan
