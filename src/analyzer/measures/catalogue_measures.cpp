// The catalogue formulas and their guards, over a walk as the record's are.
#include "analyzer/measures/catalogue_measures.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <span>

#include "analyzer/measures/measures.hpp"
#include "analyzer/profile/ordered_add.hpp"
#include "analyzer/profile/part_walk.hpp"
#include "analyzer/sums/sparse_walk.hpp"

namespace lexispan {

namespace {

constexpr double euler_gamma = 0.57721566490153286061;
constexpr double pi = 3.14159265358979323846;
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// H(k) for k = 0..63, each the double nearest the exact rational.
constexpr std::size_t harmonic_table_size = 64;
constexpr std::array<double, harmonic_table_size> harmonic_table = {
    0x0.0p+0, 0x1.0000000000000p+0, 0x1.8000000000000p+0,
    0x1.d555555555555p+0, 0x1.0aaaaaaaaaaabp+1, 0x1.2444444444444p+1,
    0x1.399999999999ap+1, 0x1.4be2be2be2be3p+1, 0x1.5be2be2be2be3p+1,
    0x1.6a1ba1ba1ba1cp+1, 0x1.76e86e86e86e8p+1, 0x1.828b574116fa3p+1,
    0x1.8d3601ebc1a4dp+1, 0x1.970e9f759a426p+1, 0x1.a03331bebed4ap+1,
    0x1.a8bbba47475d3p+1, 0x1.b0bbba47475d3p+1, 0x1.b84341cecee4bp+1,
    0x1.bf5fb395eb568p+1, 0x1.c61c554513c25p+1, 0x1.cc82bbab7a28bp+1,
    0x1.d29b1d31928a3p+1, 0x1.d86c918ea9d00p+1, 0x1.ddfd43a4ec986p+1,
    0x1.e35298fa41edbp+1, 0x1.e871514c2d72dp+1, 0x1.ed5da01119c1ap+1,
    0x1.f21b4140820d7p+1, 0x1.f6ad8a6514569p+1, 0x1.fb1778bd5af58p+1,
    0x1.ff5bbd019f39cp+1, 0x1.01be62a1d7defp+2, 0x1.03be62a1d7defp+2,
    0x1.05aedec0dfa0ep+2, 0x1.0790c0a2c182cp+2, 0x1.0964dde495a00p+2,
    0x1.0b2bfa565cbc7p+2, 0x1.0ce6c9e7a8d82p+2, 0x1.0e95f25372f31p+2,
    0x1.103a0c95170d6p+2, 0x1.11d3a62eb0a6fp+2, 0x1.13634247aa688p+2,
    0x1.14e95aa93080ep+2, 0x1.1666609d48514p+2, 0x1.17dabdb48e22bp+2,
    0x1.1946d475fa397p+2, 0x1.1aab00fb8aeb9p+2, 0x1.1c07997e441c9p+2,
    0x1.1d5ceed39971fp+2, 0x1.1eab4cde0c624p+2, 0x1.1ff2faf287438p+2,
    0x1.21343c33c884cp+2, 0x1.226f4fe503987p+2, 0x1.23a471b4b6500p+2,
    0x1.24d3da0090630p+2, 0x1.25fdbe132ea42p+2, 0x1.2722505c53367p+2,
    0x1.2841c0a42f486p+2, 0x1.295c3c3a40f02p+2, 0x1.2a71ee2038429p+2,
    0x1.2b82ff314953ap+2, 0x1.2c8f964645214p+2, 0x1.2d97d856c9425p+2,
    0x1.2e9be897cd529p+2,
};

// H(x) for a whole x >= 64: ln x + gamma + 1/(2x) - 1/(12x^2) + 1/(120x^4)
// - 1/(252x^6) + 1/(240x^8); the first omitted term is below 1e-19.
double harmonic_asymptotic(double x) noexcept {
    const double y = 1.0 / (x * x);
    const double tail = y * (1.0 / 12.0 - y * (1.0 / 120.0 - y * (1.0 / 252.0 - y / 240.0)));
    return std::log(x) + (euler_gamma + (0.5 / x - tail));
}

// psi(z) for z >= 16 by its asymptotic series, error below 1e-16 relative.
double digamma_asymptotic(double z) noexcept {
    const double y = 1.0 / (z * z);
    const double tail =
        y * (1.0 / 12.0 - y * (1.0 / 120.0 - y * (1.0 / 252.0 - y * (1.0 / 240.0 - y / 132.0))));
    return std::log(z) - (0.5 / z + tail);
}

// psi(z) for a z that is not a whole number <= 0.
double digamma(double z) noexcept {
    if (z < 0.0) {
        // Reflection: psi(z) = psi(1 - z) - pi / tan(pi z).
        return digamma(1.0 - z) - pi / std::tan(pi * z);
    }
    double shift = 0.0;
    while (z < 16.0) {
        shift += 1.0 / z;
        z += 1.0;
    }
    return digamma_asymptotic(z) - shift;
}

}  // namespace

double inverse_document_frequency(std::int32_t range, std::size_t n) noexcept {
    return std::log2(as_double(n) / static_cast<double>(range));
}

template <class Walk>
double max_min_spread(const Walk& walk) {
    const std::span<const double> v = walk.present_counts();
    double high = v.empty() ? 0.0 : v[0];
    double low = high;
    for (const double x : v) {
        if (std::isnan(x)) {
            return x;
        }
        high = x > high ? x : high;
        low = x < low ? x : low;
    }
    if (walk.has_absent()) {
        high = 0.0 > high ? 0.0 : high;
        low = 0.0 < low ? 0.0 : low;
    }
    // + 0.0 turns the -0.0 of (-0.0) - (+0.0) into +0.0, so which zero was
    // kept as the extreme does not show.
    return (high - low) + 0.0;
}

double engwall_fm(double f, std::int32_t range, std::size_t n) noexcept {
    return (f * static_cast<double>(range)) / as_double(n);
}

double juilland_u(double d, double f) noexcept { return d * f; }

double carroll_um(double f, double d2, std::size_t n) noexcept {
    return f * d2 + ((1.0 - d2) * f) / as_double(n);
}

double frequency_per_million(double f, double total) noexcept { return (f / total) * 1e6; }

double juilland_d_equal_parts_from_vc(double vc, double f, double m, std::size_t n) noexcept {
    if (n < 2) {
        return single_part_dispersion(f);
    }
    if (f == 0.0 || std::fabs(m) < near_zero) {
        return 0.0;
    }
    return 1.0 - vc / std::sqrt(as_double(n - 1));
}

template <class Walk>
double rosengren_kf(const Walk& walk, double f) {
    if (f == 0.0) {
        return 0.0;
    }
    const double sum = size_weighted_root_sum(walk);
    return sum * sum;
}

template <class Walk>
double zhang_dc(const Walk& walk, double f) {
    if (f == 0.0) {
        return 0.0;
    }
    // sqrt(+0.0) of an absent part adds nothing.
    const double roots =
        walk.sum(0.0, [](const PartCell& cell) { return std::sqrt(cell.v); }, adds_nothing);
    const double n = as_double(walk.parts());
    const double mean_root = roots / n;
    return (mean_root * mean_root) / (f / n);
}

template <class Walk>
double chi_squared(const Walk& walk, double f) {
    if (f == 0.0) {
        return 0.0;
    }
    return walk.sum(
        0.0,
        [f](const PartCell& cell) {
            const double expected = multiply(cell.s, f);
            if (expected == 0.0 && cell.v == 0.0) {
                return 0.0;
            }
            const double d = cell.v - expected;
            return (d * d) / expected;
        },
        absent_each);
}

double lyne_d3(double chi_squared_value, double f) noexcept {
    if (f == 0.0) {
        return 0.0;
    }
    return 1.0 - chi_squared_value / (4.0 * f);
}

double harmonic_value(double x) noexcept {
    if (std::isnan(x) || x == std::numeric_limits<double>::infinity()) {
        return x;
    }
    if (x == std::floor(x)) {
        if (x < 0.0) {
            return nan_value;  // a pole of psi(x + 1)
        }
        if (x < static_cast<double>(harmonic_table_size)) {
            return harmonic_table[static_cast<std::size_t>(x)];
        }
        return harmonic_asymptotic(x);
    }
    return digamma(x + 1.0) + euler_gamma;
}

template <class Walk>
double kromer_ur(const Walk& walk) {
    // H(0) = +0.0: an absent part adds nothing.
    return walk.sum(
        0.0, [](const PartCell& cell) { return harmonic_value(cell.v); }, adds_nothing);
}

// One compiled copy of each formula per walk.
#define LEXISPAN_CATALOGUE_OVER(Walk)                   \
    template double max_min_spread(const Walk&);        \
    template double rosengren_kf(const Walk&, double);  \
    template double zhang_dc(const Walk&, double);      \
    template double chi_squared(const Walk&, double);   \
    template double kromer_ur(const Walk&);
LEXISPAN_CATALOGUE_OVER(DenseWalk)
LEXISPAN_CATALOGUE_OVER(SparseWalk)
#undef LEXISPAN_CATALOGUE_OVER

}  // namespace lexispan
