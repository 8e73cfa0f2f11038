// Argument binding, conversions between Python values and native ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

namespace lexispan::binding {

struct Signature {
    const char* function;  // as named in messages, without "()"
    std::span<const char* const> parameters;
};

// Binds positional and keyword arguments to the required parameters of
// `signature`; every slot of the result is filled (owned references), or
// TypeError is raised with the interpreter's usual wording.
[[nodiscard]] std::vector<PyRef> bind_arguments(const Signature& signature, PyObject* args,
                                                PyObject* kwargs);

[[nodiscard]] double to_double(PyObject* object);
[[nodiscard]] std::vector<double> to_vector(PyObject* object);
[[nodiscard]] std::vector<std::vector<double>> to_matrix(PyObject* object);
[[nodiscard]] std::string to_text(PyObject* object);

// Runs a conversion of parameter `name`; a failure that is exactly TypeError
// is re-raised as "argument '{name}': {text}", keeping its __cause__.
template <class Convert>
[[nodiscard]] auto argument(const char* name, Convert&& convert, PyObject* object)
    -> decltype(convert(object));

void prefix_type_error(const char* name);

template <class Convert>
auto argument(const char* name, Convert&& convert, PyObject* object) -> decltype(convert(object)) {
    try {
        return convert(object);
    } catch (const PythonErrorSet&) {
        prefix_type_error(name);
        throw;
    }
}

[[nodiscard]] PyRef to_python(double value);
[[nodiscard]] PyRef to_python(std::optional<double> value);
[[nodiscard]] PyRef to_python(std::int32_t value);
[[nodiscard]] PyRef to_python(const std::vector<double>& values);

// The `__qualname__` of the object's type, or a stand-in when unreadable.
[[nodiscard]] std::string type_qualname(PyObject* object);

// `text` as an interned str, created on first use and kept in `cache` for the
// process; null with the interpreter's error set if it cannot be made. Looking
// an attribute up by a fresh str on every call would leave each of those strs
// behind in the interpreter's type-attribute cache.
[[nodiscard]] PyObject* interned(const char* text, PyObject*& cache) noexcept;

}  // namespace lexispan::binding
