// The record's measures, each one function over a walk of the parts
// (part_walk.hpp, sparse_walk.hpp) and the row's summaries, so the profile,
// the dense and the sparse rows of a table call and the batch all run the
// same formula. Each is compiled once per walk (measures.cpp), so the
// profile and the row engine run the same code on the same walk, down to
// the NaN that a commutative step keeps. The get_ functions are the
// profile's.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/sums/da_sums.hpp"
#include "analyzer/sums/zero_run_sums.hpp"

namespace lexispan {

inline constexpr double near_zero = 1e-12;
inline constexpr double ln2 = 0.6931471805599453;

// The closed-form steps and the per-part terms of the measures below.
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

// DP's term of a part, p = v / f; for an absent part (p = +0.0 when f > 0)
// also the entry of AbsentTerms::dp.
[[nodiscard]] inline double dp_term(double p, double s) noexcept { return std::fabs(p - s); }
// The two Jensen-Shannon terms of a part; 0 where a term is skipped.
[[nodiscard]] inline double jsd_a_term(double p, double s) noexcept {
    const double mid = jsd_mid(p, s);
    return jsd_adds(p, mid) ? jsd_term(p, mid) : 0.0;
}
[[nodiscard]] inline double jsd_b_term(double p, double s) noexcept {
    const double mid = jsd_mid(p, s);
    return jsd_adds(s, mid) ? jsd_term(s, mid) : 0.0;
}

// The terms of an absent part that depend on the part, for every row of a
// call whose relative sizes are `relative` (finite); rows with f > 0 only.
// A sparse walk reads them; a dense walk is given none.
struct AbsentTerms {
    explicit AbsentTerms(std::span<const double> relative);
    PartTerms dp;
    PartTerms jsd_b;
};

// The measures over a walk, given the row's f, mean count m = f / n, mean
// q mu and sum of q where they need them. Walk: DenseWalk or SparseWalk.
//
// Spread measures.
template <class Walk>
[[nodiscard]] std::optional<double> sd_population(const Walk& walk, double f, double m);
// vc_from_sd of sd_population.
template <class Walk>
[[nodiscard]] std::optional<double> vc_population(const Walk& walk, double f, double m);
template <class Walk>
[[nodiscard]] double juilland_d(const Walk& walk, double f, double mu);
template <class Walk>
[[nodiscard]] double carroll_d2(const Walk& walk, double f, double q_total);
// sum of sqrt(s_i v_i) from +0.0 (Rosengren's KF squares it).
template <class Walk>
[[nodiscard]] double size_weighted_root_sum(const Walk& walk);
template <class Walk>
[[nodiscard]] double roschengren_s_adj(const Walk& walk, double f);

// Proportion and divergence measures.
template <class Walk>
[[nodiscard]] double dp(const Walk& walk, double f, const AbsentTerms* absent);
template <class Walk>
[[nodiscard]] double kl_divergence(const Walk& walk, double f);
template <class Walk>
[[nodiscard]] double jsd_dispersion(const Walk& walk, double f, const AbsentTerms* absent);
template <class Walk>
[[nodiscard]] double hellinger_dispersion(const Walk& walk, double f);

// Frequency-adjusted measures: the two dispersion-adjusted frequencies, with
// the operand order that fixes which NaN payload survives, and PT.
[[nodiscard]] double ft_adjusted_by_pt(double ft, double pt) noexcept;
[[nodiscard]] double ft_adjusted_by_da(double ft, double da) noexcept;
[[nodiscard]] double pervasiveness(std::int32_t range, std::size_t n) noexcept;

// DA in three steps, so that the row engine can run the quadratic pair sum
// of several rows side by side: the guards, the pair sum (da_sums.hpp or the
// multi-row kernels), the finish. get_evenness_da is exactly these three.
struct DaPairSumNeeded {
    double mean;  // the mean normalised frequency
};
using DaPreparation = std::variant<std::optional<double>, DaPairSumNeeded>;

// The guards of DA: a final (possibly absent) value, or the mean with which
// the pair sum must be finished.
template <class Walk>
[[nodiscard]] DaPreparation prepare_evenness_da(const Walk& walk, double f, double mu);
// DA from its pair sum: 1 - (S / P) / (mean + mean), clamped to [0, 1].
[[nodiscard]] double finish_evenness_da(double pair_sum, std::size_t n, double mean) noexcept;

// The profile's measures. Those taking a non-const profile may fill a cache.
[[nodiscard]] std::int32_t get_range(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_sd_population(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_vc_population(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_juilland_d(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_carroll_d2(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_roschengren_s_adj(const CorpusProfile& profile) noexcept;
[[nodiscard]] double get_dp(const CorpusProfile& profile) noexcept;
[[nodiscard]] double get_dp_norm(CorpusProfile& profile) noexcept;
[[nodiscard]] double get_kl_divergence(const CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_evenness_da(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_jsd_dispersion(const CorpusProfile& profile);
[[nodiscard]] std::optional<double> get_hellinger_dispersion(const CorpusProfile& profile);
[[nodiscard]] std::optional<double> get_mean_text_frequency_ft(CorpusProfile& profile) noexcept;
[[nodiscard]] std::optional<double> get_pervasiveness_pt(CorpusProfile& profile) noexcept;

}  // namespace lexispan
