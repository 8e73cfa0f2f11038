// The allocations of f whole tokens to the parts that make a measure as
// dispersed or as concentrated as it can be for that f: the extremes that
// the frequency-adjusted measures place a word between. Only parts of
// positive size take tokens (a part without text holds no word). Each rule
// is exact in real arithmetic: the tests hold it to an exhaustive search
// over every allocation; in doubles, allocations whose values differ by a
// rounding may be taken for one another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lexispan {

// The parts of a call that take tokens (relative size s_i > 0 and finite),
// in the order the rules read them; built once per call.
class PartOrder {
public:
    explicit PartOrder(std::span<const double> relative);

    [[nodiscard]] std::span<const double> relative() const noexcept { return relative_; }
    // The parts that take tokens, by falling s_i, equal sizes by part.
    [[nodiscard]] std::span<const std::uint32_t> by_falling_size() const noexcept {
        return falling_;
    }
    // Their s_i in that order.
    [[nodiscard]] std::span<const double> falling_relative() const noexcept {
        return falling_relative_;
    }
    // Each part's place in that order; `no_place` for a part that takes none.
    [[nodiscard]] std::span<const std::uint32_t> places() const noexcept { return places_; }
    static constexpr std::uint32_t no_place = 0xFFFFFFFFU;
    [[nodiscard]] std::size_t usable() const noexcept { return falling_.size(); }
    // The sum of their s_i (1 when the part sizes add up to T).
    [[nodiscard]] double relative_total() const noexcept { return relative_total_; }

private:
    std::span<const double> relative_;
    std::vector<std::uint32_t> falling_;
    std::vector<double> falling_relative_;
    std::vector<std::uint32_t> places_;
    double relative_total_ = 0.0;
};

// f tokens over the parts by their place in the falling order: counts[j]
// tokens to the part at place first + j, none to the others.
struct Allocation {
    std::size_t first = 0;
    std::vector<std::uint64_t> counts;
};

// The rules below take f whole, 1 <= f <= 2^53, and a PartOrder with at
// least one usable part; each replaces `out`.
//
// Every token in the first of the smallest parts: the least dispersed
// allocation for DP, KL, Rosengren's S and D_P (one part).
void concentrated(const PartOrder& order, std::uint64_t f, Allocation& out);
// Largest remainders: floor(s_i f) in each part, then one more in the r
// parts with the largest fractional parts of s_i f (r = f - the sum of the
// floors; ties by part). Maximises the sum of min(v_i, s_i f), so DP is
// least. When the floors exceed f (parts larger than T), the floors in part
// order until f is spent.
void largest_remainders(const PartOrder& order, std::uint64_t f, Allocation& out);
// The f smallest marginal costs Delta(v) - ln s_i of a token added to a
// part holding v, Delta(v) = (v + 1) ln(v + 1) - v ln v: the least KL
// divergence (KL is convex and separable in the v_i). Not the largest
// remainders: (5, 0, ...) beats (4, 1, 0, ...) for s = (0.6, 0.04 x 10),
// f = 5.
void least_divergence(const PartOrder& order, std::uint64_t f, Allocation& out);
// The f largest marginal gains sqrt(s_i) (sqrt(v + 1) - sqrt(v)): the
// largest sum of sqrt(s_i v_i) (concave and separable), so Rosengren's S
// is greatest.
void largest_root_sum(const PartOrder& order, std::uint64_t f, Allocation& out);
// The greatest D_P when the s_i add up to at most 1: for every size s_j,
// the best allocation whose smallest used part has size s_j (parts no
// smaller than s_j, at least one token in a part of size s_j, the rest by
// largest remainders) is scored in O(log n) from a Fenwick tree of the
// fractional parts as the sizes fall, so the whole rule costs O(n log n).
void most_even_egbert(const PartOrder& order, std::uint64_t f, Allocation& out);

}  // namespace lexispan
