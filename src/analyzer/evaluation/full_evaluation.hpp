// Every measure of one profile at once, into a metric record.
#pragma once

#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/measures/measures.hpp"
#include "metrics/dispersion_metrics.hpp"

namespace lexispan {

// Computes the record in a fixed order, filling the profile's caches.
[[nodiscard]] DispersionMetrics calculate_all_metrics(CorpusProfile& profile);

}  // namespace lexispan
