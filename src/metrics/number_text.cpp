// Python's float text from std::to_chars: the digits come from to_chars (the
// shortest round-trip digits, or the correctly rounded ones), the layout
// follows CPython's rules for repr and for "g".
#include "metrics/number_text.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace lexispan {

namespace {

// x = 0.DIGITS x 10^point, the digits without trailing zeros (one "0" for 0).
struct Decimal {
    char digits[32];
    int count = 0;
    int point = 0;
    bool negative = false;
};

// Reads the scientific text of to_chars: [-]d[.ddd]e(+|-)dd...
Decimal decimal_of(double x, int precision) {
    char text[64];
    const std::to_chars_result written =
        precision < 0 ? std::to_chars(text, text + sizeof text, x, std::chars_format::scientific)
                      : std::to_chars(text, text + sizeof text, x, std::chars_format::scientific,
                                      precision);
    if (written.ec != std::errc{}) {
        throw std::logic_error("scientific formatting overflowed its buffer");
    }
    Decimal decimal;
    const char* at = text;
    if (*at == '-') {
        decimal.negative = true;
        ++at;
    }
    for (; *at != 'e'; ++at) {
        if (*at != '.') {
            decimal.digits[decimal.count++] = *at;
        }
    }
    ++at;  // past 'e'
    int exponent = 0;
    std::from_chars(*at == '+' ? at + 1 : at, written.ptr, exponent);
    while (decimal.count > 1 && decimal.digits[decimal.count - 1] == '0') {
        --decimal.count;
    }
    decimal.point = exponent + 1;
    return decimal;
}

void append_zeros(std::string& out, int count) {
    if (count > 0) {
        out.append(static_cast<std::size_t>(count), '0');
    }
}

// Positional notation; `dot_zero` adds ".0" to a whole number, as repr does.
void append_positional(std::string& out, const Decimal& d, bool dot_zero) {
    const std::string_view digits(d.digits, static_cast<std::size_t>(d.count));
    if (d.point <= 0) {
        out += "0.";
        append_zeros(out, -d.point);
        out += digits;
    } else if (d.point >= d.count) {
        out += digits;
        append_zeros(out, d.point - d.count);
        if (dot_zero) {
            out += ".0";
        }
    } else {
        out += digits.substr(0, static_cast<std::size_t>(d.point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(d.point));
    }
}

void append_exponent(std::string& out, const Decimal& d) {
    out += d.digits[0];
    if (d.count > 1) {
        out += '.';
        out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
    }
    const int exponent = d.point - 1;
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) {
        out += '0';
    }
    out += std::to_string(magnitude);
}

bool append_special(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return true;
    }
    if (std::isinf(x)) {
        out += x > 0 ? "inf" : "-inf";
        return true;
    }
    return false;
}

}  // namespace

void append_repr(std::string& out, double x) {
    if (append_special(out, x)) {
        return;
    }
    const Decimal d = decimal_of(x, -1);
    if (d.negative) {
        out += '-';
    }
    if (d.point <= -4 || d.point > 16) {
        append_exponent(out, d);
    } else {
        append_positional(out, d, true);
    }
}

void append_significant(std::string& out, double x, int digits) {
    if (append_special(out, x)) {
        return;
    }
    const Decimal d = decimal_of(x, digits - 1);
    if (d.negative) {
        out += '-';
    }
    const bool large = d.point > digits;
    if (d.point <= -4 || (large && std::fabs(x) >= 1e16)) {
        append_exponent(out, d);
    } else {
        append_positional(out, d, false);
    }
}

}  // namespace lexispan
