// Creating the module's classes from type specs, and the instance layout
// both classes share.
#pragma once

#include <new>
#include <span>
#include <utility>

#include "binding/borrow.hpp"
#include "binding/errors.hpp"
#include "python_support/py_ref.hpp"

namespace lexispan::binding {

// Header, then the owned value, then the borrow flag.
template <class Value>
struct Instance {
    PyObject ob_base;
    Value value;
    BorrowFlag borrow_flag;
};

template <class Value>
[[nodiscard]] Instance<Value>& instance_of(PyObject* object) noexcept {
    return *reinterpret_cast<Instance<Value>*>(object);
}

struct ClassDescription {
    const char* name;             // bare: no module prefix
    const char* text_signature;   // or nullptr
    const char* description;      // or "" for no docstring
    int basic_size;
    newfunc constructor;          // or nullptr for "No constructor defined for ..."
    destructor dealloc;
    PyMethodDef* methods;         // or nullptr
    PyGetSetDef* getset;          // or nullptr
    std::span<const PyType_Slot> own_slots;  // without the terminating {0, nullptr}
};

// The class cached in `cache`, created and stored there on the first call, so
// that it is made once per process. A failure to create it is raised as
// RuntimeError "An error occurred while initializing class {}" caused by the
// interpreter's error.
[[nodiscard]] PyObject* class_object(PyObject*& cache, const ClassDescription& description);

template <class F>
[[nodiscard]] F type_slot(PyTypeObject* type, int slot) noexcept {
    return reinterpret_cast<F>(PyType_GetSlot(type, slot));
}

// A new instance of `type` owning `value`; on failure the value is released
// and the interpreter's error raised.
template <class Value>
[[nodiscard]] PyRef make_instance(PyObject* type, Value&& value) {
    auto* type_object = reinterpret_cast<PyTypeObject*>(type);
    const auto allocate = type_slot<allocfunc>(type_object, Py_tp_alloc);
    PyRef object = PyRef::steal(allocate(type_object, 0));
    if (!object) {
        throw_pending_error();
    }
    Instance<std::decay_t<Value>>& instance = instance_of<std::decay_t<Value>>(object.get());
    new (&instance.value) std::decay_t<Value>(std::forward<Value>(value));
    new (&instance.borrow_flag) BorrowFlag(0);
    return object;
}

// The dealloc slot: releases the value, frees the memory, and drops the
// reference to the class that the instance took when it was allocated.
template <class Value>
void dealloc_instance(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    Instance<Value>& instance = instance_of<Value>(object);
    instance.value.~Value();
    instance.borrow_flag.~BorrowFlag();
    type_slot<freefunc>(type, Py_tp_free)(object);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// The entry of a method, getter or slot on an instance: takes shared or
// exclusive access (SharedAccess, ExclusiveAccess) to the instance's value
// for the run of body(value), which returns a PyRef, and maps its failures
// at the boundary. The interpreter has already checked that `self` is an
// instance of the class the entry belongs to.
template <class Value, class Access, class Body>
[[nodiscard]] PyObject* with_access(PyObject* self, Body&& body) noexcept {
    return boundary([&] {
        Instance<Value>& instance = instance_of<Value>(self);
        const Access access(self, instance.borrow_flag);
        return body(instance.value);
    });
}

template <class F>
[[nodiscard]] PyCFunction as_cfunction(F function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace lexispan::binding
