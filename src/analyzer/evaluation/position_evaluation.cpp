// Position measures for many words on worker threads: claims of whole
// words, so a word's values never depend on the thread count.
#include "analyzer/evaluation/position_evaluation.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

#include "parallel/thread_pool.hpp"

namespace lexispan {

namespace {

// Every claim holds whole words: up to this many positions, or one word
// that has more.
constexpr std::size_t claim_positions = std::size_t{1} << 16;
constexpr std::size_t claim_words = 2048;

}  // namespace

std::optional<PositionComplaint> evaluate_positions(const PositionList& list,
                                                    const PositionTargets& targets,
                                                    std::size_t threads,
                                                    std::atomic<bool>& stop,
                                                    std::atomic<std::size_t>& done) {
    const PositionWants wants{targets.arf != nullptr,
                              targets.awt != nullptr || targets.f_awt != nullptr,
                              targets.ald != nullptr || targets.f_ald != nullptr,
                              targets.mb != nullptr};
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
                const PositionValues values =
                    position_values(first, count, list.length, wants, &stop);
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
                if (targets.mb != nullptr) {
                    targets.mb[w] = values.mb;
                }
            }
            done.fetch_add(starts[c + 1] - starts[c], std::memory_order_relaxed);
        }
    };
    const std::size_t participants = std::min(std::max<std::size_t>(threads, 1), claims);
    if (participants <= 1) {
        participate();
    } else {
        // The poll lets a stop end the wait for a pool that another call holds.
        run_chunked(participants, 1, stop, [&](std::size_t, std::size_t) { participate(); },
                    [&] { return stop.load(std::memory_order_acquire); });
    }
    return first_complaint;
}

}  // namespace lexispan
