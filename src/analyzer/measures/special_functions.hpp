// The special functions behind D_MB: the exponential of its expected share
// (one of our own, with the same bits on every machine), and for its
// interval the standard normal and chi-squared (1 degree of freedom)
// quantiles, the two roots of u - 1 - ln u = t, and Lambert W on [-1/e, 0),
// both branches, which gives those roots. The latter are accurate to within
// 1e-12 relative (the tests hold them to it; most are within a few units in
// the last place).
#pragma once

#include <span>

namespace lexispan {

// e^x. Where the result is a normal double (x in [-708, 709]) it is our
// own, within 0.52 units in the last place, the same bits on every machine
// and in every loop (the C library's exp differs between libraries, and
// the loops below run it over arrays): Tang's table method, x = (128 k + j)
// ln 2 / 128 + r with |r| <= ln 2 / 256, e^x = 2^k 2^(j/128) e^r, 2^(j/128)
// from a table as a sum of two doubles, e^r - 1 by a degree-5 polynomial.
// Elsewhere (subnormal results, 0, overflow, NaN) std::exp(x).
[[nodiscard]] double portable_exp(double x) noexcept;

// out[j] = portable_exp(-(rate x sizes[j])) (the product as multiply
// forms it, profile/ordered_add.hpp) for sizes ascending, finite and not
// negative, many at once (vectorised; the widest kernel the processor
// runs, platform/cpu_dispatch.hpp). `out` holds sizes.size() values.
void negative_exponentials(double rate, std::span<const double> sizes,
                           std::span<double> out) noexcept;

// z with P(Z <= z) = p for a standard normal Z; NaN unless 0 < p < 1.
// Wichura's AS241 (1988) rational approximation, refined by one Newton step
// on erfc.
[[nodiscard]] double normal_quantile(double p) noexcept;

// The `level` quantile of chi-squared with one degree of freedom: z^2 with
// P(|Z| <= z) = level; NaN unless 0 < level < 1.
[[nodiscard]] double chi_squared_1_quantile(double level) noexcept;

// The two roots low <= 1 <= high of u - 1 - ln u = t (Halley's iteration
// from the branch-point series or the asymptotic forms). t = 0 gives 1 and
// 1, t = +inf gives 0 and +inf, a negative or NaN t NaN and NaN.
struct RatioRoots {
    double low;
    double high;
};
[[nodiscard]] RatioRoots likelihood_ratio_roots(double t) noexcept;

// Lambert W on [-1/e, 0): the principal branch W0 (in [-1, 0)) and the
// lower branch W-1 (in (-inf, -1]); -W(-exp(-1 - t)) are the roots above.
// W0(0) = 0 and W-1(0) = -inf; NaN outside (the double nearest -1/e,
// just below it, gives -1).
[[nodiscard]] double lambert_w0(double x) noexcept;
[[nodiscard]] double lambert_w_minus1(double x) noexcept;

}  // namespace lexispan
