// Direct reads of numeric buffers, limited to exporters whose items are
// known to convert to exactly the values stored in their buffer.
#include "binding/buffer_input.hpp"

#include <cstdint>
#include <type_traits>

#include "binding/py_ref.hpp"

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

// A format of one numeric element in struct-module notation: an optional
// byte-order prefix and one type code. Repeat counts, bool, char, half,
// long double, complex, pointers, objects and records are refused.
std::optional<ElementFormat> parse_format(const char* format, Py_ssize_t itemsize,
                                          bool standard_sizes) {
    if (format == nullptr) {
        format = "B";
    }
    bool standard = false;
    bool big_endian = std::endian::native == std::endian::big;
    switch (*format) {
        case '@':
            ++format;
            break;
        case '=':
            standard = true;
            ++format;
            break;
        case '<':
            standard = true;
            big_endian = false;
            ++format;
            break;
        case '>':
        case '!':
            standard = true;
            big_endian = true;
            ++format;
            break;
        default:
            break;
    }
    if (standard && !standard_sizes) {
        return std::nullopt;
    }
    if (format[0] == '\0' || format[1] != '\0') {
        return std::nullopt;
    }
    using Kind = ElementFormat::Kind;
    ElementFormat element;
    switch (format[0]) {
        case 'b': element = {Kind::signed_integer, 1}; break;
        case 'B': element = {Kind::unsigned_integer, 1}; break;
        case 'h': element = {Kind::signed_integer, standard ? 2 : sizeof(short)}; break;
        case 'H': element = {Kind::unsigned_integer, standard ? 2 : sizeof(short)}; break;
        case 'i': element = {Kind::signed_integer, standard ? 4 : sizeof(int)}; break;
        case 'I': element = {Kind::unsigned_integer, standard ? 4 : sizeof(int)}; break;
        case 'l': element = {Kind::signed_integer, standard ? 4 : sizeof(long)}; break;
        case 'L': element = {Kind::unsigned_integer, standard ? 4 : sizeof(long)}; break;
        case 'q': element = {Kind::signed_integer, standard ? 8 : sizeof(long long)}; break;
        case 'Q': element = {Kind::unsigned_integer, standard ? 8 : sizeof(long long)}; break;
        case 'n':
        case 'N':
            if (standard) {
                return std::nullopt;
            }
            element = {format[0] == 'n' ? Kind::signed_integer : Kind::unsigned_integer,
                       sizeof(Py_ssize_t)};
            break;
        case 'f': element = {Kind::binary32, 4}; break;
        case 'd': element = {Kind::binary64, 8}; break;
        default: return std::nullopt;
    }
    if (element.size != 1 && element.size != 2 && element.size != 4 && element.size != 8) {
        return std::nullopt;
    }
    if (itemsize < 0 || static_cast<std::size_t>(itemsize) != element.size) {
        return std::nullopt;
    }
    const bool native_big = std::endian::native == std::endian::big;
    element.byte_swapped = element.size > 1 && big_endian != native_big;
    return element;
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

void BufferView::Release::operator()(Py_buffer* view) const noexcept {
    PyBuffer_Release(view);
    delete view;
}

BufferView BufferView::acquire(PyObject* object) {
    BufferView result;
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(object, view.get(), PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return result;
    }
    result.view_.reset(view.release());
    return result;
}

std::optional<NumericBuffer> numeric_buffer(PyObject* object, int ndim) {
    const Exporter exporter = exporter_of(object);
    if (ndim < 1 || ndim > exporter.max_ndim) {
        return std::nullopt;
    }
    BufferView view = BufferView::acquire(object);
    if (!view) {
        return std::nullopt;
    }
    const Py_buffer& raw = view.get();
    if (raw.ndim != ndim || raw.shape == nullptr || raw.suboffsets != nullptr ||
        !is_c_contiguous(raw)) {
        return std::nullopt;
    }
    const std::optional<ElementFormat> format =
        parse_format(raw.format, raw.itemsize, exporter.standard_sizes);
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
