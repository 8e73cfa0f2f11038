// Direct reads of numeric buffers, limited to exporters whose items are
// known to convert to exactly the values stored in their buffer.
#include "binding/buffer_input.hpp"

#include <utility>

#include "python_support/py_ref.hpp"

namespace lexispan::binding {

namespace {

// What the item-by-item conversion does with an exporter's items decides
// whether its buffer may be read instead.
struct Exporter {
    int max_ndim = 0;             // 0: never read the buffer
    bool standard_sizes = false;  // accepts '<', '>', '!', '=' formats
};

bool type_is_named(PyTypeObject* type, const char* module, const char* name) {
    // Only types created in C can be immutable, and with the plain metatype
    // reading their name runs no Python code: a Python class that calls
    // itself numpy.ndarray does not get in.
    if (Py_TYPE(reinterpret_cast<PyObject*>(type)) != &PyType_Type ||
        (PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) == 0) {
        return false;
    }
    PyRef type_name = PyRef::steal(PyType_GetName(type));
    PyRef module_name =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    const bool match = type_name && module_name && PyUnicode_Check(module_name.get()) &&
                       PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0 &&
                       PyUnicode_CompareWithASCIIString(module_name.get(), module) == 0;
    PyErr_Clear();
    return match;
}

// Exact types only: a subclass may iterate differently from its buffer
// (numpy.matrix yields 2-D rows, a masked array yields `masked`).
Exporter exporter_of(PyObject* object) {
    if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object)) {
        return {1, false};
    }
    if (Py_IS_TYPE(object, &PyMemoryView_Type)) {
        // Iterating a memoryview handles one dimension and native formats
        // only; anything else must keep raising the interpreter's error.
        return {1, false};
    }
    if (!PyObject_CheckBuffer(object)) {
        return {};
    }
    PyTypeObject* type = Py_TYPE(object);
    if (type_is_named(type, "numpy", "ndarray")) {
        return {2, true};
    }
    if (type_is_named(type, "array", "array")) {
        return {1, false};
    }
    return {};
}

// Strides of dimensions with one element (or of an empty view) say nothing.
bool is_c_contiguous(const Py_buffer& view) {
    if (view.len == 0 || view.strides == nullptr) {
        return true;
    }
    Py_ssize_t expected = view.itemsize;
    for (int i = view.ndim - 1; i >= 0; --i) {
        if (view.shape[i] > 1 && view.strides[i] != expected) {
            return false;
        }
        expected *= view.shape[i];
    }
    return true;
}

}  // namespace

std::optional<NumericBuffer> numeric_buffer(PyObject* object, int ndim) {
    const Exporter exporter = exporter_of(object);
    if (ndim < 1 || ndim > exporter.max_ndim) {
        return std::nullopt;
    }
    Buffer view = Buffer::try_acquire(object, PyBUF_RECORDS_RO);
    if (!view) {
        return std::nullopt;
    }
    const Py_buffer& raw = view.get();
    if (raw.ndim != ndim || raw.shape == nullptr || raw.suboffsets != nullptr ||
        !is_c_contiguous(raw)) {
        return std::nullopt;
    }
    // Iteration converts swapped elements exactly as it converts native ones;
    // a bool item converts by truth, not by its byte.
    const std::optional<ElementFormat> format =
        parse_element_format(raw, {.standard_sizes = exporter.standard_sizes,
                                   .byte_swapped = true,
                                   .boolean = false});
    if (!format) {
        return std::nullopt;
    }
    NumericBuffer buffer;
    buffer.format = *format;
    buffer.data = static_cast<const std::byte*>(raw.buf);
    buffer.rows = ndim == 2 ? static_cast<std::size_t>(raw.shape[0]) : 1;
    buffer.columns = static_cast<std::size_t>(raw.shape[ndim - 1]);
    buffer.view = std::move(view);
    return buffer;
}

}  // namespace lexispan::binding
