// The error mapping of the lexispan module beyond the shared boundary: a
// pending exception held aside, the parameter-name rule of conversions, class
// creation failures and result objects the interpreter failed to create.
#pragma once

#include "python_support/boundary.hpp"
#include "python_support/py_ref.hpp"

namespace lexispan::binding {

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

private:
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

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

}  // namespace lexispan::binding
