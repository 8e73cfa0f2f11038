// PanicException and the helpers that set Python errors.
#include "binding/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace lexispan::binding {

namespace {

constexpr const char* panic_doc =
    "Raised when native code called from Python fails.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it will typically "
    "propagate all the way through the stack and end the interpreter.";

constexpr const char* panic_without_text = "native code failed without a message";

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// Created on first use, kept for the process; not a module attribute.
PyObject* panic_exception_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("lexispan.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void throw_python_error(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
    throw PythonErrorSet{};
}

void throw_pending_error() {
    if (PyErr_Occurred() == nullptr) {
        throw InternalFailure("a Python API call failed without setting an exception");
    }
    throw PythonErrorSet{};
}

void throw_measure_error(const MeasureError& error) {
    throw_python_error(PyExc_ValueError, error.message);
}

void throw_api_call_failed() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    throw InternalFailure("Python API call failed");
}

PendingError PendingError::fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
    }
    PendingError error;
    error.type_ = PyRef::steal(type);
    error.value_ = PyRef::steal(value);
    error.traceback_ = PyRef::steal(traceback);
    return error;
}

void PendingError::restore() noexcept {
    // PyErr_Restore steals all three.
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyRef PendingError::take_value() noexcept {
    type_ = PyRef();
    traceback_ = PyRef();
    return std::move(value_);
}

void attach_cause(PyRef cause) noexcept {
    if (!cause) {
        return;
    }
    PendingError error = PendingError::fetch();
    if (error.value() != nullptr) {
        PyException_SetCause(error.value(), cause.release());  // steals the cause
    }
    error.restore();
}

void prefix_type_error(const char* name) noexcept {
    PendingError error = PendingError::fetch();
    if (error.type() != PyExc_TypeError) {
        error.restore();
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(error.value()));
    if (!text) {
        // An argument of the TypeError whose __str__ fails must not turn
        // the conversion failure into that other error.
        PyErr_Clear();
        text = PyRef::steal(PyUnicode_FromString("<unprintable TypeError object>"));
        if (!text) {
            return;
        }
    }
    PyRef cause = PyRef::steal(PyException_GetCause(error.value()));
    // Joined as str, not as UTF-8: the text may hold a lone surrogate.
    PyRef renamed = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!renamed) {
        return;
    }
    PyErr_SetObject(PyExc_TypeError, renamed.get());
    attach_cause(std::move(cause));
}

void throw_class_creation_failed(const char* name) {
    PyRef cause = PendingError::fetch().take_value();
    const std::string message = std::string("An error occurred while initializing class ") + name;
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
        PyErr_SetObject(PyExc_RuntimeError, text.get());
        attach_cause(std::move(cause));
    }
    throw PythonErrorSet{};
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        abort_at_boundary();
    }
    const char* text = message != nullptr && *message != '\0' ? message : panic_without_text;
    // Exception texts from the C++ library need not be valid UTF-8.
    PyObject* value = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)),
                                           "replace");
    if (value == nullptr) {
        abort_at_boundary();
    }
    PyErr_SetObject(type, value);
    Py_DecRef(value);
}

}  // namespace lexispan::binding
