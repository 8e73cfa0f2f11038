// The recent measures' formulas and guards.
#include "analyzer/measures/recent_measures.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>

#include "analyzer/measures/measures.hpp"
#include "analyzer/measures/special_functions.hpp"
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
        sum = accumulate(sum, portable_exp(-multiply(lambda, c)));
    }
    return sum / as_double(sizes.size());
}

namespace {

// The sums of `Rates` rates in part order, each term read from its rate's
// row of `terms` (`stride` apart) at the part's place; the chains of
// additions are independent, so they overlap.
template <std::size_t Rates>
void ordered_shares(std::span<const std::size_t> place, const double* terms,
                    std::size_t stride, double* shares) noexcept {
    std::array<double, Rates> sums{};
    for (const std::size_t p : place) {
        for (std::size_t r = 0; r < Rates; ++r) {
            sums[r] = accumulate(sums[r], terms[r * stride + p]);
        }
    }
    for (std::size_t r = 0; r < Rates; ++r) {
        shares[r] = sums[r] / as_double(place.size());
    }
}

}  // namespace

AbsentShares::AbsentShares(std::span<const double> sizes)
    : distinct_(sizes.begin(), sizes.end()), place_(sizes.size()) {
    std::sort(distinct_.begin(), distinct_.end());
    distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        place_[i] = static_cast<std::size_t>(
            std::lower_bound(distinct_.begin(), distinct_.end(), sizes[i]) - distinct_.begin());
    }
}

void AbsentShares::at(std::span<const double> rates, std::span<double> shares) const {
    const std::size_t stride = distinct_.size();
    // Every term is written before it is read.
    const std::unique_ptr<double[]> terms =
        std::make_unique_for_overwrite<double[]>(stride * rates.size());
    for (std::size_t r = 0; r < rates.size(); ++r) {
        negative_exponentials(rates[r], distinct_, {terms.get() + r * stride, stride});
    }
    for (std::size_t r = 0; r < rates.size(); r += 3) {
        const double* from = terms.get() + r * stride;
        switch (std::min<std::size_t>(rates.size() - r, 3)) {
            case 1:
                ordered_shares<1>(place_, from, stride, &shares[r]);
                break;
            case 2:
                ordered_shares<2>(place_, from, stride, &shares[r]);
                break;
            default:
                ordered_shares<3>(place_, from, stride, &shares[r]);
                break;
        }
    }
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
