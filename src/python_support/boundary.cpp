// PanicException and the helpers that set Python errors.
#include "python_support/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
