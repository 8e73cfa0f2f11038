// A whole word x part matrix, dense or compressed, evaluated column by
// chosen column on worker threads, stoppable from outside.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "analyzer/profile/measure_result.hpp"
#include "analyzer/profile/numeric_elements.hpp"
#include "analyzer/evaluation/row_evaluation.hpp"
#include "analyzer/profile/table_columns.hpp"

namespace lexispan {

// Counts at data + w * word_stride + p * part_stride (bytes; either order,
// any strides).
struct DenseCounts {
    const std::byte* data = nullptr;
    ElementFormat format;
    std::ptrdiff_t word_stride = 0;
    std::ptrdiff_t part_stride = 0;
};

// A compressed sparse matrix: slice k holds entries pointers[k] to
// pointers[k + 1] - 1, each an index along the other axis and a value.
// `by_words`: the slices are words and the indices parts (CSR with words on
// rows); otherwise the slices are parts and the indices words. Pointers and
// indices are signed integers of 4 or 8 bytes.
struct CompressedCounts {
    const std::byte* pointers = nullptr;
    std::size_t pointer_size = 8;
    const std::byte* indices = nullptr;
    std::size_t index_size = 8;
    const std::byte* data = nullptr;
    ElementFormat format;
    std::size_t entries = 0;  // length of indices and data
    bool by_words = true;
};

struct CountMatrix {
    std::size_t words = 0;
    std::size_t parts = 0;
    std::variant<DenseCounts, CompressedCounts> counts;
};

// A matrix compressed by parts (documents x words with words on columns, or
// CSC with words on rows) made into one compressed by words, in one counting
// pass over its entries, which may come in any order within a part: each
// word's entries come out in ascending part order, with the same values as
// doubles. Holds 8 bytes per word and 12 per stored count (16 when the parts
// do not fit in 32 bits), about the size of the input's own arrays.
struct WordSlices {
    std::vector<std::int64_t> pointers;
    std::vector<std::int32_t> narrow_parts;
    std::vector<std::int64_t> wide_parts;
    std::vector<double> values;

    // The slices as a matrix compressed by words (reading these vectors).
    [[nodiscard]] CountMatrix matrix(std::size_t words, std::size_t parts) const;
};

// The words' slices of `matrix`, compressed by parts as `counts`. Every
// pointer and index is checked as it is read (the caller's arrays may change
// meanwhile): nothing when one lies outside the matrix or its entries, or
// once `stop` is set.
[[nodiscard]] std::optional<WordSlices> transpose_to_words(const CountMatrix& matrix,
                                                           const CompressedCounts& counts,
                                                           const std::atomic<bool>* stop);

// Where a column's values go: `words` doubles, or int32 for range.
struct ColumnTarget {
    Column column;
    void* data;
};

// A compressed matrix must have non-decreasing pointers from 0 to at most
// `entries`, and in every slice strictly ascending indices inside the other
// axis. Returns the complaint, or nothing for a sound matrix (and always
// nothing for a dense one).
// Gives up (nothing) once `stop` is set.
[[nodiscard]] std::optional<MeasureError> check_counts(const CountMatrix& matrix,
                                                       const std::atomic<bool>* stop = nullptr);

// Adds every word's counts to sums[p], word by word in ascending order (the
// caller starts the sums at +0.0, or continues from an earlier block of
// words). False when a pointer or index read is out of bounds: the matrix
// changed since check_counts (the sums are then unspecified). Gives up,
// with the sums unspecified, once `stop` is set.
[[nodiscard]] bool add_part_sums(const CountMatrix& matrix, double* sums,
                                 const std::atomic<bool>* stop = nullptr);

// Sum of the values in index order from +0.0.
[[nodiscard]] double ordered_sum(std::span<const double> values) noexcept;

// How a call runs: `threads` workers (1: on the calling thread), `stop`
// makes every worker end after its current group of rows, `done` counts the
// rows finished.
struct TableRun {
    std::size_t threads = 1;
    std::atomic<bool>* stop = nullptr;
    std::atomic<std::size_t>* done = nullptr;
};

// Fills every target for every word. The matrix must have passed
// check_counts and have as many parts as `parts`. Every pointer and index is
// checked again as it is read (the caller's arrays may change while the
// engine runs): false when one has changed, with the call stopped and the
// targets unspecified. Throws what a worker threw (std::bad_alloc,
// PoolUnavailable) after the others have ended.
[[nodiscard]] bool evaluate_table(const CountMatrix& matrix, const PartTable& parts,
                                  const ColumnSet& columns,
                                  DaMethod da, std::span<const ColumnTarget> targets,
                                  const TableRun& run);

}  // namespace lexispan
