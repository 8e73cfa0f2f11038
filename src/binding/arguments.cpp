// Binding of call arguments and the value conversions in both directions.
#include "binding/arguments.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "binding/errors.hpp"

namespace lexispan::binding {

namespace {

// The reported length of a sequence is only a hint: a lying __len__ (2**62,
// or one that raises) must neither fail the conversion nor reserve memory
// the items will never fill.
constexpr Py_ssize_t max_reserved_items = 1 << 16;

[[noreturn]] void throw_binding_error(const std::string& message) {
    throw_python_error(PyExc_TypeError, message);
}

std::string quoted_name_list(const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list += names.size() > 2 ? ", " : " ";
            if (i + 1 == names.size()) {
                list += "and ";
            }
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

void check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        throw_binding_error("Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(object)) {
        throw_binding_error("'" + type_qualname(object) +
                            "' object cannot be converted to 'Sequence'");
    }
}

std::size_t reservation_hint(PyObject* object) noexcept {
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(length, max_reserved_items));
}

// Calls convert_item(item) for every item the object yields, in order.
// Exact lists and tuples are walked by index, exactly as their iterators
// walk them (the length is read again before every item), but without
// allocating an iterator.
template <class ConvertItem>
void for_each_item(PyObject* object, ConvertItem&& convert_item) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        const bool list = PyList_CheckExact(object);
        for (Py_ssize_t i = 0; i < (list ? PyList_Size(object) : PyTuple_Size(object)); ++i) {
            // A strong reference: converting the item may shrink the list.
            PyRef item = PyRef::borrow(list ? PyList_GetItem(object, i)
                                            : PyTuple_GetItem(object, i));
            if (!item) {
                throw_pending_error();
            }
            convert_item(item.get());
        }
        return;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        throw_pending_error();
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        convert_item(item.get());
    }
    if (PyErr_Occurred() != nullptr) {
        throw PythonErrorSet{};
    }
}

}  // namespace

std::vector<PyRef> bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const std::size_t count = signature.parameters.size();
    const std::string function = std::string(signature.function) + "()";
    std::vector<PyRef> slots(count);

    const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
    if (given < 0) {
        throw_pending_error();
    }
    const auto positional = static_cast<std::size_t>(given);
    if (positional > count) {
        throw_binding_error(function + " takes " + std::to_string(count) +
                            " positional arguments but " + std::to_string(positional) +
                            (positional == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < positional; ++i) {
        slots[i] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            // Only the C API can pass a key that is not a str; never look
            // inside one as if it were.
            if (!PyUnicode_Check(key)) {
                throw_binding_error(function + " keywords must be strings");
            }
            // Compared as str, never encoded: a key holding a lone surrogate
            // simply names no parameter.
            const auto match = std::find_if(
                signature.parameters.begin(), signature.parameters.end(),
                [&](const char* parameter) {
                    return PyUnicode_CompareWithASCIIString(key, parameter) == 0;
                });
            if (match == signature.parameters.end()) {
                const PyRef message = PyRef::steal(PyUnicode_FromFormat(
                    "%s got an unexpected keyword argument '%U'", function.c_str(), key));
                if (message) {
                    PyErr_SetObject(PyExc_TypeError, message.get());
                }
                throw PythonErrorSet{};
            }
            PyRef& slot = slots[static_cast<std::size_t>(match - signature.parameters.begin())];
            if (slot) {
                throw_binding_error(function + " got multiple values for argument '" +
                                    std::string(*match) + "'");
            }
            slot = PyRef::borrow(value);
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (!slots[i]) {
            missing.push_back(signature.parameters[i]);
        }
    }
    if (!missing.empty()) {
        throw_binding_error(function + " missing " + std::to_string(missing.size()) +
                            " required positional " +
                            (missing.size() == 1 ? "argument" : "arguments") + ": " +
                            quoted_name_list(missing));
    }
    return slots;
}

double to_double(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        throw PythonErrorSet{};
    }
    return value;
}

std::vector<double> to_vector(PyObject* object) {
    check_sequence(object);
    if (std::optional<NumericBuffer> buffer = numeric_buffer(object, 1)) {
        std::vector<double> values(buffer->count());
        read_elements(buffer->data, buffer->format, values.size(), values.data());
        return values;
    }
    std::vector<double> values;
    values.reserve(reservation_hint(object));
    for_each_item(object, [&](PyObject* item) { values.push_back(to_double(item)); });
    return values;
}

MatrixRows to_matrix(PyObject* object, bool in_place) {
    check_sequence(object);
    if (std::optional<NumericBuffer> buffer = numeric_buffer(object, 2)) {
        const std::size_t rows = buffer->rows;
        const std::size_t columns = buffer->columns;
        const bool aligned =
            reinterpret_cast<std::uintptr_t>(buffer->data) % alignof(double) == 0;
        if (in_place && aligned && buffer->format.is_native_double()) {
            const auto* data = reinterpret_cast<const double*>(buffer->data);
            return MatrixRows(std::move(buffer->view), data, rows, columns);
        }
        // Every element is written by read_elements: no zeroing first.
        auto values = std::make_unique_for_overwrite<double[]>(buffer->count());
        read_elements(buffer->data, buffer->format, buffer->count(), values.get());
        return MatrixRows(std::move(values), rows, columns);
    }
    std::vector<std::vector<double>> rows;
    rows.reserve(reservation_hint(object));
    for_each_item(object, [&](PyObject* item) { rows.push_back(to_vector(item)); });
    return MatrixRows(std::move(rows));
}

bool double_conversion_runs_no_python_code(PyObject* object) {
    return PyFloat_CheckExact(object) || PyLong_CheckExact(object);
}

bool vector_conversion_runs_no_python_code(PyObject* object) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        const bool list = PyList_CheckExact(object);
        const Py_ssize_t size = list ? PyList_Size(object) : PyTuple_Size(object);
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i);
            if (!double_conversion_runs_no_python_code(item)) {
                return false;
            }
        }
        return true;
    }
    return numeric_buffer(object, 1).has_value();
}

MatrixRows::MatrixRows(std::vector<std::vector<double>> rows) : owned_(std::move(rows)) {}

MatrixRows::MatrixRows(std::unique_ptr<double[]> values, std::size_t rows, std::size_t columns)
    : values_(std::move(values)), contiguous_(std::in_place, values_.get(), rows, columns) {}

MatrixRows::MatrixRows(Buffer view, const double* data, std::size_t rows,
                       std::size_t columns)
    : view_(std::move(view)), contiguous_(std::in_place, data, rows, columns) {}

void MatrixRows::release() noexcept {
    contiguous_.reset();
    view_ = Buffer();
    values_.reset();
    owned_ = OwnedRows({});
}

RowSource& MatrixRows::rows() noexcept {
    return contiguous_ ? static_cast<RowSource&>(*contiguous_) : owned_;
}

const RowSource& MatrixRows::rows() const noexcept {
    return contiguous_ ? static_cast<const RowSource&>(*contiguous_) : owned_;
}

std::string to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        throw_binding_error("'" + type_qualname(object) +
                            "' object cannot be converted to 'PyString'");
    }
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(object));
    if (!encoded) {
        throw_pending_error();
    }
    const char* data = PyBytes_AsString(encoded.get());
    const Py_ssize_t size = PyBytes_Size(encoded.get());
    if (data == nullptr || size < 0) {
        throw_pending_error();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

PyRef to_python(double value) {
    PyRef result = PyRef::steal(PyFloat_FromDouble(value));
    if (!result) {
        throw_api_call_failed();
    }
    return result;
}

PyRef to_python(std::optional<double> value) {
    if (!value) {
        return PyRef::borrow(Py_None);
    }
    return to_python(*value);
}

PyRef to_python(std::int32_t value) {
    PyRef result = PyRef::steal(PyLong_FromLong(value));
    if (!result) {
        throw_api_call_failed();
    }
    return result;
}

PyRef to_python(const std::vector<double>& values) {
    return list_of(values, [](double value) { return to_python(value); });
}

std::string type_qualname(PyObject* object) {
    constexpr const char* unknown = "<failed to extract type name>";
    PyRef type = PyRef::steal(PyObject_Type(object));
    static PyObject* key = nullptr;
    PyObject* const attribute = interned("__qualname__", key);
    PyRef name = type && attribute != nullptr
                     ? PyRef::steal(PyObject_GetAttr(type.get(), attribute))
                     : PyRef();
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return unknown;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return unknown;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace lexispan::binding
