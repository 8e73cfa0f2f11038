// D_P's most dispersed allocation: a sweep over the sizes, falling, that
// scores the best allocation whose smallest used part has each size from a
// Fenwick tree of the fractional parts.
#include <algorithm>
#include <limits>
#include <numeric>

#include "analyzer/measures/allocation_steps.hpp"
#include "analyzer/measures/allocations.hpp"

namespace lexispan {

namespace {

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

void most_even_egbert(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const std::uint32_t> parts = order.by_falling_size();
    const std::span<const double> relative = order.relative();
    const std::size_t n = parts.size();
    const auto fd = static_cast<double>(f);
    std::vector<std::uint64_t> whole(n);
    std::vector<double> fraction(n);
    for (std::size_t k = 0; k < n; ++k) {
        const allocation_steps::Scaled a = allocation_steps::scaled(relative[parts[k]], fd, f);
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
    allocation_steps::select_largest_fractions(pool, take, parts, fraction);
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
    out.first = 0;
    out.counts.swap(counts);
}

}  // namespace lexispan
