// The quantiles, the likelihood-ratio roots and Lambert W.
#include "analyzer/measures/special_functions.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace lexispan {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double sqrt_half = 0.70710678118654752440;
constexpr double sqrt_two_over_pi = 0.79788456080286535588;
// e as an unevaluated sum, for -e x - 1 near the branch point of W.
constexpr double e_high = 2.718281828459045;
constexpr double e_low = 1.4456468917292502e-16;

// c[0] + c[1] x + ... + c[7] x^7.
double polynomial(const std::array<double, 8>& c, double x) noexcept {
    double value = c[7];
    for (std::size_t k = 7; k > 0; --k) {
        value = value * x + c[k - 1];
    }
    return value;
}

// AS241 (PPND16): the central region |p - 1/2| <= 0.425, from q = p - 1/2.
double as241_central(double q) noexcept {
    static constexpr std::array<double, 8> a = {
        3.3871328727963666080e0, 1.3314166789178437745e+2, 1.9715909503065514427e+3,
        1.3731693765509461125e+4, 4.5921953931549871457e+4, 6.7265770927008700853e+4,
        3.3430575583588128105e+4, 2.5090809287301226727e+3};
    static constexpr std::array<double, 8> b = {
        1.0, 4.2313330701600911252e+1, 6.8718700749205790830e+2, 5.3941960214247511077e+3,
        2.1213794301586595867e+4, 3.9307895800092710610e+4, 2.8729085735721942674e+4,
        5.2264952788528545610e+3};
    const double r = 0.180625 - q * q;
    return q * polynomial(a, r) / polynomial(b, r);
}

// AS241's tails: the quantile of the smaller tail probability r (< 0.075),
// as a negative number.
double as241_tail(double r) noexcept {
    static constexpr std::array<double, 8> c = {
        1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
        3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
        2.27238449892691845833e-2, 7.74545014278341407640e-4};
    static constexpr std::array<double, 8> d = {
        1.0, 2.05319162663775882187e0, 1.67638483018380384940e0, 6.89767334985100004550e-1,
        1.48103976427480074590e-1, 1.51986665636164571966e-2, 5.47593808499534494600e-4,
        1.05075007164441684324e-9};
    static constexpr std::array<double, 8> e = {
        6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0,
        2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
        2.71155556874348757815e-5, 2.01033439929228813265e-7};
    static constexpr std::array<double, 8> f = {
        1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1, 1.48753612908506148525e-2,
        7.86869131145613259100e-4, 1.84631831751005468180e-5, 1.42151175831644588870e-7,
        2.04426310338993978564e-15};
    double s = std::sqrt(-std::log(r));
    if (s <= 5.0) {
        s -= 1.6;
        return -polynomial(c, s) / polynomial(d, s);
    }
    s -= 5.0;
    return -polynomial(e, s) / polynomial(f, s);
}

double normal_density(double z) noexcept {
    return 0.5 * sqrt_two_over_pi * std::exp(-0.5 * (z * z));
}

// u - 1 - ln u, without cancellation near u = 1.
double ratio_excess(double u) noexcept {
    if (u >= 0.5 && u <= 2.0) {
        const double d = u - 1.0;  // exact here
        return d - std::log1p(d);
    }
    return (u - 1.0) - std::log(u);
}

// Halley's iteration on u - 1 - ln u = t from `u`.
double refine_root(double u, double t) noexcept {
    for (int step = 0; step < 12; ++step) {
        const double h = ratio_excess(u) - t;
        const double slope = (u - 1.0) / u;
        const double curvature = 1.0 / (u * u);
        const double denominator = 2.0 * slope * slope - h * curvature;
        if (h == 0.0 || slope == 0.0 || denominator == 0.0) {
            break;
        }
        const double change = 2.0 * h * slope / denominator;
        const double next = u - change;
        if (!(next > 0.0) || !std::isfinite(next)) {
            break;
        }
        u = next;
        if (std::fabs(change) <= 0x1p-53 * u) {
            break;
        }
    }
    return u;
}

// t with -exp(-1 - t) = x < 0, accurate near the branch point x = -1/e;
// the double nearest -1/e, just outside, gives 0.
double branch_distance(double x) noexcept {
    double t = 0.0;
    if (-e_high * x > 0.5) {
        // -e x - 1 in (close to) one rounding, then t = -ln(1 + that).
        t = -std::log1p(std::fma(-e_high, x, -1.0) - e_low * x);
    } else {
        t = -1.0 - std::log(-x);
    }
    return t < 0.0 && t > -0x1p-50 ? 0.0 : t;
}

}  // namespace

double normal_quantile(double p) noexcept {
    if (!(p > 0.0 && p < 1.0)) {
        return nan_value;
    }
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        double z = as241_central(q);
        z -= (0.5 * std::erfc(-z * sqrt_half) - p) / normal_density(z);
        return z;
    }
    const double upper = 1.0 - p;  // exact for p >= 1/2
    if (q < 0.0) {
        double z = as241_tail(p);
        z -= (0.5 * std::erfc(-z * sqrt_half) - p) / normal_density(z);
        return z;
    }
    double z = -as241_tail(upper);
    z += (0.5 * std::erfc(z * sqrt_half) - upper) / normal_density(z);
    return z;
}

double chi_squared_1_quantile(double level) noexcept {
    if (!(level > 0.0 && level < 1.0)) {
        return nan_value;
    }
    // z = Phi^-1((1 + level) / 2) from level / 2 or from (1 - level) / 2
    // directly, so that neither a tiny nor a nearly 1 level loses digits;
    // then one Newton step on erf(z / sqrt 2) = level.
    double z = 0.0;
    if (level <= 0.85) {
        z = as241_central(0.5 * level);
        z -= (std::erf(z * sqrt_half) - level) / (2.0 * normal_density(z));
    } else {
        const double outside = 1.0 - level;  // exact for level >= 1/2
        z = -as241_tail(0.5 * outside);
        z += (std::erfc(z * sqrt_half) - outside) / (2.0 * normal_density(z));
    }
    return z * z;
}

RatioRoots likelihood_ratio_roots(double t) noexcept {
    if (!(t >= 0.0)) {
        return {nan_value, nan_value};
    }
    if (t == 0.0) {
        return {1.0, 1.0};
    }
    if (t == infinity) {
        return {0.0, infinity};
    }
    double low = 0.0;
    double high = 0.0;
    if (t < 1.5) {
        // -W(x) about the branch point, p = sqrt(2 (1 + e x)) with
        // x = -exp(-1 - t): 1 -+ p + p^2/3 -+ 11p^3/72 + 43p^4/540 -+ ...
        const double p = std::sqrt(-2.0 * std::expm1(-t));
        const double even = 1.0 + p * p * (1.0 / 3.0 + p * p * (43.0 / 540.0));
        const double odd = p * (1.0 + p * p * (11.0 / 72.0 + p * p * (769.0 / 17280.0)));
        low = even - odd;
        high = even + odd;
    } else {
        // W0(y) = y - y^2 + ... for small y; u = 1 + t + ln u for large u.
        const double y = std::exp(-1.0 - t);
        if (y == 0.0) {
            low = 0.0;
        } else {
            low = y * (1.0 + y);
        }
        const double l1 = 1.0 + t;
        high = l1 + std::log(l1) + std::log(l1) / l1;
    }
    if (low > 0.0) {
        low = refine_root(low, t);
    }
    return {low, refine_root(high, t)};
}

double lambert_w0(double x) noexcept {
    if (x == 0.0) {
        return 0.0;
    }
    return x < 0.0 ? -likelihood_ratio_roots(branch_distance(x)).low : nan_value;
}

double lambert_w_minus1(double x) noexcept {
    if (x == 0.0) {
        return -infinity;
    }
    return x < 0.0 ? -likelihood_ratio_roots(branch_distance(x)).high : nan_value;
}

}  // namespace lexispan
