// The recent measures' formulas and guards.
#include "analyzer/measures/recent_measures.hpp"

#include <cmath>
#include <limits>

#include "analyzer/measures/measures.hpp"
#include "analyzer/profile/part_walk.hpp"
#include "analyzer/sums/sparse_walk.hpp"

namespace lexispan {

template <class Walk>
double egbert_dp(const Walk& walk, double f, std::int32_t range, double dp) {
    if (f == 0.0) {
        return 0.0;
    }
    if (walk.parts() == 1) {
        return single_part_dispersion(f);
    }
    if (range <= 1) {
        return 0.0;
    }
    // The smallest s_i of a part the word is found in; the sparse walk's
    // cells are those parts, the dense walk's every part.
    double least = std::numeric_limits<double>::infinity();
    walk.for_each([&least](const PartCell& cell) {
        if (cell.v > 0.0 && cell.s < least) {
            least = cell.s;
        }
    });
    const double d = 1.0 - least;
    return std::fabs(d) < near_zero ? 0.0 : 1.0 - dp / d;
}

template <class Walk>
double range_by_size(const Walk& walk) {
    // An absent part adds +0.0 to a sum started at +0.0.
    return walk.sum(
        0.0, [](const PartCell& cell) { return cell.v > 0.0 ? cell.s : 0.0; }, adds_nothing);
}

template <class Walk>
bool whole_counts(const Walk& walk) {
    return walk.every([](const PartCell& cell) {
        return cell.v >= 0.0 && cell.v == std::floor(cell.v) && std::isfinite(cell.v);
    });
}

#define LEXISPAN_RECENT_OVER(Walk)                                             \
    template double egbert_dp(const Walk&, double, std::int32_t, double);      \
    template double range_by_size(const Walk&);                                \
    template bool whole_counts(const Walk&);
LEXISPAN_RECENT_OVER(DenseWalk)
LEXISPAN_RECENT_OVER(SparseWalk)
#undef LEXISPAN_RECENT_OVER

double dkl_o2p(double kl, double f) noexcept { return f > 0.0 ? 1.0 / (1.0 + kl) : 0.0; }
double dkl_base2(double kl, double f) noexcept { return f > 0.0 ? std::exp2(-kl) : 0.0; }
double dkl_base_e(double kl, double f) noexcept { return f > 0.0 ? std::exp(-kl) : 0.0; }

double expected_absent_share(std::span<const double> sizes, double lambda) noexcept {
    double sum = 0.0;
    for (const double c : sizes) {
        sum = accumulate(sum, std::exp(-multiply(lambda, c)));
    }
    return sum / as_double(sizes.size());
}

double dmb_from_share(double expected, std::int32_t range, std::size_t n) noexcept {
    const double absent = as_double(n - static_cast<std::size_t>(range)) / as_double(n);
    if (absent <= expected) {
        return 1.0;
    }
    return 1.0 - (absent - expected) / (1.0 - expected);
}

double frequency_adjusted(double value, double least, double most) noexcept {
    if (least == most) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // A NaN place passes both tests; -0.0 (a falling measure at its
    // least) becomes +0.0.
    const double place = (value - least) / (most - least);
    return place <= 0.0 ? 0.0 : (place > 1.0 ? 1.0 : place);
}

bool allocatable_frequency(double f) noexcept {
    return f >= 1.0 && f <= 0x1p53 && f == std::floor(f);
}

}  // namespace lexispan
