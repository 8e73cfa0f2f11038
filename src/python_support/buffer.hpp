// Exported buffers as both extension modules read them: one owned view type
// and one parser of the element format.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "analyzer/profile/numeric_elements.hpp"
#include "python_support/python.hpp"

namespace lexispan::binding {

// An exported view of an object, released (with the interpreter lock held)
// when this goes. The Py_buffer sits on the heap: some exporters point its
// `shape` at its own `len`, so the struct itself must never move.
class Buffer {
public:
    Buffer() noexcept = default;
    // A view of `object` for `flags` (PyBUF_*); raises the exporter's error.
    [[nodiscard]] static Buffer acquire(PyObject* object, int flags);
    // The same, or an empty Buffer when the object refuses one (that error
    // is cleared).
    [[nodiscard]] static Buffer try_acquire(PyObject* object, int flags);

    [[nodiscard]] const Py_buffer& get() const noexcept { return *view_; }
    // The number of elements.
    [[nodiscard]] std::size_t length() const noexcept {
        return static_cast<std::size_t>(view_->len / view_->itemsize);
    }
    explicit operator bool() const noexcept { return view_ != nullptr; }

private:
    // A view, or an empty Buffer with the exporter's error set.
    [[nodiscard]] static Buffer export_view(PyObject* object, int flags);

    struct Release {
        void operator()(Py_buffer* view) const noexcept;
    };
    std::unique_ptr<Py_buffer, Release> view_;
};

// What a reader of elements accepts beyond one native-order numeric element.
struct FormatRules {
    bool standard_sizes = false;  // the '=', '<', '>', '!' prefixes
    bool byte_swapped = false;    // elements in the other byte order
    bool boolean = false;         // '?', read as an unsigned byte
};

// The element of `view` when its format is one numeric element in
// struct-module notation (an optional byte-order prefix and one type code)
// whose size is the view's itemsize; nullopt otherwise. Repeat counts, char,
// half, long double, complex, pointers, objects and records are always
// refused, as is whatever `rules` does not allow.
[[nodiscard]] std::optional<ElementFormat> parse_element_format(const Py_buffer& view,
                                                                FormatRules rules) noexcept;

}  // namespace lexispan::binding
