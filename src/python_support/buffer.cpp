// Buffer views and the element-format parser.
#include "python_support/buffer.hpp"

#include <algorithm>
#include <bit>
#include <iterator>

#include "python_support/boundary.hpp"

namespace lexispan::binding {

namespace {

using Kind = ElementFormat::Kind;

// A struct-module type code of one numeric element, with its size as the C
// type and under the standard sizes of the '=', '<', '>', '!' prefixes (0:
// not allowed there).
struct TypeCode {
    char code;
    Kind kind;
    std::size_t native_size;
    std::size_t standard_size;
};

constexpr TypeCode type_codes[] = {
    {'b', Kind::signed_integer, 1, 1},
    {'B', Kind::unsigned_integer, 1, 1},
    {'?', Kind::unsigned_integer, 1, 1},
    {'h', Kind::signed_integer, sizeof(short), 2},
    {'H', Kind::unsigned_integer, sizeof(short), 2},
    {'i', Kind::signed_integer, sizeof(int), 4},
    {'I', Kind::unsigned_integer, sizeof(int), 4},
    {'l', Kind::signed_integer, sizeof(long), 4},
    {'L', Kind::unsigned_integer, sizeof(long), 4},
    {'q', Kind::signed_integer, sizeof(long long), 8},
    {'Q', Kind::unsigned_integer, sizeof(long long), 8},
    {'n', Kind::signed_integer, sizeof(Py_ssize_t), 0},
    {'N', Kind::unsigned_integer, sizeof(Py_ssize_t), 0},
    {'f', Kind::binary32, 4, 4},
    {'d', Kind::binary64, 8, 8},
};

}  // namespace

void Buffer::Release::operator()(Py_buffer* view) const noexcept {
    PyBuffer_Release(view);
    delete view;
}

Buffer Buffer::export_view(PyObject* object, int flags) {
    Buffer result;
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(object, view.get(), flags) == 0) {
        result.view_.reset(view.release());
    }
    return result;
}

Buffer Buffer::acquire(PyObject* object, int flags) {
    Buffer result = export_view(object, flags);
    if (!result) {
        throw_pending_error();
    }
    return result;
}

Buffer Buffer::try_acquire(PyObject* object, int flags) {
    Buffer result = export_view(object, flags);
    if (!result) {
        PyErr_Clear();
    }
    return result;
}

std::optional<ElementFormat> parse_element_format(const Py_buffer& view,
                                                  FormatRules rules) noexcept {
    const char* format = view.format == nullptr ? "B" : view.format;
    const char prefix = *format;
    const bool standard = prefix == '=' || prefix == '<' || prefix == '>' || prefix == '!';
    if (standard || prefix == '@') {
        ++format;
    }
    if ((standard && !rules.standard_sizes) || format[0] == '\0' || format[1] != '\0' ||
        (format[0] == '?' && !rules.boolean)) {
        return std::nullopt;
    }
    const TypeCode* type = std::find_if(std::begin(type_codes), std::end(type_codes),
                                        [&](const TypeCode& c) { return c.code == format[0]; });
    if (type == std::end(type_codes)) {
        return std::nullopt;
    }
    const std::size_t size = standard ? type->standard_size : type->native_size;
    if ((size != 1 && size != 2 && size != 4 && size != 8) || view.itemsize < 0 ||
        static_cast<std::size_t>(view.itemsize) != size) {
        return std::nullopt;
    }
    constexpr bool native_big = std::endian::native == std::endian::big;
    const bool big_endian = prefix == '>' || prefix == '!' || (prefix != '<' && native_big);
    ElementFormat element;
    element.kind = type->kind;
    element.size = size;
    element.byte_swapped = size > 1 && big_endian != native_big;
    if (element.byte_swapped && !rules.byte_swapped) {
        return std::nullopt;
    }
    return element;
}

}  // namespace lexispan::binding
