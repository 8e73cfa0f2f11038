// The lexispan module's error mapping beyond the shared boundary.
#include "binding/errors.hpp"

#include <string>
#include <utility>

namespace lexispan::binding {

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

}  // namespace lexispan::binding
