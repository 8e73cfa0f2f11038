// Argument binding, conversions between Python values and native ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analyzer/evaluation/batch_evaluation.hpp"
#include "binding/buffer_input.hpp"
#include "binding/errors.hpp"
#include "python_support/py_ref.hpp"

namespace lexispan::binding {

struct Signature {
    const char* function;  // as named in messages, without "()"
    std::span<const char* const> parameters;
};

// Binds positional and keyword arguments to the required parameters of
// `signature`; every slot of the result is filled (owned references), or
// TypeError is raised with the interpreter's usual wording.
[[nodiscard]] std::vector<PyRef> bind_arguments(const Signature& signature, PyObject* args,
                                                PyObject* kwargs);

// The rows of a converted matrix: converted item by item, copied out of a
// numeric buffer in one piece, or read in place from a float64 buffer that
// stays exported until release().
class MatrixRows final : public RowSource {
public:
    explicit MatrixRows(std::vector<std::vector<double>> rows);
    MatrixRows(std::unique_ptr<double[]> values, std::size_t rows, std::size_t columns);
    MatrixRows(Buffer view, const double* data, std::size_t rows, std::size_t columns);

    [[nodiscard]] std::size_t row_count() const noexcept override {
        return rows().row_count();
    }
    [[nodiscard]] std::size_t row_length(std::size_t row) const noexcept override {
        return rows().row_length(row);
    }
    [[nodiscard]] std::vector<double> take_row(std::size_t row) override {
        return rows().take_row(row);
    }
    // Gives the buffer back to its exporter; no row may be taken afterwards.
    void release() noexcept;

private:
    [[nodiscard]] RowSource& rows() noexcept;
    [[nodiscard]] const RowSource& rows() const noexcept;

    OwnedRows owned_{{}};
    std::unique_ptr<double[]> values_;
    Buffer view_;
    std::optional<ContiguousRows> contiguous_;
};

[[nodiscard]] double to_double(PyObject* object);
[[nodiscard]] std::vector<double> to_vector(PyObject* object);
// `in_place` allows reading a float64 buffer during the batch instead of
// copying it now: only sound when no Python code can run before the batch
// has read it (see the two checks below).
[[nodiscard]] MatrixRows to_matrix(PyObject* object, bool in_place);

// Whether converting `object` by to_double (resp. to_vector) is certain to
// run no Python code, so that nothing can change a buffer exported earlier.
[[nodiscard]] bool double_conversion_runs_no_python_code(PyObject* object);
[[nodiscard]] bool vector_conversion_runs_no_python_code(PyObject* object);
[[nodiscard]] std::string to_text(PyObject* object);

// Runs a conversion of parameter `name`; a failure that is exactly TypeError
// is re-raised as "argument '{name}': {text}", keeping its __cause__.
template <class Convert>
[[nodiscard]] auto argument(const char* name, Convert&& convert, PyObject* object)
    -> decltype(convert(object));

template <class Convert>
auto argument(const char* name, Convert&& convert, PyObject* object) -> decltype(convert(object)) {
    try {
        return convert(object);
    } catch (const PythonErrorSet&) {
        prefix_type_error(name);
        throw;
    }
}

[[nodiscard]] PyRef to_python(double value);
[[nodiscard]] PyRef to_python(std::optional<double> value);
[[nodiscard]] PyRef to_python(std::int32_t value);
[[nodiscard]] PyRef to_python(const std::vector<double>& values);

// A new list of convert(item) (each a PyRef) for every item, in order.
template <class Item, class Convert>
[[nodiscard]] PyRef list_of(const std::vector<Item>& items, Convert&& convert) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) {
        throw_api_call_failed();
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        // PyList_SetItem steals the new object.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]).release()) !=
            0) {
            throw_api_call_failed();
        }
    }
    return list;
}

// The `__qualname__` of the object's type, or a stand-in when unreadable.
[[nodiscard]] std::string type_qualname(PyObject* object);

}  // namespace lexispan::binding
