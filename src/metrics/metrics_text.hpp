// The text form of a metric record.
#pragma once

#include <optional>
#include <string>

#include "metrics/dispersion_metrics.hpp"

namespace lexispan {

// Four decimals of the exact binary value, ties to even, never an exponent;
// "NaN", "inf", "-inf" for the non-finite values, "None" when absent.
[[nodiscard]] std::string format_metric_value(std::optional<double> value);

// "DispersionMetrics(range=..., sd_population=..., ...)".
[[nodiscard]] std::string metrics_text(const DispersionMetrics& record);

}  // namespace lexispan
