// Element widening for every supported storage format.
#include "analyzer/profile/numeric_elements.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/compiler.hpp"

namespace lexispan {

namespace {

template <class Bits>
Bits load_bits(const std::byte* source, bool swap) noexcept {
    Bits bits;
    std::memcpy(&bits, source, sizeof bits);
    if (swap) {
        bits = byte_swap(bits);
    }
    return bits;
}

// The same hardware conversion that the element types' own conversions use,
// so NaN payloads and roundings agree with the item-by-item path.
template <class Value, class Bits>
void read_as(const std::byte* source, bool swap, std::size_t count, std::ptrdiff_t stride,
             double* target) noexcept {
    static_assert(sizeof(Value) == sizeof(Bits));
    for (std::size_t i = 0; i < count; ++i, source += stride) {
        const Bits bits = load_bits<Bits>(source, swap);
        target[i] = static_cast<double>(std::bit_cast<Value>(bits));
    }
}

void read_any(const std::byte* source, ElementFormat format, std::size_t count,
              std::ptrdiff_t stride, double* target) noexcept {
    using Kind = ElementFormat::Kind;
    const bool swap = format.byte_swapped;
    switch (format.kind) {
        case Kind::binary64:
            read_as<double, std::uint64_t>(source, swap, count, stride, target);
            return;
        case Kind::binary32:
            read_as<float, std::uint32_t>(source, swap, count, stride, target);
            return;
        case Kind::signed_integer:
            switch (format.size) {
                case 1: read_as<std::int8_t, std::uint8_t>(source, swap, count, stride, target); return;
                case 2: read_as<std::int16_t, std::uint16_t>(source, swap, count, stride, target); return;
                case 4: read_as<std::int32_t, std::uint32_t>(source, swap, count, stride, target); return;
                default: read_as<std::int64_t, std::uint64_t>(source, swap, count, stride, target); return;
            }
        case Kind::unsigned_integer:
            switch (format.size) {
                case 1: read_as<std::uint8_t, std::uint8_t>(source, swap, count, stride, target); return;
                case 2: read_as<std::uint16_t, std::uint16_t>(source, swap, count, stride, target); return;
                case 4: read_as<std::uint32_t, std::uint32_t>(source, swap, count, stride, target); return;
                default: read_as<std::uint64_t, std::uint64_t>(source, swap, count, stride, target); return;
            }
    }
}

}  // namespace

void read_elements(const std::byte* source, ElementFormat format, std::size_t count,
                   double* target) noexcept {
    if (count == 0) {
        return;  // an empty buffer may have no address at all
    }
    if (format.is_native_double()) {
        std::memcpy(target, source, count * sizeof(double));
        return;
    }
    read_any(source, format, count, static_cast<std::ptrdiff_t>(format.size), target);
}

void read_strided_elements(const std::byte* source, ElementFormat format, std::size_t count,
                           std::ptrdiff_t stride, double* target) noexcept {
    if (count == 0) {
        return;
    }
    if (stride == static_cast<std::ptrdiff_t>(format.size)) {
        read_elements(source, format, count, target);
        return;
    }
    read_any(source, format, count, stride, target);
}

double read_element(const std::byte* source, ElementFormat format) noexcept {
    double value = 0.0;
    read_any(source, format, 1, 0, &value);
    return value;
}

}  // namespace lexispan
