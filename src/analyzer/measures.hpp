// The dispersion measures of one profile: one function per measure, used
// unchanged by the per-measure methods, the full evaluation, the
// single-metric and the batch evaluation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "analyzer/corpus_profile.hpp"

namespace lexispan {

inline constexpr double near_zero = 1e-12;
inline constexpr double ln2 = 0.6931471805599453;

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
