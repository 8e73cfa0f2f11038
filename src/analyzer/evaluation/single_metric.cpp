// The metric-name table and the single-metric evaluation.
#include "analyzer/evaluation/single_metric.hpp"

#include <string>
#include <utility>

#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/measures/measures.hpp"

namespace lexispan {

namespace {

using Metric = std::optional<double> (*)(CorpusProfile&);

struct NamedMetric {
    std::string_view name;
    Metric compute;
};

const NamedMetric metric_table[] = {
    {"dp", [](CorpusProfile& p) -> std::optional<double> { return get_dp(p); }},
    {"dp_norm", [](CorpusProfile& p) -> std::optional<double> { return get_dp_norm(p); }},
    {"juilland_d", [](CorpusProfile& p) -> std::optional<double> { return get_juilland_d(p); }},
    {"carroll_d2", [](CorpusProfile& p) -> std::optional<double> { return get_carroll_d2(p); }},
    {"evenness_da", [](CorpusProfile& p) { return get_evenness_da(p); }},
    {"kl_divergence",
     [](CorpusProfile& p) -> std::optional<double> { return get_kl_divergence(p); }},
    {"jsd_dispersion", [](CorpusProfile& p) { return get_jsd_dispersion(p); }},
    {"pervasiveness_pt", [](CorpusProfile& p) { return get_pervasiveness_pt(p); }},
    {"hellinger_dispersion", [](CorpusProfile& p) { return get_hellinger_dispersion(p); }},
    {"mean_text_frequency_ft", [](CorpusProfile& p) { return get_mean_text_frequency_ft(p); }},
};

}  // namespace

Result<std::optional<double>> calculate_single_metric(std::vector<double> frequency_vector,
                                                      std::vector<double> corpus_part_sizes,
                                                      double total_corpus_words,
                                                      std::string_view metric_name) {
    Result<CorpusProfile> profile = make_corpus_profile(
        std::move(frequency_vector), std::move(corpus_part_sizes), total_corpus_words);
    if (!profile.ok()) {
        return profile.error();
    }
    for (const NamedMetric& metric : metric_table) {
        if (metric.name == metric_name) {
            return metric.compute(profile.value());
        }
    }
    return MeasureError{"Unknown metric: " + std::string(metric_name)};
}

}  // namespace lexispan
