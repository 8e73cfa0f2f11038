// Failure mapping at the edge of every entry point: the only place where C++
// exceptions stop.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "analyzer/profile/measure_result.hpp"
#include "binding/py_ref.hpp"

namespace lexispan::binding {

// Thrown after a Python exception has been set; the boundary passes it on.
struct PythonErrorSet {};

// A broken invariant inside the module; raised in Python as PanicException.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The interpreter's pending exception taken out of its error indicator, so
// that more API calls can be made while it waits; put back by restore() or
// dropped with the object. Owns its three references.
class PendingError {
public:
    PendingError() noexcept = default;
    // Takes the pending exception, normalised, out of the indicator; an empty
    // object when none is pending.
    [[nodiscard]] static PendingError fetch() noexcept;

    // Sets it as the pending exception again, leaving this object empty.
    void restore() noexcept;
    // The exception's class and instance; null when empty.
    [[nodiscard]] PyObject* type() const noexcept { return type_.get(); }
    [[nodiscard]] PyObject* value() const noexcept { return value_.get(); }
    // Hands the instance to the caller, dropping the rest.
    [[nodiscard]] PyRef take_value() noexcept;
    explicit operator bool() const noexcept { return static_cast<bool>(type_); }

private:
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

// Sets `type` with `message` (any bytes, UTF-8) and throws PythonErrorSet.
[[noreturn]] void throw_python_error(PyObject* type, std::string_view message);
// Throws PythonErrorSet if the interpreter has an error pending; a null
// result with no error set is an internal failure.
[[noreturn]] void throw_pending_error();
// ValueError carrying exactly the measure's message.
[[noreturn]] void throw_measure_error(const MeasureError& error);
// A result object the interpreter failed to create: print its error and
// raise PanicException "Python API call failed".
[[noreturn]] void throw_api_call_failed();

// Makes `cause` the __cause__ of the pending exception (normalising it).
void attach_cause(PyRef cause) noexcept;

// A pending exception that is exactly TypeError is replaced by TypeError
// "argument '{name}': {text}" with the same __cause__; any other is left as
// it is.
void prefix_type_error(const char* name) noexcept;

// Raises RuntimeError "An error occurred while initializing class {name}"
// caused by the pending exception.
[[noreturn]] void throw_class_creation_failed(const char* name);

// Sets PanicException (created once per process) with `message`; aborts the
// process when even that fails.
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
