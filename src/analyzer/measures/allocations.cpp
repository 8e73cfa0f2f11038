// The extreme allocations: largest remainders, the marginal rules for KL
// and S by a threshold on a scale K (each part's count is about K s_i), and
// D_P's sweep over the sizes.
#include "analyzer/measures/allocations.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

namespace lexispan {

namespace {

// s f as floor and fraction, from the exact product (fma gives its low
// part). A fraction that rounds up to 1 is kept below the next whole.
struct Scaled {
    std::uint64_t whole;
    double fraction;
};
Scaled scaled(double s, double f, std::uint64_t cap) noexcept {
    const double high = s * f;
    const double low = std::fma(s, f, -high);
    double whole = std::floor(high);
    double fraction = (high - whole) + low;
    if (fraction < 0.0) {
        whole -= 1.0;
        fraction += 1.0;
    }
    const auto limit = static_cast<double>(cap);
    return {whole >= limit ? cap : static_cast<std::uint64_t>(whole), fraction};
}

// The allocation from counts per part (any order), parts ascending: sorted
// when few parts hold tokens, else scattered over all `n` parts and read
// back in order.
void emit(std::span<const std::uint32_t> parts, std::span<const std::uint64_t> counts,
          std::size_t n, Allocation& out) {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> kept;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (counts[k] > 0) {
            kept.emplace_back(parts[k], counts[k]);
        }
    }
    out.parts.clear();
    out.counts.clear();
    if (kept.size() * 16 < n) {
        std::sort(kept.begin(), kept.end());
        for (const auto& [part, count] : kept) {
            out.parts.push_back(part);
            out.counts.push_back(static_cast<double>(count));
        }
        return;
    }
    std::vector<std::uint64_t> by_part(n);
    for (const auto& [part, count] : kept) {
        by_part[part] = count;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (by_part[i] > 0) {
            out.parts.push_back(static_cast<std::uint32_t>(i));
            out.counts.push_back(static_cast<double>(by_part[i]));
        }
    }
}

// Positions 0..count-1 whose `key` is largest, ties by part: the first
// `take` of `positions` after the call.
template <class Key>
void select_largest(std::vector<std::uint32_t>& positions, std::size_t take,
                    std::span<const std::uint32_t> parts, Key key) {
    if (take == 0 || take >= positions.size()) {
        return;
    }
    std::nth_element(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(take),
                     positions.end(), [&](std::uint32_t a, std::uint32_t b) {
                         const double ka = key(a);
                         const double kb = key(b);
                         return ka != kb ? ka > kb : parts[a] < parts[b];
                     });
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
    const double v = std::floor(x);
    const auto whole = static_cast<std::uint64_t>(v);
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
    return static_cast<std::uint64_t>(std::floor(y + 0.5 + 0.0625 / y));
}

// The f best marginals of the m = min(f, usable) largest parts (no other
// part can take one), each part's marginals worsening with its count:
// counts(K) are about K s_i, so K is bracketed where the total count
// crosses f, narrowed by interpolation, and the tokens between the two
// brackets' counts go by cost (a strict order: cost, part, count).
template <class Count, class Cost>
void by_marginals(const PartOrder& order, std::uint64_t f, Count count, Cost cost,
                  Allocation& out) {
    const std::span<const double> relative = order.relative();
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(f, order.usable()));
    const std::span<const std::uint32_t> parts = order.by_falling_size().first(m);
    double total = 0.0;
    for (const std::uint32_t part : parts) {
        total += relative[part];
    }
    std::vector<std::uint64_t> low(m);
    std::vector<std::uint64_t> high(m);
    const auto counts_at = [&](double scale, std::vector<std::uint64_t>& into) {
        std::uint64_t sum = 0;
        for (std::size_t k = 0; k < m; ++k) {
            into[k] = count(scale * relative[parts[k]]);
            sum += into[k];
        }
        return sum;
    };
    // Each count is within one of K s_i: these scales bracket f.
    const auto fm = static_cast<double>(f);
    const auto md = static_cast<double>(m);
    double scale_low = fm > md ? (fm - md) / total : 0.0;
    double scale_high = (fm + md) / total;
    std::uint64_t sum_low = counts_at(scale_low, low);
    while (sum_low > f) {  // only by rounding
        scale_low *= 0.5;
        sum_low = counts_at(scale_low, low);
    }
    std::uint64_t sum_high = counts_at(scale_high, high);
    while (sum_high < f) {
        scale_high *= 2.0;
        sum_high = counts_at(scale_high, high);
    }
    std::vector<std::uint64_t> trial(m);
    for (int step = 0; step < 64 && sum_high - sum_low > 32 && sum_low < f; ++step) {
        const double width = scale_high - scale_low;
        const double share = static_cast<double>(f - sum_low) /
                             static_cast<double>(sum_high - sum_low);
        const double scale =
            scale_low + width * std::clamp(share, 0.0625, 0.9375);
        if (!(scale > scale_low && scale < scale_high)) {
            break;
        }
        const std::uint64_t sum = counts_at(scale, trial);
        if (sum <= f) {
            scale_low = scale;
            sum_low = sum;
            low.swap(trial);
        } else {
            scale_high = scale;
            sum_high = sum;
            high.swap(trial);
        }
    }
    struct Candidate {
        double cost;
        std::uint32_t part;
        std::uint64_t count;
        std::size_t position;
    };
    std::vector<Candidate> candidates;
    for (std::size_t k = 0; k < m; ++k) {
        for (std::uint64_t v = low[k]; v < high[k]; ++v) {
            candidates.push_back({cost(parts[k], v), parts[k], v, k});
        }
    }
    const auto take = static_cast<std::size_t>(f - sum_low);
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(take),
                     candidates.end(), [](const Candidate& a, const Candidate& b) {
                         if (a.cost != b.cost) {
                             return a.cost < b.cost;
                         }
                         return a.part != b.part ? a.part < b.part : a.count < b.count;
                     });
    for (std::size_t c = 0; c < take; ++c) {
        ++low[candidates[c].position];
    }
    emit(parts, low, relative.size(), out);
}

// A Fenwick tree over ranks 1..n of the fractional parts (largest first):
// how many are present and their sum, and the sum of the r largest present.
class TopSums {
public:
    explicit TopSums(std::size_t n) : count_(n + 1), sum_(n + 1), total_count_(0) {
        while ((std::size_t{1} << (levels_ + 1)) <= n) {
            ++levels_;
        }
    }
    void insert(std::size_t rank, double value) noexcept {
        ++total_count_;
        total_sum_ += value;
        for (std::size_t i = rank; i < count_.size(); i += i & (~i + 1)) {
            ++count_[i];
            sum_[i] += value;
        }
    }
    [[nodiscard]] double largest(std::uint64_t r) const noexcept {
        if (r >= total_count_) {
            return total_sum_;
        }
        std::size_t position = 0;
        std::uint64_t seen = 0;
        double sum = 0.0;
        for (std::size_t step = std::size_t{1} << levels_; step > 0; step >>= 1) {
            const std::size_t next = position + step;
            if (next < count_.size() && seen + count_[next] <= r) {
                position = next;
                seen += count_[next];
                sum += sum_[next];
            }
        }
        return sum;
    }

private:
    std::vector<std::uint64_t> count_;
    std::vector<double> sum_;
    std::uint64_t total_count_;
    double total_sum_ = 0.0;
    unsigned levels_ = 0;
};

}  // namespace

PartOrder::PartOrder(std::span<const double> relative) : relative_(relative) {
    for (std::size_t i = 0; i < relative.size(); ++i) {
        if (relative[i] > 0.0 && std::isfinite(relative[i])) {
            falling_.push_back(static_cast<std::uint32_t>(i));
        }
    }
    std::stable_sort(falling_.begin(), falling_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return relative[a] > relative[b];
    });
    for (const std::uint32_t part : falling_) {
        relative_total_ += relative[part];
    }
}

void concentrated(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const std::uint32_t> falling = order.by_falling_size();
    // The last run of equal sizes holds the smallest; its first part.
    std::size_t k = falling.size() - 1;
    while (k > 0 && order.relative()[falling[k - 1]] == order.relative()[falling[k]]) {
        --k;
    }
    out.parts.assign(1, falling[k]);
    out.counts.assign(1, static_cast<double>(f));
}

void largest_remainders(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const std::uint32_t> parts = order.by_falling_size();
    const std::span<const double> relative = order.relative();
    const std::size_t n = parts.size();
    std::vector<std::uint64_t> counts(n);
    std::vector<double> fractions(n);
    std::uint64_t floors = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const Scaled a = scaled(relative[parts[k]], static_cast<double>(f), f);
        counts[k] = a.whole;
        fractions[k] = a.fraction;
        floors = std::min(f, floors + a.whole);
    }
    if (floors == f) {
        // The floors alone reach f: spend f on them in part order.
        std::vector<std::uint32_t> by_part(n);
        std::iota(by_part.begin(), by_part.end(), 0U);
        std::sort(by_part.begin(), by_part.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return parts[a] < parts[b]; });
        std::uint64_t left = f;
        for (const std::uint32_t k : by_part) {
            counts[k] = std::min(counts[k], left);
            left -= counts[k];
        }
        emit(parts, counts, relative.size(), out);
        return;
    }
    std::uint64_t extra = f - floors;
    std::vector<std::uint32_t> positions(n);
    std::iota(positions.begin(), positions.end(), 0U);
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(extra, n));
    select_largest(positions, take, parts, [&](std::uint32_t k) { return fractions[k]; });
    for (std::size_t c = 0; c < take; ++c) {
        ++counts[positions[c]];
    }
    // Parts smaller than T in all: tokens beyond every remainder gain
    // nothing wherever they go.
    counts[0] += extra - take;
    emit(parts, counts, relative.size(), out);
}

void least_divergence(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const double> relative = order.relative();
    by_marginals(order, f, divergence_count,
                 [&](std::uint32_t part, std::uint64_t v) {
                     return divergence_step(v) - std::log(relative[part]);
                 },
                 out);
}

void largest_root_sum(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const double> relative = order.relative();
    by_marginals(order, f, root_count,
                 [&](std::uint32_t part, std::uint64_t v) {
                     const auto x = static_cast<double>(v);
                     return -std::sqrt(relative[part]) / (std::sqrt(x + 1.0) + std::sqrt(x));
                 },
                 out);
}


void most_even_egbert(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const std::uint32_t> parts = order.by_falling_size();
    const std::span<const double> relative = order.relative();
    const std::size_t n = parts.size();
    const auto fd = static_cast<double>(f);
    std::vector<std::uint64_t> whole(n);
    std::vector<double> fraction(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Scaled a = scaled(relative[parts[k]], fd, f);
        whole[k] = a.whole;
        fraction[k] = a.fraction;
    }
    std::vector<std::uint32_t> ranked(n);
    std::iota(ranked.begin(), ranked.end(), 0U);
    std::sort(ranked.begin(), ranked.end(), [&](std::uint32_t a, std::uint32_t b) {
        return fraction[a] != fraction[b] ? fraction[a] > fraction[b] : parts[a] < parts[b];
    });
    std::vector<std::size_t> rank(n);
    for (std::size_t j = 0; j < n; ++j) {
        rank[ranked[j]] = j + 1;
    }
    // Sizes falling: the parts no smaller than the current size are in the
    // tree. With G the largest sum of min(v_i, s_i f) whose smallest used
    // part has this size, DP = (1 + S) / 2 - G / f and D_P = 1 - DP / (1 - s).
    TopSums top(n);
    const double half_total = 0.5 * (1.0 + order.relative_total());
    double best = -std::numeric_limits<double>::infinity();
    std::size_t best_start = 0;
    std::size_t best_end = 0;
    std::uint64_t floors = 0;
    for (std::size_t k = 0; k < n;) {
        std::size_t e = k;
        while (e < n && relative[parts[e]] == relative[parts[k]]) {
            floors = std::min(f, floors + whole[e]);
            ++e;
        }
        double gain = 0.0;
        if (whole[k] >= 1) {
            for (std::size_t j = k; j < e; ++j) {
                top.insert(rank[j], fraction[j]);
            }
            gain = static_cast<double>(floors) + top.largest(f - floors);
        } else {
            // The first part of the size takes the one token it must.
            for (std::size_t j = k + 1; j < e; ++j) {
                top.insert(rank[j], fraction[j]);
            }
            gain = floors < f ? fraction[k] + static_cast<double>(floors) +
                                    top.largest(f - floors - 1)
                              : fraction[k] + (fd - 1.0);
            top.insert(rank[k], fraction[k]);
        }
        // One part alone gets every token, and D_P 0.
        const double value =
            e >= 2 ? 1.0 - (half_total - gain / fd) / (1.0 - relative[parts[k]]) : 0.0;
        if (value > best) {
            best = value;
            best_start = k;
            best_end = e;
        }
        k = e;
    }
    // The winner again: its floors, the forced token, the largest remainders.
    std::vector<std::uint64_t> counts(whole.begin(),
                                      whole.begin() + static_cast<std::ptrdiff_t>(best_end));
    std::uint64_t floors_used = 0;
    for (const std::uint64_t w : counts) {
        floors_used = std::min(f, floors_used + w);
    }
    const bool forced = whole[best_start] == 0;
    std::vector<std::uint32_t> pool;
    for (std::size_t j = 0; j < best_end; ++j) {
        if (!(forced && j == best_start)) {
            pool.push_back(static_cast<std::uint32_t>(j));
        }
    }
    const std::uint64_t spent = floors_used + (forced ? 1 : 0);
    if (forced) {
        counts[best_start] = 1;
    }
    const std::uint64_t extra = f > spent ? f - spent : 0;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(extra, pool.size()));
    select_largest(pool, take, parts, [&](std::uint32_t k) { return fraction[k]; });
    for (std::size_t c = 0; c < take; ++c) {
        ++counts[pool[c]];
    }
    counts[best_start] += extra - take;
    // Floors beyond f (sizes adding up to just over 1 by rounding): the
    // excess comes off the largest parts.
    for (std::size_t j = 0, over = spent > f ? spent - f : 0; over > 0 && j < best_end; ++j) {
        const std::uint64_t keep = forced && j == best_start ? 1 : 0;
        const std::uint64_t cut = std::min<std::uint64_t>(over, counts[j] - keep);
        counts[j] -= cut;
        over -= cut;
    }
    emit(parts.first(best_end), counts, relative.size(), out);
}

}  // namespace lexispan
