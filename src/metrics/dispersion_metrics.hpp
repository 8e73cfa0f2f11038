// The record of every measure of one word: a plain value, no link back to
// the profile it came from.
#pragma once

#include <cstdint>
#include <optional>

namespace lexispan {

struct DispersionMetrics {
    std::int32_t range = 0;
    std::optional<double> sd_population;
    std::optional<double> vc_population;
    std::optional<double> juilland_d;
    std::optional<double> carroll_d2;
    std::optional<double> roschengren_s_adj;
    std::optional<double> dp;
    std::optional<double> dp_norm;
    std::optional<double> kl_divergence;
    std::optional<double> jsd_dispersion;
    std::optional<double> hellinger_dispersion;
    std::optional<double> mean_text_frequency_ft;
    std::optional<double> pervasiveness_pt;
    std::optional<double> evenness_da;
    std::optional<double> ft_adjusted_by_pt;
    std::optional<double> ft_adjusted_by_da;
};

// The optional fields in record order, with their names; the one table that
// the attribute getters and the text form both walk.
struct OptionalField {
    const char* name;
    std::optional<double> DispersionMetrics::*member;
};

inline constexpr OptionalField optional_fields[] = {
    {"sd_population", &DispersionMetrics::sd_population},
    {"vc_population", &DispersionMetrics::vc_population},
    {"juilland_d", &DispersionMetrics::juilland_d},
    {"carroll_d2", &DispersionMetrics::carroll_d2},
    {"roschengren_s_adj", &DispersionMetrics::roschengren_s_adj},
    {"dp", &DispersionMetrics::dp},
    {"dp_norm", &DispersionMetrics::dp_norm},
    {"kl_divergence", &DispersionMetrics::kl_divergence},
    {"jsd_dispersion", &DispersionMetrics::jsd_dispersion},
    {"hellinger_dispersion", &DispersionMetrics::hellinger_dispersion},
    {"mean_text_frequency_ft", &DispersionMetrics::mean_text_frequency_ft},
    {"pervasiveness_pt", &DispersionMetrics::pervasiveness_pt},
    {"evenness_da", &DispersionMetrics::evenness_da},
    {"ft_adjusted_by_pt", &DispersionMetrics::ft_adjusted_by_pt},
    {"ft_adjusted_by_da", &DispersionMetrics::ft_adjusted_by_da},
};

}  // namespace lexispan
