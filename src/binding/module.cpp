// Module initialisation: creates the module and registers the two classes.
#include "binding/analyzer_type.hpp"
#include "binding/errors.hpp"
#include "binding/metrics_type.hpp"
#include "python_support/py_ref.hpp"

namespace lexispan::binding {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "lexispan",
    "Python module definition",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set only by a successful initialisation; the module's classes and caches
// are process-wide, so a second module object must not be made.
PyObject* initialised_module = nullptr;

// Appends the class name to __all__ (creating the list if needed) and sets
// the attribute.
void register_class(PyObject* module, const char* name, PyObject* cls) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            throw_pending_error();
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0 ||
        PyObject_SetAttrString(module, name, cls) != 0) {
        throw_pending_error();
    }
}

PyObject* initialise() noexcept {
    return boundary([]() -> PyRef {
        if (initialised_module != nullptr) {
            throw_python_error(PyExc_ImportError,
                               "lexispan may only be initialized once per interpreter process");
        }
        PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 3));
        if (!module) {
            throw_pending_error();
        }
        register_class(module.get(), "CorpusWordAnalyzer", analyzer_class());
        register_class(module.get(), "DispersionMetrics", metrics_class());
        initialised_module = PyRef::borrow(module.get()).release();  // kept for the process
        return module;
    });
}

}  // namespace

}  // namespace lexispan::binding

PyMODINIT_FUNC PyInit_lexispan(void) { return lexispan::binding::initialise(); }
