// Reading the package's arrays for the table engine.
#include "table_binding/arrays.hpp"

#include <string>

namespace lexispan::binding::table {

namespace {

// What the package may hand over: native-order elements, standard sizes as
// NumPy writes them for unaligned arrays, and bool (read as a byte).
constexpr FormatRules engine_formats{.standard_sizes = true, .byte_swapped = false,
                                     .boolean = true};

}  // namespace

ElementFormat element_format(const Buffer& view, const char* what) {
    const std::optional<ElementFormat> format = parse_element_format(view.get(), engine_formats);
    if (!format) {
        const char* text = view.get().format;
        throw_python_error(PyExc_TypeError, std::string(what) + ": unsupported element format '" +
                                                (text != nullptr ? text : "") + "'");
    }
    return *format;
}

std::size_t index_size(const Buffer& view, const char* what) {
    const ElementFormat format = element_format(view, what);
    if (format.kind != ElementFormat::Kind::signed_integer ||
        (format.size != 4 && format.size != 8)) {
        throw_python_error(PyExc_TypeError,
                           std::string(what) + " must hold 32- or 64-bit signed integers");
    }
    return format.size;
}

std::size_t to_size(PyObject* object, const char* what) {
    const Py_ssize_t value = PyLong_AsSsize_t(object);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw_pending_error();
    }
    if (value < 0) {
        throw_python_error(PyExc_ValueError, std::string(what) + " must not be negative");
    }
    return static_cast<std::size_t>(value);
}

std::vector<double> doubles_from(PyObject* object, const char* what) {
    const Buffer view = Buffer::acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    if (view.get().ndim != 1 || element_format(view, what).kind !=
                                    ElementFormat::Kind::binary64) {
        throw_python_error(PyExc_TypeError, std::string(what) + " must be a 1-D float64 array");
    }
    const auto* first = static_cast<const double*>(view.get().buf);
    return std::vector<double>(first, first + view.length());
}

Buffer int64_buffer(PyObject* object, const char* what, bool writable) {
    Buffer view = Buffer::acquire(
        object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0));
    const ElementFormat format = element_format(view, what);
    if (view.get().ndim != 1 || format.kind != ElementFormat::Kind::signed_integer ||
        format.size != 8) {
        throw_python_error(PyExc_TypeError, std::string(what) + " must be a 1-D int64 array");
    }
    return view;
}

std::size_t output_count(PyObject* names, PyObject* outputs) {
    const Py_ssize_t count = PyTuple_Size(names);
    if (count < 0 || PyTuple_Size(outputs) != count) {
        throw_python_error(PyExc_TypeError, "columns and outputs must be tuples of one length");
    }
    return static_cast<std::size_t>(count);
}

std::string_view name_at(PyObject* names, std::size_t i) {
    PyObject* name = PyTuple_GetItem(names, static_cast<Py_ssize_t>(i));
    Py_ssize_t size = 0;
    const char* text = name == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        throw_pending_error();
    }
    return {text, static_cast<std::size_t>(size)};
}

void throw_unknown_measure(std::string_view name) {
    throw_python_error(PyExc_ValueError, "unknown measure '" + std::string(name) + "'");
}

void throw_output_misfit(std::string_view name, const char* expected) {
    throw_python_error(PyExc_TypeError, "output for '" + std::string(name) + "' must be " +
                                            expected + " of one value per word");
}

}  // namespace lexispan::binding::table
