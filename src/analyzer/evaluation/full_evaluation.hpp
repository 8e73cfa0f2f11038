// Every measure of one profile at once, into a metric record.
#pragma once

#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/measures/measures.hpp"
#include "metrics/dispersion_metrics.hpp"

namespace lexispan {

// Computes the record in a fixed order, filling the profile's caches. The
// DA value is passed in when the caller has already computed it (the batch
// path runs DA's pair sums for several rows at once); it must be exactly
// what get_evenness_da gives for this profile.
[[nodiscard]] DispersionMetrics calculate_all_metrics(CorpusProfile& profile);
[[nodiscard]] DispersionMetrics calculate_all_metrics(CorpusProfile& profile,
                                                      std::optional<double> evenness_da);

}  // namespace lexispan
