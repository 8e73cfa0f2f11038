// Numeric elements stored in someone else's memory (array buffers, sparse
// matrix data), widened to doubles the way the interpreter converts items.
#pragma once

#include <cstddef>

namespace lexispan {

// How one element is stored.
struct ElementFormat {
    enum class Kind { signed_integer, unsigned_integer, binary32, binary64 };
    Kind kind = Kind::binary64;
    std::size_t size = 8;
    bool byte_swapped = false;

    [[nodiscard]] bool is_native_double() const noexcept {
        return kind == Kind::binary64 && !byte_swapped;
    }
};

// Widens `count` consecutive elements stored at `source` to doubles at
// `target`. Integers round to nearest, ties to even, as the interpreter's int
// to float conversion does; binary32 widens exactly (NaN payloads kept).
void read_elements(const std::byte* source, ElementFormat format, std::size_t count,
                   double* target) noexcept;

// The same for `count` elements `stride` bytes apart (the stride may be
// negative or zero).
void read_strided_elements(const std::byte* source, ElementFormat format, std::size_t count,
                           std::ptrdiff_t stride, double* target) noexcept;

// One element.
[[nodiscard]] double read_element(const std::byte* source, ElementFormat format) noexcept;

}  // namespace lexispan
