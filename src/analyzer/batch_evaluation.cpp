// The batch evaluation: validation on the caller, rows on the workers.
#include "analyzer/batch_evaluation.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "analyzer/corpus_profile.hpp"
#include "analyzer/da_pair_sums.hpp"
#include "analyzer/full_evaluation.hpp"
#include "analyzer/measures.hpp"
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

// Full records for up to da_lanes profiles, DA's pair sums computed together.
void evaluate_group(std::vector<CorpusProfile>& group, DispersionMetrics* records) {
    std::optional<double> da[da_lanes];
    const double* pending_rows[da_lanes];
    std::size_t pending_index[da_lanes];
    double pending_mean[da_lanes];
    std::size_t pending = 0;
    for (std::size_t r = 0; r < group.size(); ++r) {
        const DaPreparation prepared = prepare_evenness_da(group[r]);
        if (const auto* done = std::get_if<std::optional<double>>(&prepared)) {
            da[r] = *done;
        } else {
            pending_rows[pending] = group[r].normalized_frequencies.data();
            pending_index[pending] = r;
            pending_mean[pending] = std::get<DaPairSumNeeded>(prepared).mean;
            ++pending;
        }
    }
    if (pending > 0) {
        // Every row has the same length: the part-size count.
        const std::size_t n = group.front().n;
        double sums[da_lanes];
        da_pair_sums(pending_rows, pending, n, sums);
        for (std::size_t p = 0; p < pending; ++p) {
            da[pending_index[p]] = finish_evenness_da(sums[p], n, pending_mean[p]);
        }
    }
    for (std::size_t r = 0; r < group.size(); ++r) {
        records[r] = calculate_all_metrics(group[r], da[r]);
    }
}

// Enough chunks per worker to even out uneven rows, few enough that the
// per-chunk hand-out cost stays negligible; whole DA groups where possible.
std::size_t chunk_size(std::size_t rows, std::size_t workers) {
    const std::size_t target = rows / (workers * 8) + 1;
    const std::size_t groups = (target + da_lanes - 1) / da_lanes;
    return std::clamp<std::size_t>(groups, 1, 16) * da_lanes;
}

}  // namespace

Result<std::vector<DispersionMetrics>> calculate_batch_metrics(
    RowSource& rows, const std::vector<double>& corpus_part_sizes, double total_corpus_words) {
    return calculate_batch_metrics(rows, corpus_part_sizes, total_corpus_words, {});
}

Result<std::vector<DispersionMetrics>> calculate_batch_metrics(
    RowSource& rows, const std::vector<double>& corpus_part_sizes, double total_corpus_words,
    const std::function<bool()>& poll) {
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

    // What fails one row fails them all; known before a record is reserved,
    // so that a batch of many empty rows reports that rather than running
    // out of memory.
    if (std::optional<MeasureError> error =
            check_profile_shape(expected, expected, total_corpus_words)) {
        return *std::move(error);
    }

    std::vector<DispersionMetrics> records(count);
    std::atomic<bool> failed{false};
    FailureSlot failure;
    // Rows go through in groups of da_lanes, so that the DA pair sums of a
    // group run side by side; everything else is the single-row code.
    const auto evaluate = [&](std::size_t begin, std::size_t end) {
        std::vector<CorpusProfile> group;
        group.reserve(da_lanes);
        for (std::size_t first = begin; first < end; first += da_lanes) {
            const std::size_t last = std::min(end, first + da_lanes);
            group.clear();
            for (std::size_t i = first; i < last; ++i) {
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
                group.push_back(std::move(profile).value());
            }
            evaluate_group(group, records.data() + first);
        }
    };
    run_chunked(count, chunk_size(count, pool_worker_count()), failed, evaluate, poll);

    if (std::optional<MeasureError> error = failure.take()) {
        return *std::move(error);
    }
    return records;
}

}  // namespace lexispan
