// The one decimal parser of the pool's sizing: environment variables and
// control-group files.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace lexispan {

// The value of a run of decimal digits, nothing else (no sign, no blank),
// when it is at most `limit`.
[[nodiscard]] inline std::optional<std::uintmax_t> parse_decimal(std::string_view digits,
                                                          std::uintmax_t limit) noexcept {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uintmax_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uintmax_t>(c - '0');
        if (value > (limit - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace lexispan
