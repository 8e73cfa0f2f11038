// Formatting of the record; independent of the C locale.
#include "metrics/metrics_text.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace lexispan {

std::string format_metric_value(std::optional<double> value) {
    if (!value) {
        return "None";
    }
    const double x = *value;
    if (std::isnan(x)) {
        return "NaN";
    }
    if (std::isinf(x)) {
        return x > 0 ? "inf" : "-inf";
    }
    // The largest double has 309 integer digits; a sign, a point and four
    // decimals fit easily.
    char buffer[400];
    const std::to_chars_result written =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, 4);
    if (written.ec != std::errc{}) {
        throw std::logic_error("fixed-point formatting overflowed its buffer");
    }
    return std::string(buffer, written.ptr);
}

std::string metrics_text(const DispersionMetrics& record) {
    std::string text = "DispersionMetrics(range=";
    text += std::to_string(record.range);
    for (const OptionalField& field : optional_fields) {
        text += ", ";
        text += field.name;
        text += '=';
        text += format_metric_value(record.*field.member);
    }
    text += ')';
    return text;
}

}  // namespace lexispan
