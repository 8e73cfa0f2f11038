// What the entries on count matrices read alike: the matrix described by the
// package, the DA method, the output columns, and the engine's complaints.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "analyzer/evaluation/table_evaluation.hpp"
#include "python_support/boundary.hpp"
#include "python_support/buffer.hpp"

namespace lexispan::binding::table {

// A count matrix with the buffers that back it.
struct HeldMatrix {
    CountMatrix matrix;
    std::vector<Buffer> buffers;
};

// ("dense", array, words_axis) or
// ("compressed", pointers, indices, data, words, parts, by_words)
[[nodiscard]] HeldMatrix matrix_from(PyObject* layout);

// "pairwise" or "sorted", else ValueError.
[[nodiscard]] DaMethod da_method(std::string_view name);

// Fails the call with the engine's complaint about the counts, if any, or
// because a pointer or index read while the lock was released had changed.
void raise_complaint(const std::optional<MeasureError>& complaint, bool sound);

// Binds each name of the tuple `names` to the array at its place in
// `outputs` (int32 for range, else float64, `words` values each): adds the
// column to `columns` and its target to `targets`, in order.
[[nodiscard]] std::vector<Buffer> bind_columns(PyObject* names, PyObject* outputs,
                                               std::size_t words, ColumnSet& columns,
                                               std::vector<ColumnTarget>& targets);

}  // namespace lexispan::binding::table
