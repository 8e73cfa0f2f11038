// Numeric input read straight from an exported buffer (NumPy arrays,
// array.array, memoryview, bytes, bytearray) instead of item by item.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "analyzer/profile/numeric_elements.hpp"
#include "binding/python.hpp"

namespace lexispan::binding {

// An exported view of an object, released (with the interpreter lock held)
// when this goes. The Py_buffer sits on the heap: some exporters point its
// `shape` at its own `len`, so the struct itself must never move.
class BufferView {
public:
    BufferView() noexcept = default;
    // A strided, formatted, read-only view of `object`, or an empty
    // BufferView when the object refuses one (that error is cleared).
    [[nodiscard]] static BufferView acquire(PyObject* object);

    [[nodiscard]] const Py_buffer& get() const noexcept { return *view_; }
    explicit operator bool() const noexcept { return view_ != nullptr; }

private:
    struct Release {
        void operator()(Py_buffer* view) const noexcept;
    };
    std::unique_ptr<Py_buffer, Release> view_;
};

using lexispan::ElementFormat;

// A C-contiguous numeric buffer whose elements, read directly, are exactly
// the doubles that iterating over the object and converting every item
// would give.
struct NumericBuffer {
    BufferView view;
    ElementFormat format;
    const std::byte* data = nullptr;  // not necessarily aligned
    std::size_t rows = 1;             // 1 for a one-dimensional buffer
    std::size_t columns = 0;

    [[nodiscard]] std::size_t count() const noexcept { return rows * columns; }
};

// The buffer of `object` when it has `ndim` dimensions and reading it gives
// the same result as the item-by-item conversion; nullopt for everything
// that must take that path (other exporters, subclasses, non-contiguous
// views, unsupported formats, another number of dimensions). Runs no
// Python code and leaves no error set.
[[nodiscard]] std::optional<NumericBuffer> numeric_buffer(PyObject* object, int ndim);

using lexispan::read_elements;

}  // namespace lexispan::binding
