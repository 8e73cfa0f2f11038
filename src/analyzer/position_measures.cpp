// ARF, AWT and ALD over the cyclic gaps between a word's positions. The gap
// sums of ARF and AWT are exact integers, so only their last steps round;
// ALD's sum runs in gap order, one word on one thread.
#include "analyzer/position_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "analyzer/ordered_add.hpp"
#include "parallel/thread_pool.hpp"

namespace lexispan {

namespace {

__extension__ typedef unsigned __int128 wide_unsigned;

constexpr double infinity = std::numeric_limits<double>::infinity();

// Every claim holds whole words: up to this many positions, or one word
// that has more.
constexpr std::size_t claim_positions = std::size_t{1} << 16;
constexpr std::size_t claim_words = 2048;

double to_double(wide_unsigned x) noexcept { return static_cast<double>(x); }

}  // namespace

PositionValues position_values(const std::int64_t* positions, std::size_t count,
                               std::int64_t length, PositionWants wants) noexcept {
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

std::optional<PositionComplaint> evaluate_positions(const PositionList& list,
                                                    const PositionTargets& targets,
                                                    std::size_t threads,
                                                    std::atomic<bool>& stop,
                                                    std::atomic<std::size_t>& done) {
    const PositionWants wants{targets.arf != nullptr,
                              targets.awt != nullptr || targets.f_awt != nullptr,
                              targets.ald != nullptr || targets.f_ald != nullptr};
    // Claim boundaries in words, cut by position counts so that one very
    // frequent word does not share its claim with thousands of others.
    std::vector<std::size_t> starts{0};
    std::size_t held = 0;
    for (std::size_t w = 0; w < list.words; ++w) {
        held += list.counts[w];
        if (held >= claim_positions || w + 1 - starts.back() >= claim_words) {
            starts.push_back(w + 1);
            held = 0;
        }
    }
    if (starts.back() != list.words) {
        starts.push_back(list.words);
    }
    const std::size_t claims = starts.size() - 1;

    std::atomic<std::size_t> next_claim{0};
    std::mutex complaint_mutex;
    std::optional<PositionComplaint> first_complaint;
    const auto participate = [&]() {
        for (;;) {
            const std::size_t c = next_claim.fetch_add(1, std::memory_order_relaxed);
            if (c >= claims || stop.load(std::memory_order_acquire)) {
                return;
            }
            for (std::size_t w = starts[c]; w < starts[c + 1]; ++w) {
                const std::int64_t* first = list.positions[w];
                const std::size_t count = list.counts[w];
                if (std::optional<PositionComplaint> complaint =
                        check_positions(first, count, list.length)) {
                    complaint->word = w;
                    const std::lock_guard lock(complaint_mutex);
                    if (!first_complaint || w < first_complaint->word) {
                        first_complaint = complaint;
                    }
                    continue;
                }
                const PositionValues values = position_values(first, count, list.length, wants);
                if (targets.arf != nullptr) {
                    targets.arf[w] = values.arf;
                }
                if (targets.awt != nullptr) {
                    targets.awt[w] = values.awt;
                }
                if (targets.f_awt != nullptr) {
                    targets.f_awt[w] = values.f_awt;
                }
                if (targets.ald != nullptr) {
                    targets.ald[w] = values.ald;
                }
                if (targets.f_ald != nullptr) {
                    targets.f_ald[w] = values.f_ald;
                }
            }
            done.fetch_add(starts[c + 1] - starts[c], std::memory_order_relaxed);
        }
    };
    const std::size_t participants = std::min(std::max<std::size_t>(threads, 1), claims);
    if (participants <= 1) {
        participate();
    } else {
        run_chunked(participants, 1, stop, [&](std::size_t, std::size_t) { participate(); });
    }
    return first_complaint;
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
