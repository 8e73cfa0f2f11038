// The batch evaluation: validation on the caller, rows on the workers.
#include "analyzer/batch_evaluation.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

#include "analyzer/corpus_profile.hpp"
#include "analyzer/full_evaluation.hpp"
#include "parallel/thread_pool.hpp"

namespace lexispan {

namespace {

// The one error a failing call reports. A failing item only tries to claim
// the slot and never waits; the claim is a test-and-set rather than
// mutex::try_lock, which may fail spuriously and would then let a failed
// batch come back without its error.
class FailureSlot {
public:
    void offer(const MeasureError& error) {
        if (!claimed_.test_and_set(std::memory_order_acq_rel)) {
            error_ = error;
        }
    }
    // Only after every work item has ended.
    [[nodiscard]] std::optional<MeasureError> take() { return std::move(error_); }

private:
    std::atomic_flag claimed_;
    std::optional<MeasureError> error_;
};

// Enough chunks per worker to even out uneven rows, few enough that the
// per-chunk hand-out cost stays negligible.
std::size_t chunk_size(std::size_t rows, std::size_t workers) {
    const std::size_t target = rows / (workers * 8) + 1;
    return std::clamp<std::size_t>(target, 1, 256);
}

}  // namespace

Result<std::vector<DispersionMetrics>> calculate_batch_metrics(
    RowSource& rows, const std::vector<double>& corpus_part_sizes, double total_corpus_words) {
    const std::size_t count = rows.row_count();
    if (count == 0) {
        return std::vector<DispersionMetrics>{};
    }
    const std::size_t expected = corpus_part_sizes.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = rows.row_length(i);
        if (length != expected) {
            return MeasureError{"Row " + std::to_string(i) + " has length " +
                                std::to_string(length) + ", expected " +
                                std::to_string(expected)};
        }
    }

    std::vector<DispersionMetrics> records(count);
    std::atomic<bool> failed{false};
    FailureSlot failure;
    const auto evaluate = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (failed.load(std::memory_order_acquire)) {
                return;
            }
            Result<CorpusProfile> profile =
                make_corpus_profile(rows.take_row(i), corpus_part_sizes, total_corpus_words);
            if (!profile.ok()) {
                failure.offer(profile.error());
                failed.store(true, std::memory_order_release);
                return;
            }
            records[i] = calculate_all_metrics(profile.value());
        }
    };
    run_chunked(count, chunk_size(count, pool_worker_count()), failed, evaluate);

    if (std::optional<MeasureError> error = failure.take()) {
        return *std::move(error);
    }
    return records;
}

}  // namespace lexispan
