// The parts-based measures of the field since 2020 that the record and the
// catalogue do not hold: Egbert, Burch & Biber's D_P, the DKL scalings,
// range by size, Nelson's D_MB, and the frequency-adjusted place of a value
// between the extremes a word of the same frequency could reach. Those that
// read the parts are written over a walk (compiled once per walk); the
// others are closed forms of values of the row or of its frequency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lexispan {

// D_P = 1 - DP / (1 - min{ s_i : v_i > 0 }) (Egbert, Burch & Biber 2020),
// from the row's DP and range: 0 when f is 0 or the word is found in at
// most one part; for n = 1, 1 when f > 0 (else 0); 0 when the denominator
// is below 1e-12 in magnitude, as for DPnorm.
template <class Walk>
[[nodiscard]] double egbert_dp(const Walk& walk, double f, std::int32_t range, double dp);

// The sum of s_i over the parts where v_i > 0, in part order from +0.0.
template <class Walk>
[[nodiscard]] double range_by_size(const Walk& walk);

// Whether every count is a whole number >= 0 (a row of tokens).
template <class Walk>
[[nodiscard]] bool whole_counts(const Walk& walk);

// KL (bits) made a dispersion in [0, 1], 1 = even (Gries 2021, 2024):
// 1 / (1 + KL), 2^-KL and e^-KL; 0 unless f > 0.
[[nodiscard]] double dkl_o2p(double kl, double f) noexcept;
[[nodiscard]] double dkl_base2(double kl, double f) noexcept;
[[nodiscard]] double dkl_base_e(double kl, double f) noexcept;

// D_MB's E at rate `lambda`: (1/n) x the sum of e^-(lambda x c_i) over
// the parts, in part order from +0.0 (the share of parts expected to lack a
// word of that rate, under a Poisson model); e^ is portable_exp.
[[nodiscard]] double expected_absent_share(std::span<const double> sizes, double lambda) noexcept;

// The part sizes of a call (finite, not negative) grouped for E: each
// distinct size once, ascending, and each part's place among them, so that
// E at a rate takes one exponential per distinct size (equal sizes are
// common: corpora cut into equal chunks), many at once, and the sums of up
// to three rates run side by side.
class AbsentShares {
public:
    explicit AbsentShares(std::span<const double> sizes);
    // E at each of `rates` into `shares` (as many), with the bits of
    // expected_absent_share over the sizes.
    void at(std::span<const double> rates, std::span<double> shares) const;

private:
    std::vector<double> distinct_;
    std::vector<std::size_t> place_;
};
// D_MB from E, the row's range and n: with O = (n - range) / n, 1 if
// O <= E, else 1 - (O - E) / (1 - E) (Nelson 2025).
[[nodiscard]] double dmb_from_share(double expected, std::int32_t range, std::size_t n) noexcept;

// Where `value` lies between the measure's values for the least and the
// most dispersed allocation of the word's tokens: (value - least) /
// (most - least), clamped to [0, 1]; NaN when the two are equal or any is
// NaN.
[[nodiscard]] double frequency_adjusted(double value, double least, double most) noexcept;

// Whether f is a number of tokens the extremes are defined for: a whole
// number from 1 to 2^53.
[[nodiscard]] bool allocatable_frequency(double f) noexcept;

}  // namespace lexispan
