// What the entries on count matrices read alike: the matrix described by the
// package, the DA method, the output columns, and the engine's complaints.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "analyzer/evaluation/table_evaluation.hpp"
#include "python_support/boundary.hpp"
#include "python_support/buffer.hpp"
#include "table_binding/polling.hpp"

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

// The part table of `sizes_object` and `total`, which must have `parts` sizes.
[[nodiscard]] PartTable checked_part_table(PyObject* sizes_object, double total,
                                           std::size_t parts);

// The worker count, at least 1, else ValueError.
[[nodiscard]] std::size_t checked_threads(Py_ssize_t threads);

// Runs check_counts and then `evaluate` (which returns false when a pointer
// or index read has changed, and may set the complaint) without the
// interpreter lock, polling with `poll`; then fails the call with the
// complaint or the change, if any.
template <class Evaluate>
void run_checked(const CountMatrix& matrix, std::atomic<bool>& stop,
                 const std::function<bool(bool)>& poll, Evaluate evaluate) {
    std::optional<MeasureError> complaint;
    bool sound = true;
    run_polling(
        [&] {
            complaint = check_counts(matrix, &stop);
            if (!complaint) {
                sound = evaluate(complaint);
            }
        },
        poll, stop);
    raise_complaint(complaint, sound);
}

// Binds each name of the tuple `names` to the array at its place in
// `outputs` (int32 for range, else float64, `words` values each): adds the
// column to `columns` and its target to `targets`, in order.
[[nodiscard]] std::vector<Buffer> bind_columns(PyObject* names, PyObject* outputs,
                                               std::size_t words, ColumnSet& columns,
                                               std::vector<ColumnTarget>& targets);

}  // namespace lexispan::binding::table
