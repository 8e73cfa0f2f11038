// The parts-based measures of the field's reference tools that the record
// does not hold (IDF, Engwall, Juilland's U and equal-parts D, Carroll's Um,
// Rosengren's KF, Zhang's DC, chi-squared and Lyne's D3, Kromer's U_R, ...):
// one function per measure, sums in index order from +0.0.
//
// Where an absent part adds exactly +0.0 to a measure's sum, a `_sparse`
// form takes only a row's stored entries and gives the dense form's bits.
// The sparse forms take f, the profile's frequency (the row's sum from -0.0
// in index order over all n parts), from the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analyzer/profile/corpus_profile.hpp"

namespace lexispan {

// log2(n / range); +inf for a word found in no part.
[[nodiscard]] double inverse_document_frequency(std::int32_t range, std::size_t n) noexcept;
// Parts with a value above 0 among `entries` values (the sparse range).
[[nodiscard]] std::int32_t positive_count(const double* values, std::size_t entries) noexcept;

// max v_i - min v_i over all n parts, as +0.0 when they are equal; NaN when
// any v_i is.
[[nodiscard]] double max_min_spread(const double* v, std::size_t n) noexcept;
[[nodiscard]] double max_min_spread_sparse(const double* values, std::size_t entries,
                                           std::size_t n) noexcept;

// f x range / n (Engwall 1974).
[[nodiscard]] double engwall_fm(double f, std::int32_t range, std::size_t n) noexcept;
// D x f (Juilland & Chang-Rodríguez 1964).
[[nodiscard]] double juilland_u(double d, double f) noexcept;
// f x D2 + (1 - D2) x f / n (Carroll 1970).
[[nodiscard]] double carroll_um(double f, double d2, std::size_t n) noexcept;
// f / T x 10^6.
[[nodiscard]] double frequency_per_million(double f, double total) noexcept;

// 1 - VC(v) / sqrt(n - 1) with VC the record's vc_population, under the
// guards of the record's juilland_d. Fills the profile's caches.
[[nodiscard]] double juilland_d_equal_parts(CorpusProfile& profile) noexcept;
// The same from the record's VC of the row, its f and mean count m = f / n.
[[nodiscard]] double juilland_d_equal_parts_from_vc(double vc, double f, double m,
                                                    std::size_t n) noexcept;

// (sum of sqrt(s_i v_i))^2 (Rosengren 1971); 0 when f is 0. The sparse form
// needs every s_i finite: sqrt(s_i x +0.0) is then a zero that leaves the
// sum unchanged.
[[nodiscard]] double rosengren_kf(const double* v, const double* relative, std::size_t n,
                                  double f) noexcept;
[[nodiscard]] double rosengren_kf_sparse(const std::uint32_t* parts, const double* values,
                                         std::size_t entries, const double* relative,
                                         double f) noexcept;

// ((sum of sqrt(v_i)) / n)^2 / (f / n) (Zhang, Huang & Yu 2004); 0 when f is 0.
[[nodiscard]] double zhang_dc(const double* v, std::size_t n, double f) noexcept;
[[nodiscard]] double zhang_dc_sparse(const double* values, std::size_t entries, std::size_t n,
                                     double f) noexcept;

// sum of (v_i - s_i f)^2 / (s_i f); 0 when f is 0. A part whose expected
// count s_i f is 0 adds nothing when v_i is 0 too (a part of size 0), +inf
// when the word occurs there.
[[nodiscard]] double chi_squared(const double* v, const double* relative, std::size_t n,
                                 double f) noexcept;
// The same walk over all n parts for a row given as its entries (strictly
// ascending parts), the absent parts' v_i being +0.0: every absent term
// (0 - s_i f)^2 / (s_i f) depends on f, so no table of the call holds them.
[[nodiscard]] double chi_squared_sparse(const std::uint32_t* parts, const double* values,
                                        std::size_t entries, const double* relative,
                                        std::size_t n, double f) noexcept;
// 1 - chi-squared / (4 f) (Lyne 1985); 0 when f is 0.
[[nodiscard]] double lyne_d3(double chi_squared_value, double f) noexcept;

// psi(x + 1) - psi(1): the harmonic number H(x) for a whole x (correctly
// rounded below 64, from its asymptotic series above), the digamma
// difference otherwise; NaN at the poles (x a negative whole number).
[[nodiscard]] double harmonic_value(double x) noexcept;
// sum of harmonic_value(v_i) (Kromer 2003).
[[nodiscard]] double kromer_ur(const double* v, std::size_t n) noexcept;
[[nodiscard]] double kromer_ur_sparse(const double* values, std::size_t entries) noexcept;

}  // namespace lexispan
