// One named measure from raw inputs, on a throw-away profile.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "analyzer/profile/measure_result.hpp"

namespace lexispan {

// Validates first (the name is looked at only for a valid profile), then
// looks the name up by exact byte comparison.
[[nodiscard]] Result<std::optional<double>> calculate_single_metric(
    std::vector<double> frequency_vector, std::vector<double> corpus_part_sizes,
    double total_corpus_words, std::string_view metric_name);

}  // namespace lexispan
