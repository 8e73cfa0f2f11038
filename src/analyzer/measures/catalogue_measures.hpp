// The parts-based measures of the field's reference tools that the record
// does not hold (IDF, Engwall, Juilland's U and equal-parts D, Carroll's Um,
// Rosengren's KF, Zhang's DC, chi-squared and Lyne's D3, Kromer's U_R, ...):
// one function per measure, over a walk of the parts as the record's are
// (compiled once per walk), or in closed form from other values of the row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lexispan {

// log2(n / range); +inf for a word found in no part.
[[nodiscard]] double inverse_document_frequency(std::int32_t range, std::size_t n) noexcept;

// max v_i - min v_i over all n parts, as +0.0 when they are equal; NaN when
// any v_i is (the first one met).
template <class Walk>
[[nodiscard]] double max_min_spread(const Walk& walk);

// f x range / n (Engwall 1974).
[[nodiscard]] double engwall_fm(double f, std::int32_t range, std::size_t n) noexcept;
// D x f (Juilland & Chang-Rodríguez 1964).
[[nodiscard]] double juilland_u(double d, double f) noexcept;
// f x D2 + (1 - D2) x f / n (Carroll 1970).
[[nodiscard]] double carroll_um(double f, double d2, std::size_t n) noexcept;
// f / T x 10^6.
[[nodiscard]] double frequency_per_million(double f, double total) noexcept;

// 1 - VC / sqrt(n - 1) with VC the record's vc_population of the row, its f
// and mean count m = f / n, under the guards of the record's juilland_d.
[[nodiscard]] double juilland_d_equal_parts_from_vc(double vc, double f, double m,
                                                    std::size_t n) noexcept;

// (sum of sqrt(s_i v_i))^2 (Rosengren 1971); 0 when f is 0.
template <class Walk>
[[nodiscard]] double rosengren_kf(const Walk& walk, double f);

// ((sum of sqrt(v_i)) / n)^2 / (f / n) (Zhang, Huang & Yu 2004); 0 when f is 0.
template <class Walk>
[[nodiscard]] double zhang_dc(const Walk& walk, double f);

// sum of (v_i - s_i f)^2 / (s_i f); 0 when f is 0. A part whose expected
// count s_i f is 0 adds nothing when v_i is 0 too (a part of size 0), +inf
// when the word occurs there. An absent part's term depends on f, so no
// table of the call holds it: the walk takes each.
template <class Walk>
[[nodiscard]] double chi_squared(const Walk& walk, double f);
// 1 - chi-squared / (4 f) (Lyne 1985); 0 when f is 0.
[[nodiscard]] double lyne_d3(double chi_squared_value, double f) noexcept;

// psi(x + 1) - psi(1): the harmonic number H(x) for a whole x (correctly
// rounded below 64, from its asymptotic series above), the digamma
// difference otherwise; NaN at the poles (x a negative whole number).
[[nodiscard]] double harmonic_value(double x) noexcept;
// sum of harmonic_value(v_i) (Kromer 2003).
template <class Walk>
[[nodiscard]] double kromer_ur(const Walk& walk);

}  // namespace lexispan
