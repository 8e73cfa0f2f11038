// The arrays that lexispan_table hands to its engine, read as the engine
// needs them: element formats, index widths, sizes, and the output arrays
// bound to measure names.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "python_support/boundary.hpp"
#include "python_support/buffer.hpp"

namespace lexispan::binding::table {

// The element of a buffer that the package reduced to a native-order integer
// (bool included) or binary32/binary64; TypeError "{what}: unsupported element
// format '{format}'" for any other.
[[nodiscard]] ElementFormat element_format(const Buffer& view, const char* what);

// The width of the signed 32- or 64-bit integers of an index buffer.
[[nodiscard]] std::size_t index_size(const Buffer& view, const char* what);

// A non-negative Python int.
[[nodiscard]] std::size_t to_size(PyObject* object, const char* what);

// A copy of a 1-D float64 array.
[[nodiscard]] std::vector<double> doubles_from(PyObject* object, const char* what);

// A 1-D C-contiguous buffer of 64-bit signed integers.
[[nodiscard]] Buffer int64_buffer(PyObject* object, const char* what, bool writable);

// The parts of bind_outputs that do not depend on the measures.
[[nodiscard]] std::size_t output_count(PyObject* names, PyObject* outputs);
[[nodiscard]] std::string_view name_at(PyObject* names, std::size_t i);
[[noreturn]] void throw_unknown_measure(std::string_view name);
[[noreturn]] void throw_output_misfit(std::string_view name, const char* expected);

// Binds every measure name in the tuple `names` to the array at the same
// place in the tuple `outputs`, in order. `lookup(name)` finds the measure
// (empty: ValueError "unknown measure '{name}'"); its array, exported
// writable and C-contiguous, must be one-dimensional with `words` elements
// and `bind(measure, format, data)` must accept its element format, else
// TypeError "output for '{name}' must be {expected} of one value per word".
// The arrays stay exported while the returned buffers live.
template <class Lookup, class Bind>
std::vector<Buffer> bind_outputs(PyObject* names, PyObject* outputs, std::size_t words,
                                 const char* expected, Lookup&& lookup, Bind&& bind) {
    const std::size_t count = output_count(names, outputs);
    std::vector<Buffer> buffers;
    buffers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = name_at(names, i);
        const auto measure = lookup(name);
        if (!measure) {
            throw_unknown_measure(name);
        }
        const Buffer& out = buffers.emplace_back(
            Buffer::acquire(PyTuple_GetItem(outputs, static_cast<Py_ssize_t>(i)),
                            PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE));
        const ElementFormat format = element_format(out, "output");
        if (out.get().ndim != 1 || out.length() != words ||
            !bind(*measure, format, out.get().buf)) {
            throw_output_misfit(name, expected);
        }
    }
    return buffers;
}

}  // namespace lexispan::binding::table
