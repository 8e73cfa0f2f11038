// Class creation from type descriptions and the constructor of classes without one.
#include "binding/classes.hpp"

#include <string>
#include <utility>
#include <vector>

namespace lexispan::binding {

namespace {

// The __new__ slot of a class that has no constructor; accepts anything.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return boundary([&]() -> PyRef {
        std::string name = "<unknown>";
        static PyObject* key = nullptr;
        PyObject* const name_key = interned("__name__", key);
        PyRef attribute =
            name_key != nullptr
                ? PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name_key))
                : PyRef();
        Py_ssize_t size = 0;
        const char* data = attribute && PyUnicode_Check(attribute.get())
                               ? PyUnicode_AsUTF8AndSize(attribute.get(), &size)
                               : nullptr;
        if (data != nullptr) {
            name.assign(data, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
        throw_python_error(PyExc_TypeError, "No constructor defined for " + name);
    });
}

// PyType_FromSpec with the DeprecationWarning that the interpreter gives for
// a bare class name ignored: under `-W error` (or a test suite's
// `filterwarnings = error`) that warning would fail the import. Nothing else
// is filtered, and the filters are restored afterwards. A new reference, or
// null with the error set.
PyObject* type_quietly(PyType_Spec& shape) noexcept {
    const PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
    const PyRef manager = warnings ? PyRef::steal(PyObject_CallMethod(
                                         warnings.get(), "catch_warnings", nullptr))
                                   : PyRef();
    const PyRef entered =
        manager ? PyRef::steal(PyObject_CallMethod(manager.get(), "__enter__", nullptr)) : PyRef();
    if (!entered) {
        return nullptr;
    }
    const PyRef filtered = PyRef::steal(PyObject_CallMethod(
        warnings.get(), "filterwarnings", "ssO", "ignore",
        "builtin type .* has no __module__ attribute", PyExc_DeprecationWarning));
    PyRef created = filtered ? PyRef::steal(PyType_FromSpec(&shape)) : PyRef();

    PendingError failure = PendingError::fetch();
    const PyRef exited = PyRef::steal(
        PyObject_CallMethod(manager.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!created || exited) {
        PyErr_Clear();
        failure.restore();
        return created.release();
    }
    return nullptr;  // the filters could not be restored: fail with that error
}

}  // namespace

PyObject* class_object(PyObject*& cache, const ClassDescription& description) {
    if (cache != nullptr) {
        return cache;
    }
    // The interpreter copies the docstring and the slot list, but keeps
    // pointing at the name and the method and attribute tables, which are
    // therefore static.
    std::string doc = description.text_signature != nullptr
                          ? std::string(description.name) + description.text_signature +
                                "\n--\n\n" + description.description
                          : std::string(description.description);
    std::vector<PyType_Slot> slots;
    if (!doc.empty()) {
        slots.push_back({Py_tp_doc, doc.data()});
    }
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(description.constructor != nullptr
                                                            ? description.constructor
                                                            : no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(description.dealloc)});
    if (description.methods != nullptr) {
        slots.push_back({Py_tp_methods, description.methods});
    }
    if (description.getset != nullptr) {
        slots.push_back({Py_tp_getset, description.getset});
    }
    slots.insert(slots.end(), description.own_slots.begin(), description.own_slots.end());
    slots.push_back({0, nullptr});

    PyType_Spec shape{description.name, description.basic_size, 0, Py_TPFLAGS_DEFAULT,
                      slots.data()};
    PyObject* created = type_quietly(shape);
    if (created == nullptr) {
        throw_class_creation_failed(description.name);
    }
    PyRef type = PyRef::steal(created);
    // A bare name leaves a heap type without __module__, and then help()
    // and inspect, which read it, give up on the class. Say what the
    // interpreter says of a static type with a bare name, so that the
    // class's repr stays "<class 'Name'>".
    const PyRef module_name = PyRef::steal(PyUnicode_FromString("builtins"));
    if (!module_name ||
        PyObject_SetAttrString(type.get(), "__module__", module_name.get()) != 0) {
        throw_class_creation_failed(description.name);
    }
    cache = type.release();  // kept for the rest of the process
    return cache;
}

}  // namespace lexispan::binding
