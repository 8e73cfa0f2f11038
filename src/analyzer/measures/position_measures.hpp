// Distance-based dispersion from the token positions of each word (Savický &
// Hlaváčová 2002): ARF, AWT and ALD with their adjusted frequencies, and the
// grouping of a token stream's positions by word.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace lexispan {

// One word's values. With N the corpus length, f the word's positions and
// the cyclic gaps d_1 = p_1 + N - p_f, d_i = p_i - p_(i-1):
// arf = (1/v) sum of min(d_i, v) with v = N / f, formed exactly in integers
// as k + (S x f) / N (k gaps of at least v, S the sum of the others);
// awt = (1 + Q / N) / 2 and f_awt = N^2 / Q with Q = sum of d_i^2, an exact
// integer; ald = sum of (d_i / N) log10(d_i) in gap order from +0.0 and
// f_ald = N x 10^(-ald). A word without positions gets arf = f_awt = f_ald
// = 0 and awt = ald = +inf.
// mb is Nelson's MB (2025): the corpus cut into f chunks, position p in
// chunk floor(p f / N) (exact in integers), O the share of chunks without
// the word; 1 if O <= 1/e, else 1 - (O - 1/e) / (1 - 1/e); 0 without
// positions.
struct PositionValues {
    double arf = 0.0;
    double awt = 0.0;
    double f_awt = 0.0;
    double ald = 0.0;
    double f_ald = 0.0;
    double mb = 0.0;
};

// Which values a call computes: ARF and AWT need only integer gaps, ALD a
// logarithm per position.
struct PositionWants {
    bool arf = false;
    bool awt = false;  // awt or f_awt
    bool ald = false;  // ald or f_ald
    bool mb = false;
};

// The positions must be strictly ascending within [0, length), length > 0.
// Once `stop` is set the values are unspecified: a word of millions of
// positions looks at it every 2^20 of them.
[[nodiscard]] PositionValues position_values(const std::int64_t* positions, std::size_t count,
                                             std::int64_t length, PositionWants wants,
                                             const std::atomic<bool>* stop = nullptr) noexcept;

enum class PositionFault : std::uint8_t { unsorted, out_of_range };

// The first position of a word that breaks the rule, by index.
struct PositionComplaint {
    std::size_t word = 0;
    std::size_t at = 0;
    PositionFault fault = PositionFault::unsorted;
};
[[nodiscard]] std::optional<PositionComplaint> check_positions(const std::int64_t* positions,
                                                               std::size_t count,
                                                               std::int64_t length) noexcept;

// Counting sort of a token stream's word codes: order receives the token
// positions grouped by code, ascending within each code, and offsets
// (groups + 1 values) where each code's run starts. False, with nothing
// meaningful written, when a code is outside [0, groups).
[[nodiscard]] bool group_positions(const std::int64_t* codes, std::size_t count,
                                   std::size_t groups, std::int64_t* order,
                                   std::int64_t* offsets) noexcept;

}  // namespace lexispan
