// Every measure of one profile at once, into a metric record.
#pragma once

#include "analyzer/corpus_profile.hpp"
#include "analyzer/measures.hpp"
#include "metrics/dispersion_metrics.hpp"

namespace lexispan {

// The two dispersion-adjusted frequencies, with the operand order that fixes
// which NaN payload survives.
[[nodiscard]] inline double ft_adjusted_by_pt(double ft, double pt) noexcept { return ft * pt; }
[[nodiscard]] inline double ft_adjusted_by_da(double ft, double da) noexcept { return da * ft; }

// Computes the record in a fixed order, filling the profile's caches. The
// DA value is passed in when the caller has already computed it (the batch
// path runs DA's pair sums for several rows at once); it must be exactly
// what get_evenness_da gives for this profile.
[[nodiscard]] DispersionMetrics calculate_all_metrics(CorpusProfile& profile);
[[nodiscard]] DispersionMetrics calculate_all_metrics(CorpusProfile& profile,
                                                      std::optional<double> evenness_da);

}  // namespace lexispan
