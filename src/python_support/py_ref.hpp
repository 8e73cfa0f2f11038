// An owned (strong) reference to a Python object (borrowed references stay
// raw PyObject*), and the process-wide interned strs.
#pragma once

#include <utility>

#include "python_support/python.hpp"

namespace lexispan::binding {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null).
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
        if (object != nullptr) {
            Py_IncRef(object);
        }
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { reset(); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    void reset() noexcept {
        if (object_ != nullptr) {
            Py_DecRef(std::exchange(object_, nullptr));
        }
    }

    PyObject* object_ = nullptr;
};

// `text` as an interned str, created on first use and kept in `cache` for the
// process; null with the interpreter's error set if it cannot be made. Looking
// an attribute up by a fresh str on every call would leave each of those strs
// behind in the interpreter's type-attribute cache.
[[nodiscard]] inline PyObject* interned(const char* text, PyObject*& cache) noexcept {
    if (cache == nullptr) {
        cache = PyUnicode_InternFromString(text);
    }
    return cache;
}

}  // namespace lexispan::binding
