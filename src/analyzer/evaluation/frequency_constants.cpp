// The per-frequency values of a call: each extreme allocation is walked by
// the measure's own formula (a walk of the row engine over its parts), so a word
// whose counts are that allocation gets exactly the extreme.
#include "analyzer/evaluation/frequency_constants.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "analyzer/measures/recent_measures.hpp"
#include "analyzer/measures/special_functions.hpp"
#include "analyzer/profile/part_walk.hpp"
#include "analyzer/sums/sparse_walk.hpp"

namespace lexispan {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The s_i may add up to a rounding above 1 when T is the sum of the c_i.
constexpr double relative_total_limit = 1.0 + 1e-9;

}  // namespace

struct FrequencyConstants::Entry {
    unsigned done = 0;
    FrequencyValues values{};
};

std::size_t FrequencyConstants::KeyHash::operator()(const Key& key) const noexcept {
    return std::hash<std::uint64_t>{}(key.f * 0x9E3779B97F4A7C15ULL ^ key.level);
}

FrequencyConstants::FrequencyConstants(std::span<const double> sizes,
                                       std::span<const double> relative, double total,
                                       std::shared_ptr<const AbsentTerms> absent)
    : sizes_(sizes.begin(), sizes.end()),
      relative_(relative.begin(), relative.end()),
      total_(total),
      absent_(std::move(absent)) {
    if (absent_ != nullptr) {
        usable_ = static_cast<std::size_t>(std::count_if(
            relative_.begin(), relative_.end(),
            [](double s) { return s > 0.0 && std::isfinite(s); }));
    }
}

FrequencyConstants::~FrequencyConstants() = default;

const PartOrder* FrequencyConstants::order() const {
    const std::lock_guard lock(mutex_);
    if (!order_built_) {
        if (absent_ != nullptr) {
            order_ = std::make_unique<PartOrder>(relative_);
            if (order_->usable() == 0) {
                order_.reset();
            }
        }
        order_built_ = true;
    }
    return order_.get();
}

void FrequencyConstants::absent_shares(std::span<const double> rates,
                                       std::span<double> shares) const {
    if (rates.empty()) {
        return;
    }
    if (absent_ == nullptr) {
        for (std::size_t r = 0; r < rates.size(); ++r) {
            shares[r] = expected_absent_share(sizes_, rates[r]);
        }
        return;
    }
    const AbsentShares* grouped = nullptr;
    {
        const std::lock_guard lock(mutex_);
        if (grouped_sizes_ == nullptr) {
            grouped_sizes_ = std::make_unique<const AbsentShares>(sizes_);
        }
        grouped = grouped_sizes_.get();
    }
    grouped->at(rates, shares);
}

std::size_t FrequencyConstants::usable_parts() const noexcept { return usable_; }

const FrequencyValues& FrequencyConstants::at(double f, double level, unsigned families) const {
    const Key key{std::bit_cast<std::uint64_t>(f), std::bit_cast<std::uint64_t>(level)};
    Entry* entry = nullptr;
    unsigned missing = 0;
    {
        const std::lock_guard lock(mutex_);
        std::unique_ptr<Entry>& slot = entries_[key];
        if (slot == nullptr) {
            slot = std::make_unique<Entry>();
        }
        entry = slot.get();
        missing = families & ~entry->done;
    }
    if (missing == 0) {
        return entry->values;
    }
    // Computed outside the lock; two threads may both compute a family,
    // with the same bits, and the first to finish stores it.
    FrequencyValues computed{};
    compute(f, level, missing, computed);
    const std::lock_guard lock(mutex_);
    FrequencyValues& values = entry->values;
    const unsigned fresh = missing & ~entry->done;
    if ((fresh & dp_extremes) != 0) {
        values.dp = computed.dp;
    }
    if ((fresh & egbert_extremes) != 0) {
        values.egbert_dp = computed.egbert_dp;
    }
    if ((fresh & dkl_extremes) != 0) {
        values.dkl = computed.dkl;
    }
    if ((fresh & rosengren_s_extremes) != 0) {
        values.rosengren_s = computed.rosengren_s;
    }
    if ((fresh & dmb_share) != 0) {
        values.absent_share = computed.absent_share;
    }
    if ((fresh & dmb_interval) != 0) {
        values.absent_share_larger_rate = computed.absent_share_larger_rate;
        values.absent_share_smaller_rate = computed.absent_share_smaller_rate;
    }
    entry->done |= fresh;
    return values;
}

void FrequencyConstants::compute(double f, double level, unsigned families,
                                 FrequencyValues& into) const {
    const double lambda = f / total_;
    std::array<double, 3> rates{};
    std::size_t count = 0;
    if ((families & dmb_share) != 0) {
        rates[count++] = lambda;
    }
    if ((families & dmb_interval) != 0) {
        const double q = chi_squared_1_quantile(level);
        const RatioRoots roots = likelihood_ratio_roots(q / (2.0 * f));
        rates[count++] = lambda * roots.high;
        rates[count++] = lambda * roots.low;
    }
    std::array<double, 3> shares{};
    absent_shares(std::span(rates).first(count), shares);
    if ((families & dmb_share) != 0) {
        into.absent_share = shares[0];
    }
    if ((families & dmb_interval) != 0) {
        into.absent_share_larger_rate = shares[count - 2];
        into.absent_share_smaller_rate = shares[count - 1];
    }
    const unsigned extremes =
        families & (dp_extremes | egbert_extremes | dkl_extremes | rosengren_s_extremes);
    if (extremes != 0) {
        into.dp = into.egbert_dp = into.dkl = into.rosengren_s = {nan_value, nan_value};
        if (allocatable_frequency(f)) {
            compute_extremes(static_cast<std::uint64_t>(f), extremes, into);
        }
    }
}

void FrequencyConstants::compute_extremes(std::uint64_t f, unsigned families,
                                          FrequencyValues& into) const {
    const PartOrder* parts = order();
    if (parts == nullptr) {
        return;
    }
    const double fd = static_cast<double>(f);
    const std::size_t n = relative_.size();
    const std::span<const std::uint32_t> falling = parts->by_falling_size();
    std::vector<std::pair<std::uint32_t, double>> held;
    std::vector<std::uint32_t> at_parts;
    std::vector<double> v;
    // The q of every walk (see below): zeros for the longest walk.
    std::vector<double> q;
    // A measure over an allocation's walk: the row engine's walk over a
    // word whose counts are that allocation, sparse while the allocation
    // may hold few parts, else dense (over arrays kept at zero between
    // walks). Few is an eighth of the parts for KL and S, whose absent parts
    // add nothing, and a sixty-fourth for DP and D_P, which take each run of
    // absent parts in bulk steps that cost several additions (measured on
    // bench_recent's corpus). DP, D_P, KL and S read a part's count and
    // size, not its normalised frequency: the walks' q are left at zero.
    constexpr std::size_t adds_nothing_absent = 8;
    constexpr std::size_t runs_of_absent = 64;
    const auto at = [&](const Allocation& allocation, auto measure, std::size_t sparse_share) {
        const std::span<const std::uint64_t> counts = allocation.counts;
        const std::span<const std::uint32_t> placed = falling.subspan(allocation.first);
        if (counts.size() * sparse_share <= n) {
            const auto k = static_cast<std::size_t>(std::count_if(
                counts.begin(), counts.end(), [](std::uint64_t c) { return c > 0; }));
            // In part order: a sort of few parts, else a pass over them all.
            held.clear();
            if (k * 64 <= n) {
                for (std::size_t j = 0; j < counts.size(); ++j) {
                    if (counts[j] > 0) {
                        held.emplace_back(placed[j], static_cast<double>(counts[j]));
                    }
                }
                std::sort(held.begin(), held.end());
            } else {
                const std::span<const std::uint32_t> places = parts->places();
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t j = places[i] - allocation.first;
                    if (places[i] >= allocation.first && j < counts.size() && counts[j] > 0) {
                        held.emplace_back(static_cast<std::uint32_t>(i),
                                          static_cast<double>(counts[j]));
                    }
                }
            }
            at_parts.resize(k);
            std::vector<double> sparse_v(k);
            for (std::size_t e = 0; e < k; ++e) {
                at_parts[e] = held[e].first;
                sparse_v[e] = held[e].second;
            }
            q.resize(std::max(q.size(), k), 0.0);
            return measure(SparseWalk(at_parts.data(), sparse_v.data(), q.data(), k,
                                      relative_.data(), n));
        }
        if (v.empty()) {
            v.assign(n, 0.0);
            q.resize(n, 0.0);
        }
        for (std::size_t j = 0; j < counts.size(); ++j) {
            if (counts[j] > 0) {
                const std::uint32_t part = placed[j];
                v[part] = static_cast<double>(counts[j]);
            }
        }
        const double value = measure(DenseWalk(v.data(), q.data(), relative_.data(), n));
        if (counts.size() * 4 <= n) {
            for (std::size_t j = 0; j < counts.size(); ++j) {
                v[placed[j]] = 0.0;
            }
        } else {
            std::fill(v.begin(), v.end(), 0.0);
        }
        return value;
    };
    const AbsentTerms* absent = absent_.get();
    const auto deviation = [&](const auto& walk) { return dp(walk, fd, absent); };
    const auto egbert = [&](const auto& walk) {
        return egbert_dp(walk, fd, range_of(walk), dp(walk, fd, absent));
    };
    const auto dkl = [&](const auto& walk) {
        return dkl_o2p(kl_divergence(walk, fd), fd);
    };
    const auto s = [&](const auto& walk) { return roschengren_s_adj(walk, fd); };

    Allocation least;
    concentrated(*parts, f, least);
    Allocation most;
    if ((families & dp_extremes) != 0) {
        largest_remainders(*parts, f, most);
        into.dp = {at(least, deviation, runs_of_absent), at(most, deviation, runs_of_absent)};
    }
    if ((families & egbert_extremes) != 0 && parts->relative_total() <= relative_total_limit) {
        if (parts->usable() > 1) {
            most_even_egbert(*parts, f, most);
        } else {
            most = least;
        }
        into.egbert_dp = {at(least, egbert, runs_of_absent), at(most, egbert, runs_of_absent)};
    }
    if ((families & dkl_extremes) != 0) {
        least_divergence(*parts, f, most);
        into.dkl = {at(least, dkl, adds_nothing_absent), at(most, dkl, adds_nothing_absent)};
    }
    if ((families & rosengren_s_extremes) != 0) {
        largest_root_sum(*parts, f, most);
        into.rosengren_s = {at(least, s, adds_nothing_absent), at(most, s, adds_nothing_absent)};
    }
}

}  // namespace lexispan
