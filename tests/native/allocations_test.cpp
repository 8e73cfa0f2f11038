// The extreme allocations against plain forms of their rules, on random part
// sizes (equal, few distinct, spread over five orders of magnitude, some
// parts empty) and frequencies below, at and far above the number of parts:
// the largest remainders against a full sort of every part's fraction, the
// marginal rules of KL and S against a greedy pass that adds the best token
// f times (their objective within 1e-12; rounding may swap near-equal
// allocations).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <queue>
#include <random>
#include <tuple>
#include <vector>

#include "analyzer/measures/allocation_steps.hpp"
#include "analyzer/measures/allocations.hpp"
#include "check.hpp"

using namespace lexispan;

namespace {

using Counts = std::vector<std::uint64_t>;

Counts by_part(const PartOrder& order, const Allocation& allocation) {
    Counts counts(order.relative().size());
    for (std::size_t j = 0; j < allocation.counts.size(); ++j) {
        counts[order.by_falling_size()[allocation.first + j]] += allocation.counts[j];
    }
    return counts;
}

Counts plain_remainders(const PartOrder& order, std::uint64_t f) {
    const auto falling = order.by_falling_size();
    Counts counts(order.relative().size());
    std::vector<double> fraction(counts.size());
    std::uint64_t floors = 0;
    for (const std::uint32_t part : falling) {
        const auto a = allocation_steps::scaled(order.relative()[part], static_cast<double>(f), f);
        counts[part] = a.whole;
        fraction[part] = a.fraction;
        floors = std::min(f, floors + a.whole);
    }
    std::vector<std::uint32_t> parts(falling.begin(), falling.end());
    if (floors == f) {
        std::sort(parts.begin(), parts.end());
        std::uint64_t left = f;
        for (const std::uint32_t part : parts) {
            counts[part] = std::min(counts[part], left);
            left -= counts[part];
        }
        return counts;
    }
    std::sort(parts.begin(), parts.end(), [&](std::uint32_t a, std::uint32_t b) {
        return fraction[a] != fraction[b] ? fraction[a] > fraction[b] : a < b;
    });
    const std::uint64_t extra = f - floors;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(extra, parts.size()));
    for (std::size_t c = 0; c < take; ++c) {
        ++counts[parts[c]];
    }
    counts[falling[0]] += extra - take;
    return counts;
}

// The f tokens of least cost, one at a time; `cost(s, v)` is that of a
// part's (v + 1)th token and grows with v.
template <class Cost>
Counts greedy(const PartOrder& order, std::uint64_t f, Cost cost) {
    using Token = std::tuple<long double, std::uint32_t>;
    std::priority_queue<Token, std::vector<Token>, std::greater<>> next;
    Counts counts(order.relative().size());
    for (const std::uint32_t part : order.by_falling_size()) {
        next.emplace(cost(order.relative()[part], 0), part);
    }
    for (std::uint64_t t = 0; t < f; ++t) {
        const std::uint32_t part = std::get<1>(next.top());
        next.pop();
        ++counts[part];
        next.emplace(cost(order.relative()[part], counts[part]), part);
    }
    return counts;
}

// The cost of a part's (v + 1)th token: KL's (v + 1) ln(v + 1) - v ln v -
// ln s, without the cancellation of its two products; S's -sqrt(s) x
// (sqrt(v + 1) - sqrt(v)), its gain negated.
long double divergence_cost(double s, std::uint64_t v) {
    const auto x = static_cast<long double>(v);
    const long double step = v == 0 ? 0.0L : std::log(x + 1) + x * std::log1p(1 / x);
    return step - std::log(static_cast<long double>(s));
}

long double root_cost(double s, std::uint64_t v) {
    const auto x = static_cast<long double>(v);
    return -std::sqrt(static_cast<long double>(s)) / (std::sqrt(x + 1) + std::sqrt(x));
}

long double divergence(const PartOrder& order, const Counts& counts, std::uint64_t f) {
    long double sum = 0.0L;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] > 0) {
            const auto v = static_cast<long double>(counts[i]);
            sum += v * std::log(v / (static_cast<long double>(f) * order.relative()[i]));
        }
    }
    return sum / static_cast<long double>(f);
}

long double root_sum(const PartOrder& order, const Counts& counts) {
    long double sum = 0.0L;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        sum += std::sqrt(static_cast<long double>(order.relative()[i]) *
                         static_cast<long double>(counts[i]));
    }
    return sum;
}

void check_total(const PartOrder& order, const Counts& counts, std::uint64_t f) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        CHECK(counts[i] == 0 || order.places()[i] != PartOrder::no_place);
        total += counts[i];
    }
    CHECK(total == f);
}

std::vector<double> random_sizes(std::mt19937_64& rng, std::size_t n, int kind) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> sizes(n);
    for (double& c : sizes) {
        switch (kind) {
            case 0: c = 100.0; break;
            case 1: c = std::floor(1.0 + 999.0 * unit(rng)); break;
            case 2: c = std::floor(std::pow(10.0, 5.0 * unit(rng))); break;
            default: c = std::vector<double>{8.0, 16.0, 24.0, 1000.0}[rng() % 4]; break;
        }
        if (rng() % 17 == 0) {
            c = 0.0;
        }
    }
    sizes[rng() % n] = 50.0;
    return sizes;
}

}  // namespace

int main() {
    std::mt19937_64 rng(2112);
    std::size_t cases = 0;
    for (int round = 0; round < 160; ++round) {
        const std::size_t n = round % 40 == 0 ? 6000 : 1 + rng() % 1500;
        const std::vector<double> sizes = random_sizes(rng, n, round % 4);
        const double total = std::accumulate(sizes.begin(), sizes.end(), 0.0) *
                             (round % 3 == 0 ? 1.25 : 1.0);
        std::vector<double> relative(n);
        for (std::size_t i = 0; i < n; ++i) {
            relative[i] = sizes[i] / total;
        }
        const PartOrder order(relative);
        const std::uint64_t usable = order.usable();
        const std::uint64_t choices[] = {1, 2, usable / 3 + 1, usable, usable + 1,
                                         3 * usable + 7, 1 + rng() % (20 * usable + 1)};
        const std::uint64_t f = choices[rng() % 7];
        Allocation allocation;

        largest_remainders(order, f, allocation);
        CHECK_MSG(by_part(order, allocation) == plain_remainders(order, f),
                  "largest remainders, n " + std::to_string(n) + " f " + std::to_string(f));

        least_divergence(order, f, allocation);
        const Counts least = by_part(order, allocation);
        check_total(order, least, f);
        const Counts best_kl = greedy(order, f, divergence_cost);
        const long double kl = divergence(order, least, f);
        const long double kl_best = divergence(order, best_kl, f);
        CHECK_MSG(std::fabs(kl - kl_best) <= 1e-12L * std::max(1.0L, std::fabs(kl_best)),
                  "least divergence, n " + std::to_string(n) + " f " + std::to_string(f));

        largest_root_sum(order, f, allocation);
        const Counts most = by_part(order, allocation);
        check_total(order, most, f);
        const Counts best_s = greedy(order, f, root_cost);
        const long double roots = root_sum(order, most);
        const long double roots_best = root_sum(order, best_s);
        CHECK_MSG(std::fabs(roots - roots_best) <= 1e-12L * roots_best,
                  "largest root sum, n " + std::to_string(n) + " f " + std::to_string(f));
        ++cases;
    }
    // Frequencies far beyond a greedy pass (up to 2^40 tokens): no token
    // moved from one part to another may lower the objective, within 1e-12
    // of a token's cost; one case is where the first scale's counts add up
    // to f exactly.
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = 1 + rng() % 60;
        const std::vector<double> sizes =
            round == 0 ? std::vector<double>{4351, 4805, 1434, 572, 3016, 3337, 3887}
                       : random_sizes(rng, n, round % 4);
        const double total = std::accumulate(sizes.begin(), sizes.end(), 0.0);
        std::vector<double> relative;
        for (const double c : sizes) {
            relative.push_back(c / total);
        }
        const PartOrder order(relative);
        const auto f = round == 0 ? std::uint64_t{538315776}
                                  : static_cast<std::uint64_t>(std::ldexp(
                                        1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52),
                                        static_cast<int>(10 + rng() % 30)));
        const auto stable = [&](const Counts& counts, auto cost) {
            long double cheapest_next = 1e300L;
            long double dearest_last = -1e300L;
            for (const std::uint32_t part : order.by_falling_size()) {
                const double s = relative[part];
                cheapest_next = std::min(cheapest_next, cost(s, counts[part]));
                if (counts[part] > 0) {
                    dearest_last = std::max(dearest_last, cost(s, counts[part] - 1));
                }
            }
            return dearest_last <= cheapest_next + 1e-12L * std::fabs(cheapest_next);
        };
        Allocation allocation;
        least_divergence(order, f, allocation);
        const Counts least = by_part(order, allocation);
        check_total(order, least, f);
        CHECK_MSG(stable(least, divergence_cost),
                  "least divergence, f " + std::to_string(f));
        largest_root_sum(order, f, allocation);
        const Counts most = by_part(order, allocation);
        check_total(order, most, f);
        CHECK_MSG(stable(most, root_cost),
                  "largest root sum, f " + std::to_string(f));
        ++cases;
    }
    // Sizes a rounding apart, growing with the part: products s f that round
    // alike break their tie by part, not by size.
    std::vector<double> close(64, 0.01);
    for (std::size_t i = 1; i < close.size(); ++i) {
        close[i] = std::nextafter(close[i - 1], 1.0);
    }
    const PartOrder order(close);
    for (std::uint64_t f = 1; f < 40; ++f) {
        Allocation allocation;
        largest_remainders(order, f, allocation);
        CHECK_MSG(by_part(order, allocation) == plain_remainders(order, f),
                  "largest remainders of close sizes, f " + std::to_string(f));
        ++cases;
    }
    std::printf("ok %zu cases\n", cases);
    return 0;
}
