// The formulas of the record's measures over a walk, compiled once for each
// walk, and the profile's measures through them. Every sum runs in part
// order from the start value it names; nothing here may be reassociated.
#include "analyzer/measures/measures.hpp"

#include <span>
#include <vector>

#include "analyzer/profile/ordered_add.hpp"
#include "analyzer/profile/part_walk.hpp"
#include "analyzer/sums/sparse_walk.hpp"

namespace lexispan {

namespace {

std::vector<double> absent_part_terms(std::span<const double> relative,
                                      double (*term)(double, double)) {
    std::vector<double> terms(relative.size());
    for (std::size_t i = 0; i < relative.size(); ++i) {
        // The term of a part where v = 0, so p = 0 / f = +0.0 for f > 0.
        terms[i] = term(0.0, relative[i]);
    }
    return terms;
}

// The table of one of AbsentTerms' terms, or none for a walk without them.
AbsentTable absent_table(const AbsentTerms* absent, PartTerms AbsentTerms::*terms) noexcept {
    return AbsentTable{absent != nullptr ? &(absent->*terms) : nullptr};
}

// sqrt(S / n) with S = sum of (x - mean)^2 over the parts, x = value(cell).
template <class Walk, class Value>
double population_sd(const Walk& walk, double mean, Value value) {
    const double squares = walk.sum(
        0.0,
        [&](const PartCell& cell) {
            const double d = value(cell) - mean;
            return d * d;
        },
        absent_same);
    return std::sqrt(squares / as_double(walk.parts()));
}

}  // namespace

AbsentTerms::AbsentTerms(std::span<const double> relative)
    : dp(absent_part_terms(relative, dp_term)), jsd_b(absent_part_terms(relative, jsd_b_term)) {}

template <class Walk>
std::optional<double> sd_population(const Walk& walk, double f, double m) {
    if (walk.parts() == 0) {
        return std::nullopt;
    }
    if (f == 0.0) {
        return 0.0;
    }
    return population_sd(walk, m, [](const PartCell& cell) { return cell.v; });
}

template <class Walk>
std::optional<double> vc_population(const Walk& walk, double f, double m) {
    const std::optional<double> sd = sd_population(walk, f, m);
    if (!sd) {
        return std::nullopt;
    }
    return vc_from_sd(*sd, m);
}

template <class Walk>
double juilland_d(const Walk& walk, double f, double mu) {
    const std::size_t n = walk.parts();
    if (n < 2) {
        return single_part_dispersion(f);
    }
    if (f == 0.0 || std::fabs(mu) < near_zero) {
        return 0.0;
    }
    const double a = population_sd(walk, mu, [](const PartCell& cell) { return cell.q; });
    return juilland_from_sd(a, mu, n);
}

template <class Walk>
double carroll_d2(const Walk& walk, double f, double q_total) {
    if (walk.parts() < 2) {
        return single_part_dispersion(f);
    }
    if (std::fabs(q_total) < near_zero) {
        return 0.0;
    }
    // An absent part's p = 0 / total is no entropy term.
    const double entropy = walk.sum(
        0.0, [q_total](const PartCell& cell) { return carroll_entropy_term(cell.q, q_total); },
        adds_nothing);
    return entropy / carroll_max_entropy(walk.parts());
}

template <class Walk>
double size_weighted_root_sum(const Walk& walk) {
    // An absent part adds sqrt(s_i x 0), a zero for a finite s_i.
    return walk.sum(
        0.0, [](const PartCell& cell) { return std::sqrt(multiply(cell.s, cell.v)); }, adds_nothing);
}

template <class Walk>
double roschengren_s_adj(const Walk& walk, double f) {
    if (f == 0.0) {
        return 0.0;
    }
    const double root_sum = size_weighted_root_sum(walk);
    return (root_sum * root_sum) / f;
}

template <class Walk>
double dp(const Walk& walk, double f, const AbsentTerms* absent) {
    if (f == 0.0) {
        return 0.0;
    }
    const double deviation =
        walk.sum(-0.0, [f](const PartCell& cell) { return dp_term(cell.v / f, cell.s); },
                 absent_table(absent, &AbsentTerms::dp));
    return deviation * 0.5;
}

template <class Walk>
double kl_divergence(const Walk& walk, double f) {
    if (!(f > 0.0)) {
        return 0.0;
    }
    return walk.sum(
        0.0,
        [f](const PartCell& cell) {
            if (cell.s > 0.0) {
                const double p = cell.v / f;
                if (p > 0.0) {
                    return kl_term(p, cell.s);
                }
            }
            return 0.0;
        },
        adds_nothing);
}

template <class Walk>
double jsd_dispersion(const Walk& walk, double f, const AbsentTerms* absent) {
    if (f == 0.0) {
        return 0.0;
    }
    const double a = walk.sum(
        0.0, [f](const PartCell& cell) { return jsd_a_term(cell.v / f, cell.s); }, adds_nothing);
    const double b =
        walk.sum(0.0, [f](const PartCell& cell) { return jsd_b_term(cell.v / f, cell.s); },
                 absent_table(absent, &AbsentTerms::jsd_b));
    return jsd_from_sums(a, b);
}

template <class Walk>
double hellinger_dispersion(const Walk& walk, double f) {
    if (f == 0.0) {
        return 0.0;
    }
    const double coefficient = walk.sum(
        0.0, [f](const PartCell& cell) { return std::sqrt(multiply(cell.v / f, cell.s)); },
        adds_nothing);
    return hellinger_from_coefficient(coefficient);
}

template <class Walk>
DaPreparation prepare_evenness_da(const Walk& walk, double f, double mu) {
    if (walk.parts() == 0) {
        return std::optional<double>{};
    }
    if (f == 0.0) {
        return std::optional<double>{0.0};
    }
    if (walk.parts() == 1) {
        return std::optional<double>{1.0};
    }
    if (std::fabs(mu) < near_zero) {
        // All normalised frequencies tiny: even, unless one stands out.
        const bool even = walk.every(
            [mu](const PartCell& cell) { return std::fabs(cell.q - mu) < near_zero; });
        return std::optional<double>{even ? 1.0 : 0.0};
    }
    return DaPairSumNeeded{mu};
}

// One compiled copy of each formula per walk.
#define LEXISPAN_MEASURES_OVER(Walk)                                                           \
    template std::optional<double> sd_population(const Walk&, double, double);                 \
    template std::optional<double> vc_population(const Walk&, double, double);                 \
    template double juilland_d(const Walk&, double, double);                                   \
    template double carroll_d2(const Walk&, double, double);                                   \
    template double size_weighted_root_sum(const Walk&);                                       \
    template double roschengren_s_adj(const Walk&, double);                                    \
    template double dp(const Walk&, double, const AbsentTerms*);                               \
    template double kl_divergence(const Walk&, double);                                        \
    template double jsd_dispersion(const Walk&, double, const AbsentTerms*);                   \
    template double hellinger_dispersion(const Walk&, double);                                 \
    template DaPreparation prepare_evenness_da(const Walk&, double, double);
LEXISPAN_MEASURES_OVER(DenseWalk)
LEXISPAN_MEASURES_OVER(SparseWalk)
#undef LEXISPAN_MEASURES_OVER

double ft_adjusted_by_pt(double ft, double pt) noexcept { return multiply(ft, pt); }
double ft_adjusted_by_da(double ft, double da) noexcept { return multiply(da, ft); }
double pervasiveness(std::int32_t range, std::size_t n) noexcept {
    return static_cast<double>(range) / as_double(n);
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

std::int32_t get_range(CorpusProfile& profile) noexcept { return range_count(profile); }

std::optional<double> get_sd_population(CorpusProfile& profile) noexcept {
    return sd_population(dense_walk(profile), profile.total_frequency, mean_frequency(profile));
}

std::optional<double> get_vc_population(CorpusProfile& profile) noexcept {
    return vc_population(dense_walk(profile), profile.total_frequency, mean_frequency(profile));
}

double get_juilland_d(CorpusProfile& profile) noexcept {
    return juilland_d(dense_walk(profile), profile.total_frequency,
                      mean_normalized_frequency(profile));
}

double get_carroll_d2(CorpusProfile& profile) noexcept {
    return carroll_d2(dense_walk(profile), profile.total_frequency,
                      normalized_frequency_sum(profile));
}

double get_roschengren_s_adj(const CorpusProfile& profile) noexcept {
    return roschengren_s_adj(dense_walk(profile), profile.total_frequency);
}

double get_dp(const CorpusProfile& profile) noexcept {
    return dp(dense_walk(profile), profile.total_frequency, nullptr);
}

double get_dp_norm(CorpusProfile& profile) noexcept {
    return dp_norm_from_dp(get_dp(profile), min_relative_size(profile));
}

double get_kl_divergence(const CorpusProfile& profile) noexcept {
    return kl_divergence(dense_walk(profile), profile.total_frequency);
}

std::optional<double> get_evenness_da(CorpusProfile& profile) noexcept {
    const DaPreparation prepared = prepare_evenness_da(
        dense_walk(profile), profile.total_frequency, mean_normalized_frequency(profile));
    if (const auto* done = std::get_if<std::optional<double>>(&prepared)) {
        return *done;
    }
    const double mu = std::get<DaPairSumNeeded>(prepared).mean;
    const double sum = da_pair_sum(profile.normalized_frequencies.data(), profile.n);
    return finish_evenness_da(sum, profile.n, mu);
}

std::optional<double> get_jsd_dispersion(const CorpusProfile& profile) {
    return jsd_dispersion(dense_walk(profile), profile.total_frequency, nullptr);
}

std::optional<double> get_hellinger_dispersion(const CorpusProfile& profile) {
    return hellinger_dispersion(dense_walk(profile), profile.total_frequency);
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
    return pervasiveness(range_count(profile), profile.n);
}

}  // namespace lexispan
