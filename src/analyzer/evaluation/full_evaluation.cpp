// The full evaluation: the per-measure functions, called in record order.
#include "analyzer/evaluation/full_evaluation.hpp"

namespace lexispan {

DispersionMetrics calculate_all_metrics(CorpusProfile& profile) {
    // Every cache holds the same value whoever fills it (one rule each, over
    // the profile's walk), so the order of the calls changes no field.
    DispersionMetrics record;
    record.mean_text_frequency_ft = get_mean_text_frequency_ft(profile);
    record.pervasiveness_pt = get_pervasiveness_pt(profile);
    record.evenness_da = get_evenness_da(profile);
    record.range = get_range(profile);
    record.sd_population = get_sd_population(profile);
    record.vc_population = get_vc_population(profile);
    record.juilland_d = get_juilland_d(profile);
    record.carroll_d2 = get_carroll_d2(profile);
    record.roschengren_s_adj = get_roschengren_s_adj(profile);
    record.dp = get_dp(profile);
    record.dp_norm = get_dp_norm(profile);
    record.kl_divergence = get_kl_divergence(profile);
    record.jsd_dispersion = get_jsd_dispersion(profile);
    record.hellinger_dispersion = get_hellinger_dispersion(profile);
    const std::optional<double>& ft = record.mean_text_frequency_ft;
    const std::optional<double>& pt = record.pervasiveness_pt;
    const std::optional<double>& da = record.evenness_da;
    if (ft && pt) {
        record.ft_adjusted_by_pt = ft_adjusted_by_pt(*ft, *pt);
    }
    if (ft && da) {
        record.ft_adjusted_by_da = ft_adjusted_by_da(*ft, *da);
    }
    return record;
}

}  // namespace lexispan
