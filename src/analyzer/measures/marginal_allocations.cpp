// The rules of KL and Rosengren's S: the f best marginal tokens, found by a
// threshold on a scale K (each part's count is about K s_i) and ordered by
// cost only where the threshold leaves the choice open.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "analyzer/measures/allocations.hpp"

namespace lexispan {

namespace {

// floor(x) for x >= 0, by truncation (a long SSE2 sequence otherwise);
// beyond any count the searches reach, capped.
std::uint64_t whole_part(double x) noexcept {
    constexpr double cap = 0x1p62;
    return x < cap ? static_cast<std::uint64_t>(static_cast<std::int64_t>(x))
                   : static_cast<std::uint64_t>(cap);
}

// Delta(v) = (v + 1) ln(v + 1) - v ln v, the cost of a part's (v + 1)th
// token in KL's scale.
double divergence_step(std::uint64_t v) noexcept {
    if (v == 0) {
        return 0.0;
    }
    const auto x = static_cast<double>(v);
    return std::log(x + 1.0) + x * std::log1p(1.0 / x);
}

// The tokens a part gets below KL's threshold 1 + ln K, x = K s_i: its
// count is floor(x) or floor(x) + 1, since 1 + ln v < Delta(v) <=
// 1 + ln(v + 1/2); Delta is evaluated only where the two bounds leave the
// choice open (Delta(v) >= 1 + ln c - 1/(20 c^2) with c = v + 1/2).
std::uint64_t divergence_count(double x) noexcept {
    constexpr double inverse_e = 0.36787944117144233;
    if (!(x >= inverse_e)) {
        return 0;
    }
    const std::uint64_t whole = whole_part(x);
    const auto v = static_cast<double>(whole);
    if (whole == 0) {
        return 1;
    }
    const double gap = 0.5 - (x - v);
    if (gap <= 0.0) {
        return whole + 1;
    }
    if (gap > 0.125 / (v + 0.5)) {
        return whole;
    }
    return divergence_step(whole) <= 1.0 + std::log(x) ? whole + 1 : whole;
}

// The tokens whose gain in the sum of roots is at least theta, y = K s_i
// with K = 1 / (4 theta^2): sqrt(v) + sqrt(v + 1) <= 2 sqrt(y).
std::uint64_t root_count(double y) noexcept {
    if (!(y >= 0.25)) {
        return 0;
    }
    return whole_part(y + 0.5 + 0.0625 / y);
}

// The sum of the counts at a scale K over parts by falling size: each
// count falls with the size, so the parts holding at least j tokens are a
// prefix, found by a binary search when the counts are few (j levels cost
// j log m evaluations), else by one pass.
template <class Count>
class CountSums {
public:
    CountSums(std::span<const double> relative, Count count) : relative_(relative), count_(count) {}

    [[nodiscard]] bool by_levels(double scale) const {
        const auto m = static_cast<double>(relative_.size());
        return static_cast<double>(count_(scale * relative_[0])) * (std::log2(m) + 1.0) * 4.0 < m;
    }
    // The ends of the prefixes of parts holding at least 1, 2, ... tokens,
    // while their sum stays at most `enough`; the sum.
    std::uint64_t levels(double scale, std::uint64_t enough, std::vector<std::size_t>& ends) const {
        ends.clear();
        std::uint64_t sum = 0;
        auto end = relative_.end();
        const std::uint64_t top = count_(scale * relative_[0]);
        for (std::uint64_t j = 1; j <= top && sum <= enough; ++j) {
            end = std::partition_point(relative_.begin(), end,
                                       [&](double s) { return count_(scale * s) >= j; });
            ends.push_back(static_cast<std::size_t>(end - relative_.begin()));
            sum += ends.back();
        }
        return sum;
    }
    // The sum at `scale`, or some sum above `enough` once it is passed.
    [[nodiscard]] std::uint64_t at(double scale, std::uint64_t enough) {
        if (by_levels(scale)) {
            return levels(scale, enough, ends_);
        }
        std::uint64_t sum = 0;
        for (const double s : relative_) {
            sum += count_(scale * s);
        }
        return sum;
    }

private:
    std::span<const double> relative_;
    Count count_;
    std::vector<std::size_t> ends_;
};

// Two scales whose sums bracket f, at most `narrow` apart unless the search
// runs out of steps: from K = f / (the sum of s), scaled in proportion to
// the sum until f is bracketed, then the Illinois method.
struct Bracket {
    double low;
    double high;
};
template <class Count>
Bracket bracket_of(CountSums<Count>& sums, std::uint64_t f, double total,
                   std::uint64_t aim, std::uint64_t narrow) {
    const std::uint64_t enough = 2 * f + 64;
    const auto fm = static_cast<double>(f);
    double low = 0.0;
    double high = fm / total;
    std::uint64_t sum_low = 0;
    std::uint64_t sum_high = sums.at(high, enough);
    while (sum_high < f) {
        low = high;
        sum_low = sum_high;
        high *= sum_high > 0 ? std::min(2.0, static_cast<double>(f + aim) /
                                                 static_cast<double>(sum_high))
                             : 2.0;
        sum_high = sums.at(high, enough);
    }
    if (low == 0.0 && sum_high > f + aim && f > aim) {
        const double below = high * static_cast<double>(f - aim) / static_cast<double>(sum_high);
        const std::uint64_t sum = sums.at(below, enough);
        if (sum <= f) {
            low = below;
            sum_low = sum;
        } else {
            high = below;
            sum_high = sum;
        }
    }
    double weight_low = static_cast<double>(sum_low) - fm;
    double weight_high = static_cast<double>(sum_high) - fm;
    int kept = 0;
    for (int step = 0; step < 60 && sum_high - sum_low > narrow && sum_low < f && sum_high > f;
         ++step) {
        double scale = (low * weight_high - high * weight_low) / (weight_high - weight_low);
        if (!(scale > low && scale < high)) {
            scale = 0.5 * (low + high);
            if (!(scale > low && scale < high)) {
                break;
            }
        }
        const std::uint64_t sum = sums.at(scale, enough);
        if (sum <= f) {
            low = scale;
            sum_low = sum;
            weight_low = static_cast<double>(sum) - fm;
            weight_high *= kept < 0 ? 0.5 : 1.0;
            kept = -1;
        } else {
            high = scale;
            sum_high = sum;
            weight_high = static_cast<double>(sum) - fm;
            weight_low *= kept > 0 ? 0.5 : 1.0;
            kept = 1;
        }
    }
    // A scale whose counts add up to f is both ends: no token is left to
    // order (with the other end far off, every token between would be).
    if (sum_high == f) {
        return {high, high};
    }
    if (sum_low == f) {
        return {low, low};
    }
    return {low, high};
}

// Candidate tokens, in a strict order (cost, part, count).
struct Candidate {
    double cost;
    std::uint32_t part;
    std::uint64_t count;
    std::size_t place;
};

// The `take` best candidates added to `counts`.
void take_best(std::vector<Candidate>& candidates, std::size_t take,
               std::vector<std::uint64_t>& counts) {
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(take),
                     candidates.end(), [](const Candidate& a, const Candidate& b) {
                         if (a.cost != b.cost) {
                             return a.cost < b.cost;
                         }
                         return a.part != b.part ? a.part < b.part : a.count < b.count;
                     });
    for (std::size_t c = 0; c < take; ++c) {
        ++counts[candidates[c].place];
    }
}

// The f best marginals of the m = min(f, usable) largest parts (no other
// part can take one), each part's marginals worsening with its count: the
// counts at two scales that bracket f, and the tokens between them by cost.
// Few tokens a part: both counts are read off their levels, and the
// candidates are the places between a level's two ends.
template <class Count, class Cost>
void by_marginals(const PartOrder& order, std::uint64_t f, Count count, Cost cost,
                  Allocation& out) {
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(f, order.usable()));
    const std::span<const double> relative = order.falling_relative().first(m);
    const std::span<const std::uint32_t> parts = order.by_falling_size();
    double total = 0.0;
    for (const double s : relative) {
        total += s;
    }
    // The counts round K s_i, so a bracket a few times sqrt(m) wide is
    // cheap to find and leaves few tokens to order.
    const auto aim = static_cast<std::uint64_t>(0.5 * std::sqrt(static_cast<double>(m))) + 4;
    const std::uint64_t narrow = 4 * aim + 16;
    // Wider than the search leaves a bracket (ties move the sum by up to m).
    const std::uint64_t wide = 4 * narrow + m;
    CountSums sums(relative, count);
    Bracket scales = bracket_of(sums, f, total, aim, narrow);
    std::vector<Candidate> candidates;
    out.first = 0;
    if (sums.by_levels(scales.high)) {
        constexpr auto every = ~std::uint64_t{0};
        std::vector<std::size_t> ends_low;
        std::vector<std::size_t> ends_high;
        const std::uint64_t sum_low = sums.levels(scales.low, every, ends_low);
        const std::uint64_t sum_high = sums.levels(scales.high, every, ends_high);
        if (sum_low <= f && f <= sum_high && sum_high - sum_low <= wide && !ends_high.empty()) {
            std::vector<std::uint64_t>& counts = out.counts;
            counts.assign(std::max(ends_high[0], ends_low.empty() ? 0 : ends_low[0]), 0);
            for (const std::size_t end : ends_low) {
                for (std::size_t k = 0; k < end; ++k) {
                    ++counts[k];
                }
            }
            candidates.reserve(static_cast<std::size_t>(sum_high - sum_low));
            for (std::size_t j = 0; j < ends_high.size(); ++j) {
                for (std::size_t k = j < ends_low.size() ? ends_low[j] : 0; k < ends_high[j]; ++k) {
                    candidates.push_back({cost(k, j), parts[k], j, k});
                }
            }
            const auto take = static_cast<std::size_t>(f - sum_low);
            if (take <= candidates.size()) {
                take_best(candidates, take, counts);
                return;
            }
            candidates.clear();
        }
    }
    std::vector<std::uint64_t> low(m);
    std::vector<std::uint64_t> high(m);
    std::uint64_t sum_low = 0;
    std::uint64_t sum_high = 0;
    const auto fill = [&]() {
        sum_low = 0;
        sum_high = 0;
        for (std::size_t k = 0; k < m; ++k) {
            low[k] = count(scales.low * relative[k]);
            high[k] = std::max(low[k], count(scales.high * relative[k]));
            sum_low += low[k];
            sum_high += high[k];
        }
    };
    fill();
    // The search's sums may differ from the pass's by a rounding: a wrong
    // end is moved, and a bracket left wide is narrowed with passes.
    while (sum_low > f) {
        scales.low *= 0.5;
        fill();
    }
    while (sum_high < f) {
        scales.high *= 2.0;
        fill();
    }
    std::vector<std::uint64_t> trial(m);
    bool narrowed = false;
    for (int step = 0; step < 64 && sum_high - sum_low > wide; ++step) {
        const double share = static_cast<double>(f - sum_low) /
                             static_cast<double>(sum_high - sum_low);
        const double scale = scales.low + (scales.high - scales.low) *
                                              std::clamp(share, 0.0625, 0.9375);
        if (!(scale > scales.low && scale < scales.high)) {
            break;
        }
        std::uint64_t sum = 0;
        for (std::size_t k = 0; k < m; ++k) {
            trial[k] = count(scale * relative[k]);
            sum += trial[k];
        }
        if (sum <= f) {
            scales.low = scale;
            sum_low = sum;
            low.swap(trial);
        } else {
            scales.high = scale;
            sum_high = sum;
            high.swap(trial);
        }
        narrowed = true;
    }
    if (narrowed) {
        for (std::size_t k = 0; k < m; ++k) {
            high[k] = std::max(high[k], low[k]);
        }
    }
    candidates.reserve(static_cast<std::size_t>(sum_high - sum_low));
    for (std::size_t k = 0; k < m; ++k) {
        for (std::uint64_t v = low[k]; v < high[k]; ++v) {
            candidates.push_back({cost(k, v), parts[k], v, k});
        }
    }
    take_best(candidates, static_cast<std::size_t>(f - sum_low), low);
    out.counts.swap(low);
}

}  // namespace

void least_divergence(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const double> relative = order.falling_relative();
    by_marginals(order, f, [](double x) { return divergence_count(x); },
                 [&](std::size_t place, std::uint64_t v) {
                     return divergence_step(v) - std::log(relative[place]);
                 },
                 out);
}

void largest_root_sum(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const double> relative = order.falling_relative();
    by_marginals(order, f, [](double y) { return root_count(y); },
                 [&](std::size_t place, std::uint64_t v) {
                     const auto x = static_cast<double>(v);
                     return -std::sqrt(relative[place]) / (std::sqrt(x + 1.0) + std::sqrt(x));
                 },
                 out);
}

}  // namespace lexispan
