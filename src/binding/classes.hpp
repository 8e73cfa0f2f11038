// Creating the module's classes from type specs, and the instance layout
// both classes share.
#pragma once

#include <new>
#include <utility>
#include <vector>

#include "binding/borrow.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

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
    std::vector<PyType_Slot> own_slots;
};

// Creates the class and stores it in `cache` (callers return the cached
// object when there is one, so a class is created once per process). A failure is raised as RuntimeError "An error
// occurred while initializing class {}" caused by the interpreter's error.
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

template <class F>
[[nodiscard]] PyCFunction as_cfunction(F function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace lexispan::binding
