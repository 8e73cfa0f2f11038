// The exception boundary of every entry point of both extension modules: the
// only place where C++ exceptions stop, and the helpers that raise Python
// errors on the way to it.
#pragma once

#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "analyzer/profile/measure_result.hpp"
#include "python_support/py_ref.hpp"

namespace lexispan::binding {

// Thrown after a Python exception has been set; the boundary passes it on.
struct PythonErrorSet {};

// A broken invariant inside the module; raised in Python as PanicException.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Sets `type` with `message` (any bytes, UTF-8) and throws PythonErrorSet.
[[noreturn]] void throw_python_error(PyObject* type, std::string_view message);
// Throws PythonErrorSet if the interpreter has an error pending; a null
// result with no error set is an internal failure.
[[noreturn]] void throw_pending_error();
// ValueError carrying exactly the measure's message.
[[noreturn]] void throw_measure_error(const MeasureError& error);

// Sets PanicException (created once per process and module) with `message`;
// aborts the process when even that fails.
void raise_panic(const char* message) noexcept;

template <class T>
T unwrap(Result<T>&& result) {
    if (!result.ok()) {
        throw_measure_error(result.error());
    }
    return std::move(result).value();
}

// Runs `body` (returning a PyRef) and maps every failure: Python error set
// -> passed on; std::bad_alloc -> MemoryError; anything else ->
// PanicException. Returns a new reference or null.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
        return nullptr;
    } catch (...) {
        raise_panic(nullptr);
        return nullptr;
    }
}

}  // namespace lexispan::binding
