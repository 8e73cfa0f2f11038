// Our exponential and its kernels, the quantiles, the likelihood-ratio
// roots and Lambert W.
#include "analyzer/measures/special_functions.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "analyzer/profile/ordered_add.hpp"
#include "platform/compiler.hpp"
#include "platform/cpu_dispatch.hpp"

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


// 2^(j/128) = high + low, high rounded to nearest.
struct TwoPower {
    double high;
    double low;
};
constexpr TwoPower two_powers[128] = {
    {0x1.0000000000000p+0, 0x0.0p+0}, {0x1.0163da9fb3335p+0, 0x1.b61299ab8cdb7p-54},
    {0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56}, {0x1.04315e86e7f85p+0, -0x1.0a31c1977c96ep-54},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55}, {0x1.0706b29ddf6dep+0, -0x1.c91dfe2b13c27p-55},
    {0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57}, {0x1.09e3ecac6f383p+0, 0x1.1487818316136p-54},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54}, {0x1.0cc922b7247f7p+0, 0x1.01edc16e24f71p-54},
    {0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59}, {0x1.0fb66affed31bp+0, -0x1.b9bedc44ebd7bp-57},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54}, {0x1.12abdc06c31ccp+0, -0x1.1b514b36ca5c7p-58},
    {0x1.1429aaea92de0p+0, -0x1.32fbf9af1369ep-54}, {0x1.15a98c8a58e51p+0, 0x1.2406ab9eeab0ap-55},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55}, {0x1.18af9388c8deap+0, -0x1.11023d1970f6cp-54},
    {0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55}, {0x1.1bbe084045cd4p+0, -0x1.95386352ef607p-54},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54}, {0x1.1ed5022fcd91dp+0, -0x1.1df98027bb78cp-54},
    {0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55}, {0x1.21f49917ddc96p+0, 0x1.2a97e9494a5eep-55},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54}, {0x1.251ce4fb2a63fp+0, 0x1.ac155bef4f4a4p-55},
    {0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55}, {0x1.284dfe1f56381p+0, -0x1.a4c3a8c3f0d7ep-54},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55}, {0x1.2b87fd0dad990p+0, -0x1.10adcd6381aa4p-59},
    {0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54}, {0x1.2ecafa93e2f56p+0, 0x1.1ca0f45d52383p-56},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55}, {0x1.32170fc4cd831p+0, 0x1.a9ce78e18047cp-55},
    {0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54}, {0x1.356c55f929ff1p+0, -0x1.b5cee5c4e4628p-55},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54}, {0x1.38cae6d05d866p+0, -0x1.e958d3c9904bdp-54},
    {0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56}, {0x1.3c32dc313a8e5p+0, -0x1.efff8375d29c3p-54},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55}, {0x1.3fa4504ac801cp+0, -0x1.7d023f956f9f3p-54},
    {0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58}, {0x1.431f5d950a897p+0, -0x1.1c7dde35f7999p-55},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59}, {0x1.46a41ed1d0057p+0, 0x1.c944bd1648a76p-54},
    {0x1.486a2b5c13cd0p+0, 0x1.3c1a3b69062f0p-56}, {0x1.4a32af0d7d3dep+0, 0x1.9cb62f3d1be56p-54},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56}, {0x1.4dcb299fddd0dp+0, 0x1.8ecdbbc6a7833p-54},
    {0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54}, {0x1.516daa2cf6642p+0, -0x1.f768569bd93efp-55},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55}, {0x1.551a4ca5d920fp+0, -0x1.d689cefede59bp-55},
    {0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54}, {0x1.58d12d497c7fdp+0, 0x1.295e15b9a1de8p-55},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54}, {0x1.5c9268a5946b7p+0, 0x1.c4b1b816986a2p-60},
    {0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54}, {0x1.605e1b976dc09p+0, -0x1.3e2429b56de47p-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54}, {0x1.6434634ccc320p+0, -0x1.c483c759d8933p-55},
    {0x1.6623882552225p+0, -0x1.bb60987591c34p-54}, {0x1.68155d44ca973p+0, 0x1.038ae44f73e65p-57},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54}, {0x1.6c012750bdabfp+0, -0x1.2895667ff0b0dp-56},
    {0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57}, {0x1.6ff7df9519484p+0, -0x1.83c0f25860ef6p-55},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55}, {0x1.73f9a48a58174p+0, -0x1.0a8d96c65d53cp-54},
    {0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54}, {0x1.780694fde5d3fp+0, 0x1.866b80a02162dp-54},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55}, {0x1.7c1ed0130c132p+0, 0x1.f124cd1164dd6p-54},
    {0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56}, {0x1.80427543e1a12p+0, -0x1.27c86626d972bp-54},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54}, {0x1.8471a4623c7adp+0, -0x1.8d684a341cdfbp-55},
    {0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54}, {0x1.88ac7d98a6699p+0, 0x1.994c2f37cb53ap-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54}, {0x1.8cf3216b5448cp+0, -0x1.0d55e32e9e3aap-56},
    {0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55}, {0x1.9145b0b91ffc6p+0, -0x1.dd6792e582524p-54},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57}, {0x1.95a44cbc8520fp+0, -0x1.64b7c96a5f039p-56},
    {0x1.97d829fde4e50p+0, -0x1.d185b7c1b85d1p-54}, {0x1.9a0f170ca07bap+0, -0x1.173bd91cee632p-54},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56}, {0x1.9e86319e32323p+0, 0x1.824ca78e64c6ep-56},
    {0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54}, {0x1.a309bec4a2d33p+0, 0x1.6305c7ddc36abp-54},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54}, {0x1.a799e1330b358p+0, 0x1.bcb7ecac563c7p-54},
    {0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54}, {0x1.ac36bbfd3f37ap+0, -0x1.f9234cae76cd0p-55},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54}, {0x1.b0e07298db666p+0, -0x1.bdef54c80e425p-54},
    {0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57}, {0x1.b59728de5593ap+0, -0x1.c71dfbbba6de3p-54},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56}, {0x1.ba5b030a1064ap+0, -0x1.efcd30e54292ep-54},
    {0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55}, {0x1.bf2c25bd71e09p+0, -0x1.efdca3f6b9c73p-54},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55}, {0x1.c40ab5fffd07ap+0, 0x1.b4537e083c60ap-54},
    {0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54}, {0x1.c8f6d9406e7b5p+0, 0x1.1acbc48805c44p-56},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56}, {0x1.cdf0b555dc3fap+0, -0x1.dd83b53829d72p-55},
    {0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54}, {0x1.d2f87080d89f2p+0, -0x1.d487b719d8578p-54},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55}, {0x1.d80e316c98398p+0, -0x1.11ec18beddfe8p-54},
    {0x1.da9e603db3285p+0, 0x1.c2300696db532p-54}, {0x1.dd321f301b460p+0, 0x1.2da5778f018c3p-54},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54}, {0x1.e264614f5a129p+0, -0x1.7b627817a1496p-54},
    {0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55}, {0x1.e7a51fbc74c83p+0, 0x1.2d522ca0c8de2p-54},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54}, {0x1.ecf482d8e67f1p+0, -0x1.c93f3b411ad8cp-54},
    {0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6b0p-54}, {0x1.f252b376bba97p+0, 0x1.3a1a5bf0d8e43p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54}, {0x1.f7bfdad9cbe14p+0, -0x1.dbb12d006350ap-54},
    {0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55}, {0x1.fd3c22b8f71f1p+0, 0x1.2eb74966579e7p-57},
};

// The kernel's range: the results are normal doubles, 2^k below is one.
constexpr double direct_low = -708.0;
constexpr double direct_high = 709.0;

// portable_exp for x in [direct_low, direct_high], branch-free so that
// loops over arrays vectorise it; x may be anything (the bits of an
// out-of-range result are garbage, never undefined behaviour).
LEXISPAN_ALWAYS_INLINE double exp_in_range(double x) noexcept {
    // m = round(x 128 / ln 2) by the shifter's rounding: m sits in the low
    // bits of `shifted`, whose unit is 1 (|m| < 2^51).
    constexpr double shifter = 0x1.8p52;
    constexpr std::uint64_t shifter_bits = std::bit_cast<std::uint64_t>(shifter);
    constexpr double steps_per_unit = 0x1.71547652b82fep7;  // 128 / ln 2
    // ln 2 / 128 in two parts; the upper has 32 bits, so m x ln2_high is
    // exact, and so is x - m x ln2_high (Cody and Waite).
    constexpr double ln2_high = 0x1.62e42feep-8;
    constexpr double ln2_low = 0x1.a39ef35793c76p-40;
    const double shifted = x * steps_per_unit + shifter;
    const double m = shifted - shifter;
    const double r = (x - m * ln2_high) - m * ln2_low;
    const std::uint64_t step_bits = std::bit_cast<std::uint64_t>(shifted) - shifter_bits;
    const TwoPower& power = two_powers[step_bits & 127U];
    // e^r - 1 = r + r^2 (1/2 + r/6 + r^2/24 + r^3/120), within 6e-19 of
    // e^r for |r| <= ln 2 / 256.
    const double tail = ((r * (1.0 / 120.0) + 1.0 / 24.0) * r + 1.0 / 6.0) * r + 0.5;
    const double expm1_r = r + (r * r) * tail;
    const double fraction = power.high + (power.low + power.high * expm1_r);
    // 2^k from its biased exponent 1023 + k, k = floor(m / 128) >= -1022
    // in range (m + 1023 x 128 is then not negative, and the low 7 bits of
    // m are j in two's complement).
    const std::uint64_t biased = (step_bits + 1023U * 128U) >> 7U;
    return fraction * std::bit_cast<double>(biased << 52U);
}

// out[j] = exp_in_range(-(rate x sizes[j])), each kernel level's loop.
LEXISPAN_ALWAYS_INLINE void exp_run(double rate, const double* sizes, double* out,
                                    std::size_t count) noexcept {
    for (std::size_t j = 0; j < count; ++j) {
        out[j] = exp_in_range(-(rate * sizes[j]));
    }
}

void exp_run_baseline(double rate, const double* sizes, double* out, std::size_t count) noexcept {
    exp_run(rate, sizes, out, count);
}

#if LEXISPAN_X86_KERNELS
LEXISPAN_TARGET_AVX2 void exp_run_avx2(double rate, const double* sizes, double* out,
                                       std::size_t count) noexcept {
    exp_run(rate, sizes, out, count);
}

LEXISPAN_TARGET_AVX512 void exp_run_avx512(double rate, const double* sizes, double* out,
                                           std::size_t count) noexcept {
    exp_run(rate, sizes, out, count);
}
#endif

void dispatched_exp_run(double rate, const double* sizes, double* out,
                        std::size_t count) noexcept {
#if LEXISPAN_X86_KERNELS
    switch (cpu_level()) {
        case CpuLevel::avx512:
            return exp_run_avx512(rate, sizes, out, count);
        case CpuLevel::avx2:
            return exp_run_avx2(rate, sizes, out, count);
        case CpuLevel::baseline:
            break;
    }
#endif
    exp_run_baseline(rate, sizes, out, count);
}

}  // namespace

double portable_exp(double x) noexcept {
    return x >= direct_low && x <= direct_high ? exp_in_range(x) : std::exp(x);
}

void negative_exponentials(double rate, std::span<const double> sizes,
                           std::span<double> out) noexcept {
    // rate x c grows with c, so the kernel's range is a prefix of the sizes.
    std::size_t direct = 0;
    if (rate >= 0.0 && rate <= std::numeric_limits<double>::max()) {
        direct = static_cast<std::size_t>(
            std::partition_point(sizes.begin(), sizes.end(),
                                 [rate](double c) { return -(rate * c) >= direct_low; }) -
            sizes.begin());
    }
    dispatched_exp_run(rate, sizes.data(), out.data(), direct);
    // As expected_absent_share's terms: the product's NaN, if any, is the
    // rate's, negated (a compiler may move the minus onto the size).
    for (std::size_t j = direct; j < sizes.size(); ++j) {
        out[j] = portable_exp(-multiply(rate, sizes[j]));
    }
}

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
