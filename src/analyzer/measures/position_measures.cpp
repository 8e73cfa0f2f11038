// ARF, AWT and ALD over the cyclic gaps between a word's positions. The gap
// sums of ARF and AWT are exact integers, so only their last steps round;
// ALD's sum runs in gap order, one word on one thread.
#include "analyzer/measures/position_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analyzer/profile/ordered_add.hpp"
#include "platform/compiler.hpp"

namespace lexispan {

namespace {

using wide_unsigned = WideUnsigned;

constexpr double infinity = std::numeric_limits<double>::infinity();

double to_double(wide_unsigned x) noexcept { return static_cast<double>(x); }

// The number of the f chunks of a corpus of n tokens that hold one of the
// ascending positions: position p is in chunk floor(p f / n), found from a
// rounded guess corrected by exact products.
std::uint64_t chunks_hit(const std::int64_t* positions, std::size_t count, std::uint64_t n) {
    const std::uint64_t f = count;
    std::uint64_t hit = 0;
    std::uint64_t current = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto p = static_cast<std::uint64_t>(positions[i]);
        const wide_unsigned product = static_cast<wide_unsigned>(p) * f;
        const double guess = std::floor(static_cast<double>(p) / static_cast<double>(n) *
                                        static_cast<double>(f));
        std::uint64_t k = std::min(static_cast<std::uint64_t>(std::max(guess, 0.0)), f - 1);
        while (k > 0 && product < static_cast<wide_unsigned>(k) * n) {
            --k;
        }
        while (k + 1 < f && !(product < static_cast<wide_unsigned>(k + 1) * n)) {
            ++k;
        }
        if (hit == 0 || k != current) {
            ++hit;
            current = k;
        }
    }
    return hit;
}

// MB from the share of chunks without the word.
double mb_from_chunks(std::uint64_t hit, std::uint64_t f) noexcept {
    const double expected = std::exp(-1.0);
    const double absent = static_cast<double>(f - hit) / static_cast<double>(f);
    return absent <= expected ? 1.0 : 1.0 - (absent - expected) / (1.0 - expected);
}

}  // namespace

PositionValues position_values(const std::int64_t* positions, std::size_t count,
                               std::int64_t length, PositionWants wants,
                               const std::atomic<bool>* stop) noexcept {
    PositionValues values;
    if (count == 0) {
        values.awt = infinity;
        values.ald = infinity;
        return values;
    }
    const auto n = static_cast<std::uint64_t>(length);
    const std::uint64_t f = count;
    const double n_double = static_cast<double>(n);
    // A gap d reaches v = N / f exactly when d >= ceil(N / f).
    const std::uint64_t threshold = n / f + (n % f != 0 ? 1 : 0);
    std::uint64_t long_gaps = 0;
    std::uint64_t short_sum = 0;
    wide_unsigned squares = 0;
    double ald = 0.0;
    std::int64_t previous = positions[count - 1] - length;
    for (std::size_t i = 0; i < count; ++i) {
        if ((i & ((std::size_t{1} << 20) - 1)) == 0 && i != 0 && stop != nullptr &&
            stop->load(std::memory_order_relaxed)) {
            return values;
        }
        const auto gap = static_cast<std::uint64_t>(positions[i] - previous);
        previous = positions[i];
        if (wants.arf) {
            if (gap >= threshold) {
                ++long_gaps;
            } else {
                short_sum += gap;
            }
        }
        if (wants.awt) {
            squares += static_cast<wide_unsigned>(gap) * gap;
        }
        if (wants.ald) {
            const double d = static_cast<double>(gap);
            ald = accumulate(ald, (d / n_double) * std::log10(d));
        }
    }
    if (wants.arf) {
        const double short_part = to_double(static_cast<wide_unsigned>(short_sum) * f) / n_double;
        values.arf = static_cast<double>(long_gaps) + short_part;
    }
    if (wants.awt) {
        const double q = to_double(squares);
        values.awt = (1.0 + q / n_double) / 2.0;
        values.f_awt = to_double(static_cast<wide_unsigned>(n) * n) / q;
    }
    if (wants.ald) {
        values.ald = ald;
        values.f_ald = n_double * std::pow(10.0, -ald);
    }
    if (wants.mb) {
        values.mb = mb_from_chunks(chunks_hit(positions, count, n), f);
    }
    return values;
}

std::optional<PositionComplaint> check_positions(const std::int64_t* positions,
                                                 std::size_t count,
                                                 std::int64_t length) noexcept {
    std::int64_t previous = -1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t p = positions[i];
        if (p < 0 || p >= length) {
            return PositionComplaint{0, i, PositionFault::out_of_range};
        }
        if (p <= previous) {
            return PositionComplaint{0, i, PositionFault::unsorted};
        }
        previous = p;
    }
    return std::nullopt;
}

bool group_positions(const std::int64_t* codes, std::size_t count, std::size_t groups,
                     std::int64_t* order, std::int64_t* offsets) noexcept {
    std::fill(offsets, offsets + groups + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t code = codes[i];
        if (code < 0 || static_cast<std::uint64_t>(code) >= groups) {
            return false;
        }
        ++offsets[code + 1];
    }
    for (std::size_t g = 0; g < groups; ++g) {
        offsets[g + 1] += offsets[g];
    }
    // offsets[g] serves as group g's next free slot; afterwards it holds
    // the end of group g, so shifting up by one slot gives the starts back.
    for (std::size_t i = 0; i < count; ++i) {
        order[offsets[codes[i]]++] = static_cast<std::int64_t>(i);
    }
    for (std::size_t g = groups; g > 0; --g) {
        offsets[g] = offsets[g - 1];
    }
    offsets[0] = 0;
    return true;
}

}  // namespace lexispan
