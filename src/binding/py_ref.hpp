// An owned (strong) reference to a Python object. Borrowed references stay
// raw PyObject*.
#pragma once

#include <utility>

#include "binding/python.hpp"

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

}  // namespace lexispan::binding
