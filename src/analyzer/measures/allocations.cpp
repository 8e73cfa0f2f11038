// The order of the parts, the steps the rules share, and the two rules of
// DP: every token in the smallest part, and the largest remainders.
#include "analyzer/measures/allocations.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "analyzer/measures/allocation_steps.hpp"

namespace lexispan {

namespace allocation_steps {

Scaled scaled(double s, double f, std::uint64_t cap) noexcept {
    const double high = s * f;
    const double low = std::fma(s, f, -high);
    // high >= 0: below 2^62 its floor is its truncation (SSE2 has no floor).
    double whole = high < 0x1p62 ? static_cast<double>(static_cast<std::int64_t>(high))
                                 : std::floor(high);
    double fraction = (high - whole) + low;
    if (fraction < 0.0) {
        whole -= 1.0;
        fraction += 1.0;
    }
    const auto limit = static_cast<double>(cap);
    return {whole >= limit ? cap : static_cast<std::uint64_t>(whole), fraction};
}

void select_largest_fractions(std::vector<std::uint32_t>& places, std::size_t take,
                              std::span<const std::uint32_t> parts,
                              std::span<const double> fractions) {
    if (take == 0 || take >= places.size()) {
        return;
    }
    const auto before = [&](std::uint32_t a, std::uint32_t b) {
        return fractions[a] != fractions[b] ? fractions[a] > fractions[b] : parts[a] < parts[b];
    };
    const auto take_end = places.begin() + static_cast<std::ptrdiff_t>(take);
    constexpr std::size_t buckets = 1024;
    if (places.size() <= 4 * buckets) {
        std::nth_element(places.begin(), take_end, places.end(), before);
        return;
    }
    // Many places: a count by the fraction's leading bits (exact, and never
    // lower for a larger fraction) finds the bucket that holds the cut, and
    // only that bucket is ordered.
    std::vector<std::uint16_t> bucket(fractions.size());
    std::array<std::size_t, buckets> sizes{};
    for (const std::uint32_t k : places) {
        const double x = fractions[k] * static_cast<double>(buckets);
        bucket[k] = static_cast<std::uint16_t>(
            x >= static_cast<double>(buckets - 1) ? buckets - 1
                                                  : (x > 0.0 ? static_cast<std::size_t>(x) : 0));
        ++sizes[bucket[k]];
    }
    std::size_t edge = buckets - 1;
    std::size_t above = 0;
    while (above + sizes[edge] < take) {
        above += sizes[edge];
        --edge;
    }
    const auto edge_begin = std::partition(places.begin(), places.end(),
                                           [&](std::uint32_t k) { return bucket[k] > edge; });
    const auto edge_end = std::partition(edge_begin, places.end(),
                                         [&](std::uint32_t k) { return bucket[k] == edge; });
    std::nth_element(edge_begin, take_end, edge_end, before);
}

}  // namespace allocation_steps

using allocation_steps::scaled;
using allocation_steps::Scaled;

PartOrder::PartOrder(std::span<const double> relative)
    : relative_(relative), places_(relative.size(), no_place) {
    for (std::size_t i = 0; i < relative.size(); ++i) {
        if (relative[i] > 0.0 && std::isfinite(relative[i])) {
            falling_.push_back(static_cast<std::uint32_t>(i));
        }
    }
    std::stable_sort(falling_.begin(), falling_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return relative[a] > relative[b];
    });
    falling_relative_.reserve(falling_.size());
    for (std::size_t k = 0; k < falling_.size(); ++k) {
        falling_relative_.push_back(relative[falling_[k]]);
        places_[falling_[k]] = static_cast<std::uint32_t>(k);
        relative_total_ += relative[falling_[k]];
    }
}

void concentrated(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const double> relative = order.falling_relative();
    // The last run of equal sizes holds the smallest; its first part.
    std::size_t k = relative.size() - 1;
    while (k > 0 && relative[k - 1] == relative[k]) {
        --k;
    }
    out.first = k;
    out.counts.assign(1, f);
}

void largest_remainders(const PartOrder& order, std::uint64_t f, Allocation& out) {
    const std::span<const std::uint32_t> parts = order.by_falling_size();
    const std::span<const double> relative = order.falling_relative();
    const std::size_t n = parts.size();
    const auto fd = static_cast<double>(f);
    // Sizes fall, so the parts given a whole token by s f come first; after
    // them each fraction is s f itself, falling too.
    const auto whole_end = static_cast<std::size_t>(
        std::partition_point(relative.begin(), relative.end(),
                             [&](double s) { return scaled(s, fd, f).whole >= 1; }) -
        relative.begin());
    std::vector<std::uint64_t> counts(whole_end);
    std::vector<double> fractions(whole_end);
    fractions.reserve(std::min(n, 2 * static_cast<std::size_t>(std::min<std::uint64_t>(f, n))));
    std::uint64_t floors = 0;
    for (std::size_t k = 0; k < whole_end; ++k) {
        const Scaled a = scaled(relative[k], fd, f);
        counts[k] = a.whole;
        fractions[k] = a.fraction;
        floors = std::min(f, floors + a.whole);
    }
    if (floors == f) {
        // The floors alone reach f: spend f on them in part order.
        std::vector<std::uint32_t> by_part(whole_end);
        std::iota(by_part.begin(), by_part.end(), 0U);
        std::sort(by_part.begin(), by_part.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return parts[a] < parts[b]; });
        std::uint64_t left = f;
        for (const std::uint32_t k : by_part) {
            counts[k] = std::min(counts[k], left);
            left -= counts[k];
        }
        out.first = 0;
        out.counts.swap(counts);
        return;
    }
    // After the wholes, no fraction below the extra-th one (or equal to it)
    // can be among the largest.
    const std::uint64_t extra = f - floors;
    std::size_t end = whole_end + static_cast<std::size_t>(
                                      std::min<std::uint64_t>(extra, n - whole_end));
    for (std::size_t k = whole_end; k < end; ++k) {
        fractions.push_back(scaled(relative[k], fd, f).fraction);
    }
    while (end < n && end > whole_end &&
           scaled(relative[end], fd, f).fraction == fractions.back()) {
        fractions.push_back(fractions.back());
        ++end;
    }
    counts.resize(end);
    std::vector<std::uint32_t> places(end);
    std::iota(places.begin(), places.end(), 0U);
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(extra, end));
    allocation_steps::select_largest_fractions(places, take, parts, fractions);
    for (std::size_t c = 0; c < take; ++c) {
        ++counts[places[c]];
    }
    // Parts smaller than T in all: tokens beyond every remainder gain
    // nothing wherever they go.
    counts[0] += extra - take;
    out.first = 0;
    out.counts.swap(counts);
}

}  // namespace lexispan
