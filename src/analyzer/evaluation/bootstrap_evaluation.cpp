// Replicates over a block of words: the block's entries gathered once, each
// replicate's part table built once and its rows expanded from the entries.
#include "analyzer/evaluation/bootstrap_evaluation.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "parallel/thread_pool.hpp"

namespace lexispan {

Result<PartTable> make_replicate_table(std::span<const double> sizes,
                                       const std::int64_t* multiplicities,
                                       const PartGroups* strata) {
    const std::size_t n = sizes.size();
    std::vector<double> parts;
    if (strata == nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            parts.insert(parts.end(), static_cast<std::size_t>(multiplicities[i]), sizes[i]);
        }
    } else {
        parts.assign(strata->count, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            double& sum = parts[strata->group_of[i]];
            for (std::int64_t j = 0; j < multiplicities[i]; ++j) {
                sum += sizes[i];
            }
        }
    }
    double total = 0.0;
    for (const double size : parts) {
        total += size;
    }
    return make_part_table(std::move(parts), total);
}

namespace {

// The entries (counts other than +0.0) of a block of words, in part order.
struct BlockEntries {
    std::vector<std::size_t> starts{0};
    std::vector<std::uint32_t> parts;
    std::vector<double> values;
};

// False when the matrix changed since it was checked.
bool gather_block(const CountMatrix& matrix, std::size_t first, std::size_t last,
                  std::atomic<bool>& stop, BlockEntries& block) {
    const TableRun one{1, &stop, nullptr};
    return for_each_row_group(matrix, first, last, one, [&]() -> RowGroupVisit {
        return [&](std::size_t, std::span<const WordRow> rows) {
            for (const WordRow& row : rows) {
                for_each_entry(row, matrix.parts, [&](std::size_t part, double value) {
                    block.parts.push_back(static_cast<std::uint32_t>(part));
                    block.values.push_back(value);
                });
                block.starts.push_back(block.parts.size());
            }
        };
    });
}

// One participant's storage: the replicate's part positions, the rows of a
// group of words and the engine's scratch.
struct ReplicateRows {
    explicit ReplicateRows(std::size_t lanes)
        : parts(lanes), values(lanes), sums(lanes), rows(lanes), results(lanes) {}

    std::vector<std::size_t> position;  // first repeated place of each part
    std::vector<std::vector<std::uint32_t>> parts;
    std::vector<std::vector<double>> values;
    std::vector<std::vector<double>> sums;
    std::vector<WordRow> rows;
    std::vector<RowValues> results;
    std::vector<ColumnTarget> targets;
    RowScratch scratch;
};

std::size_t element_size(Column column) noexcept {
    return column == Column::range ? sizeof(std::int32_t) : sizeof(double);
}

// Word w of the block in one replicate as a row: its entries repeated, or
// with strata its counts summed per stratum. Whether it occurs.
bool expand_row(const BlockEntries& block, std::size_t w, const std::int64_t* m,
                const PartGroups* strata, std::size_t r, ReplicateRows& s) {
    bool occurs = false;
    std::vector<std::uint32_t>& parts = s.parts[r];
    std::vector<double>& values = s.values[r];
    std::vector<double>& sums = s.sums[r];
    parts.clear();
    values.clear();
    if (strata != nullptr) {
        sums.assign(strata->count, 0.0);
    }
    for (std::size_t e = block.starts[w]; e < block.starts[w + 1]; ++e) {
        const std::uint32_t part = block.parts[e];
        const double value = block.values[e];
        const std::int64_t times = m[part];
        occurs = occurs || (times > 0 && value > 0.0);
        if (strata != nullptr) {
            double& sum = sums[strata->group_of[part]];
            for (std::int64_t j = 0; j < times; ++j) {
                sum += value;
            }
            continue;
        }
        for (std::int64_t j = 0; j < times; ++j) {
            parts.push_back(static_cast<std::uint32_t>(s.position[part] +
                                                       static_cast<std::size_t>(j)));
            values.push_back(value);
        }
    }
    s.rows[r] = strata != nullptr ? WordRow{sums.data(), nullptr, nullptr, 0}
                                  : WordRow{nullptr, parts.data(), values.data(), parts.size()};
    return occurs;
}

}  // namespace

std::optional<MeasureError> evaluate_replicates(
    const CountMatrix& matrix, std::size_t first, std::size_t last,
    std::span<const double> sizes, const Replicates& replicates, const ColumnSet& columns,
    DaMethod da, std::span<const ColumnTarget> targets, std::uint8_t* occurs,
    const TableRun& run, bool& sound) {
    std::atomic<bool>& stop = *run.stop;
    BlockEntries block;
    sound = gather_block(matrix, first, last, stop, block);
    if (!sound || stop.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    const std::size_t words = last - first;
    const std::size_t n = matrix.parts;
    const std::size_t lanes = row_group_size();
    std::vector<std::optional<MeasureError>> refused(replicates.count);
    std::atomic<std::size_t> next{0};

    const auto participate = [&]() {
        ReplicateRows s(lanes);
        for (;;) {
            const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= replicates.count || stop.load(std::memory_order_acquire)) {
                return;
            }
            const std::int64_t* m = replicates.multiplicities + b * n;
            Result<PartTable> made = make_replicate_table(sizes, m, replicates.strata);
            if (!made.ok()) {
                refused[b] = made.error();
                continue;
            }
            const PartTable& table = made.value();
            s.position.resize(n);
            std::size_t place = 0;
            for (std::size_t i = 0; i < n; ++i) {
                s.position[i] = place;
                place += static_cast<std::size_t>(m[i]);
            }
            s.targets.assign(targets.begin(), targets.end());
            for (ColumnTarget& target : s.targets) {
                target.data = static_cast<std::byte*>(target.data) +
                              b * words * element_size(target.column);
            }
            std::uint8_t* found = occurs + b * words;
            for (std::size_t w = 0; w < words; w += lanes) {
                const std::size_t count = std::min(lanes, words - w);
                for (std::size_t r = 0; r < count; ++r) {
                    found[w + r] = expand_row(block, w + r, m, replicates.strata, r, s) ? 1 : 0;
                }
                evaluate_rows(table, s.rows.data(), count, columns, da, s.scratch,
                              s.results.data(), &stop);
                if (stop.load(std::memory_order_acquire)) {
                    return;
                }
                store_rows(s.targets, w, std::span<const RowValues>(s.results.data(), count));
            }
            if (run.done != nullptr) {
                run.done->fetch_add(1, std::memory_order_relaxed);
            }
        }
    };
    const std::size_t threads =
        std::min(std::max<std::size_t>(run.threads, 1), std::max<std::size_t>(replicates.count, 1));
    if (threads == 1) {
        participate();
    } else {
        // The poll lets a stop end the wait for a pool that another call holds.
        run_chunked(threads, 1, stop, [&](std::size_t, std::size_t) { participate(); },
                    [&] { return stop.load(std::memory_order_acquire); });
    }
    for (std::size_t b = 0; b < replicates.count; ++b) {
        if (refused[b]) {
            return MeasureError{"replicate " + std::to_string(b) + ": " + refused[b]->message};
        }
    }
    return std::nullopt;
}

}  // namespace lexispan
