// The dispersion measures of one profile: one function per measure, used
// unchanged by the per-measure methods, the full evaluation, the
// single-metric and the batch evaluation.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "analyzer/profile/corpus_profile.hpp"

namespace lexispan {

inline constexpr double near_zero = 1e-12;
inline constexpr double ln2 = 0.6931471805599453;

// The steps of the measures that do not depend on how their sums were
// walked: the profile's measures below and the sparse rows
// (sparse_measures.hpp) both finish through these, so a measure has one
// formula whichever path computed its sums.
[[nodiscard]] inline double single_part_dispersion(double f) noexcept {
    return f > 0.0 ? 1.0 : 0.0;
}
[[nodiscard]] inline double vc_from_sd(double sd, double mean) noexcept {
    return std::fabs(mean) < near_zero ? 0.0 : sd / mean;
}
// Juilland's D from the population SD `a` of q and their mean `mu`.
[[nodiscard]] inline double juilland_from_sd(double a, double mu, std::size_t n) noexcept {
    const double b = a / mu;
    const double c = b / std::sqrt(static_cast<double>(n - 1));
    return 1.0 - c;
}
[[nodiscard]] inline double carroll_entropy_term(double q, double total) noexcept {
    const double p = q / total;
    return p > near_zero ? -p * std::log(p) : 0.0;
}
[[nodiscard]] inline double carroll_max_entropy(std::size_t n) noexcept {
    return (std::log(static_cast<double>(n)) / ln2) * ln2;
}
[[nodiscard]] inline double dp_norm_from_dp(double dp, double min_relative) noexcept {
    const double d = 1.0 - min_relative;
    return std::fabs(d) < near_zero ? 0.0 : dp / d;
}
[[nodiscard]] inline double kl_term(double p, double s) noexcept {
    return (p * std::log(p / s)) / ln2;
}
// The Jensen-Shannon sums add x log(x / m) with m = (p + s) / 2, for x = p
// (sum a) and x = s (sum b), where both x and m exceed near_zero.
[[nodiscard]] inline double jsd_mid(double p, double s) noexcept { return (p + s) * 0.5; }
[[nodiscard]] inline bool jsd_adds(double x, double mid) noexcept {
    return x > near_zero && mid > near_zero;
}
[[nodiscard]] inline double jsd_term(double x, double mid) noexcept {
    return x * std::log(x / mid);
}
[[nodiscard]] inline double jsd_from_sums(double a, double b) noexcept {
    const double divergence = ((a + b) * 0.5) / ln2;
    // A NaN divergence takes the cap, giving 0.
    const double capped = divergence < 1.0 ? divergence : 1.0;
    return 1.0 - capped;
}
[[nodiscard]] inline double hellinger_from_coefficient(double coefficient) noexcept {
    double c = coefficient;
    if (coefficient < 0.0) {
        c = 0.0;
    } else if (coefficient > 1.0) {
        c = 1.0;
    }
    return 1.0 - std::sqrt(1.0 - c);
}

// Spread measures. Those taking a non-const profile may fill a cache.
[[nodiscard]] std::int32_t get_range(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_sd_population(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_vc_population(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_juilland_d(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_carroll_d2(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_roschengren_s_adj(const CorpusProfile& profile) noexcept;

// Proportion and divergence measures.
[[nodiscard]] double get_dp(const CorpusProfile& profile) noexcept;
[[nodiscard]] double get_dp_norm(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_kl_divergence(const CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_evenness_da(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_jsd_dispersion(const CorpusProfile& profile);
[[nodiscard]] std::optional<double> get_hellinger_dispersion(const CorpusProfile& profile);

// Frequency-adjusted measures.
// The two dispersion-adjusted frequencies, with the operand order that fixes
// which NaN payload survives.
[[nodiscard]] inline double ft_adjusted_by_pt(double ft, double pt) noexcept { return ft * pt; }
[[nodiscard]] inline double ft_adjusted_by_da(double ft, double da) noexcept { return da * ft; }

[[nodiscard]] std::optional<double> get_mean_text_frequency_ft(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_pervasiveness_pt(CorpusProfile& profile) noexcept;

// DA in three steps, so that the batch path can run the quadratic pair sum
// of several rows side by side while sharing everything else with
// get_evenness_da, which is exactly prepare, pair sum, finish.
struct DaPairSumNeeded {
    double mean;  // the mean normalised frequency
};
using DaPreparation = std::variant<std::optional<double>, DaPairSumNeeded>;

// The guards of DA: a final (possibly absent) value, or the mean with which
// the pair sum must be finished.
[[nodiscard]] DaPreparation prepare_evenness_da(CorpusProfile& profile) noexcept;
// Sum of |q_i - q_j| over i < j, from +0.0, i then j ascending.
[[nodiscard]] double da_pair_sum(const double* q, std::size_t n) noexcept;
// DA from its pair sum: 1 - (S / P) / (mean + mean), clamped to [0, 1].
[[nodiscard]] double finish_evenness_da(double pair_sum, std::size_t n, double mean) noexcept;

}  // namespace lexispan
