// The special functions behind D_MB's interval: the standard normal and
// chi-squared (1 degree of freedom) quantiles, the two roots of
// u - 1 - ln u = t, and Lambert W on [-1/e, 0), both branches, which
// gives those roots. Each is accurate to within 1e-12 relative (the tests
// hold them to it; most are within a few units in the last place).
#pragma once

namespace lexispan {

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
