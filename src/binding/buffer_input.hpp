// Numeric input read straight from an exported buffer (NumPy arrays,
// array.array, memoryview, bytes, bytearray) instead of item by item.
#pragma once

#include <cstddef>
#include <optional>

#include "python_support/buffer.hpp"

namespace lexispan::binding {

// A C-contiguous numeric buffer whose elements, read directly, are exactly
// the doubles that iterating over the object and converting every item
// would give.
struct NumericBuffer {
    Buffer view;
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

}  // namespace lexispan::binding
