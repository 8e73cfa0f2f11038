// The formulas of every measure. Sums run in index order from the start
// value each one names; nothing here may be reassociated.
#include "analyzer/measures/measures.hpp"

#include "analyzer/sums/ordered_add.hpp"

#include <cmath>
#include <vector>

namespace lexispan {

namespace {

// sqrt(S / n) with S = sum of (x_i - m)^2.
double population_sd(const std::vector<double>& values, double m) noexcept {
    double squares = 0.0;
    for (const double x : values) {
        const double d = x - m;
        squares += d * d;
    }
    return std::sqrt(squares / as_double(values.size()));
}

}  // namespace

std::int32_t get_range(CorpusProfile& profile) noexcept { return range_count(profile); }

std::optional<double> get_sd_population(CorpusProfile& profile) noexcept {
    if (profile.n == 0) {
        return std::nullopt;
    }
    if (profile.total_frequency == 0.0) {
        return 0.0;
    }
    return population_sd(profile.v, mean_frequency(profile));
}

std::optional<double> get_vc_population(CorpusProfile& profile) noexcept {
    const double m = mean_frequency(profile);
    if (std::fabs(m) < near_zero) {
        return 0.0;
    }
    if (profile.n == 0) {
        return std::nullopt;
    }
    const double sd = profile.total_frequency == 0.0 ? 0.0 : population_sd(profile.v, m);
    return vc_from_sd(sd, m);
}

double get_juilland_d(CorpusProfile& profile) noexcept {
    if (profile.n < 2) {
        return single_part_dispersion(profile.total_frequency);
    }
    if (profile.total_frequency == 0.0) {
        return 0.0;
    }
    const double mu = mean_normalized_frequency(profile);
    if (std::fabs(mu) < near_zero) {
        return 0.0;
    }
    return juilland_from_sd(population_sd(profile.normalized_frequencies, mu), mu, profile.n);
}

double get_carroll_d2(CorpusProfile& profile) noexcept {
    if (profile.n < 2) {
        return single_part_dispersion(profile.total_frequency);
    }
    const double total = normalized_frequency_sum(profile);
    if (std::fabs(total) < near_zero) {
        return 0.0;
    }
    double entropy = 0.0;
    for (const double q : profile.normalized_frequencies) {
        entropy += carroll_entropy_term(q, total);
    }
    return entropy / carroll_max_entropy(profile.n);
}

double get_roschengren_s_adj(const CorpusProfile& profile) noexcept {
    const double f = profile.total_frequency;
    if (f == 0.0) {
        return 0.0;
    }
    double root_sum = 0.0;
    for (std::size_t i = 0; i < profile.n; ++i) {
        root_sum += std::sqrt(profile.relative_partition_sizes[i] * profile.v[i]);
    }
    return (root_sum * root_sum) / f;
}

double get_dp(const CorpusProfile& profile) noexcept {
    const double f = profile.total_frequency;
    if (f == 0.0) {
        return 0.0;
    }
    double deviation = -0.0;
    for (std::size_t i = 0; i < profile.n; ++i) {
        deviation += std::fabs(profile.v[i] / f - profile.relative_partition_sizes[i]);
    }
    return deviation * 0.5;
}

double get_dp_norm(CorpusProfile& profile) noexcept {
    return dp_norm_from_dp(get_dp(profile), min_relative_size(profile));
}

double get_kl_divergence(const CorpusProfile& profile) noexcept {
    const double f = profile.total_frequency;
    if (f == 0.0 || !(f > 0.0)) {
        return 0.0;
    }
    double divergence = 0.0;
    for (std::size_t i = 0; i < profile.n; ++i) {
        const double s = profile.relative_partition_sizes[i];
        if (s > 0.0) {
            const double p = profile.v[i] / f;
            if (p > 0.0) {
                divergence += kl_term(p, s);
            }
        }
    }
    return divergence;
}

DaPreparation prepare_evenness_da(CorpusProfile& profile) noexcept {
    if (profile.n == 0) {
        return std::optional<double>{};
    }
    if (profile.total_frequency == 0.0) {
        return std::optional<double>{0.0};
    }
    if (profile.n == 1) {
        return std::optional<double>{1.0};
    }
    const double mu = mean_normalized_frequency(profile);
    if (std::fabs(mu) < near_zero) {
        // All normalised frequencies tiny: even, unless one stands out.
        for (const double q : profile.normalized_frequencies) {
            if (!(std::fabs(q - mu) < near_zero)) {
                return std::optional<double>{0.0};
            }
        }
        return std::optional<double>{1.0};
    }
    return DaPairSumNeeded{mu};
}

double da_pair_sum(const double* q, std::size_t n) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double qi = q[i];
        for (std::size_t j = i + 1; j < n; ++j) {
            sum = accumulate(sum, std::fabs(qi - q[j]));
        }
    }
    return sum;
}

double finish_evenness_da(double pair_sum, std::size_t n, double mean) noexcept {
    // n(n-1)/2 as an exact integer first; n is even or n-1 is.
    const std::size_t pairs = n % 2 == 0 ? (n / 2) * (n - 1) : n * ((n - 1) / 2);
    const double da = 1.0 - (pair_sum / as_double(pairs)) / (mean + mean);
    if (da < 0.0) {
        return 0.0;
    }
    if (da > 1.0) {
        return 1.0;
    }
    return da;
}

std::optional<double> get_evenness_da(CorpusProfile& profile) noexcept {
    const DaPreparation prepared = prepare_evenness_da(profile);
    if (const auto* done = std::get_if<std::optional<double>>(&prepared)) {
        return *done;
    }
    const double mu = std::get<DaPairSumNeeded>(prepared).mean;
    const double sum = da_pair_sum(profile.normalized_frequencies.data(), profile.n);
    return finish_evenness_da(sum, profile.n, mu);
}

std::optional<double> get_jsd_dispersion(const CorpusProfile& profile) {
    const double f = profile.total_frequency;
    if (f == 0.0) {
        return 0.0;
    }
    const std::vector<double>& s = profile.relative_partition_sizes;
    double a = 0.0;
    double b = 0.0;
    for (std::size_t k = 0; k < profile.n; ++k) {
        const double p = profile.v[k] / f;
        const double mid = jsd_mid(p, s[k]);
        if (jsd_adds(p, mid)) {
            a += jsd_term(p, mid);
        }
        if (jsd_adds(s[k], mid)) {
            b += jsd_term(s[k], mid);
        }
    }
    return jsd_from_sums(a, b);
}

std::optional<double> get_hellinger_dispersion(const CorpusProfile& profile) {
    const double f = profile.total_frequency;
    if (f == 0.0) {
        return 0.0;
    }
    double coefficient = 0.0;
    for (std::size_t i = 0; i < profile.n; ++i) {
        coefficient += std::sqrt((profile.v[i] / f) * profile.relative_partition_sizes[i]);
    }
    return hellinger_from_coefficient(coefficient);
}

std::optional<double> get_mean_text_frequency_ft(CorpusProfile& profile) noexcept {
    if (profile.n == 0) {
        return std::nullopt;
    }
    return mean_normalized_frequency(profile);
}

std::optional<double> get_pervasiveness_pt(CorpusProfile& profile) noexcept {
    if (profile.n == 0) {
        return std::nullopt;
    }
    return static_cast<double>(range_count(profile)) / as_double(profile.n);
}

}  // namespace lexispan
