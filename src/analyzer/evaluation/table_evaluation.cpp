// Rows of a count matrix to the row engine, a group at a time, never the
// whole matrix dense.
#include "analyzer/evaluation/table_evaluation.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "parallel/thread_pool.hpp"

namespace lexispan {

namespace {

std::int64_t load_integer(const std::byte* base, std::size_t size, std::size_t i) noexcept {
    if (size == 4) {
        std::int32_t value;
        std::memcpy(&value, base + i * 4, 4);
        return value;
    }
    std::int64_t value;
    std::memcpy(&value, base + i * 8, 8);
    return value;
}

std::size_t slice_count(const CountMatrix& matrix, const CompressedCounts& counts) noexcept {
    return counts.by_words ? matrix.words : matrix.parts;
}

std::size_t index_limit(const CountMatrix& matrix, const CompressedCounts& counts) noexcept {
    return counts.by_words ? matrix.parts : matrix.words;
}

// Whether a long pass over slices should give up: `stop` is looked at every
// 256 slices.
bool stopped(const std::atomic<bool>* stop, std::size_t slice) noexcept {
    return stop != nullptr && slice % 256 == 0 && stop->load(std::memory_order_relaxed);
}

std::size_t pointer_at(const CompressedCounts& counts, std::size_t k) noexcept {
    return static_cast<std::size_t>(load_integer(counts.pointers, counts.pointer_size, k));
}

std::size_t index_at(const CompressedCounts& counts, std::size_t e) noexcept {
    return static_cast<std::size_t>(load_integer(counts.indices, counts.index_size, e));
}

// One worker's storage: the rows of the current group and the engine's
// scratch.
struct GroupBuffers {
    std::vector<std::vector<double>> dense;
    std::vector<std::vector<std::uint32_t>> parts;
    std::vector<std::vector<double>> values;
    std::vector<WordRow> rows;
    std::vector<RowValues> results;
    RowScratch scratch;

    explicit GroupBuffers(std::size_t group)
        : dense(group), parts(group), values(group), rows(group), results(group) {}
};

void load_dense_group(const CountMatrix& matrix, const DenseCounts& counts, std::size_t first,
                      std::size_t count, GroupBuffers& buffers) {
    for (std::size_t r = 0; r < count; ++r) {
        std::vector<double>& row = buffers.dense[r];
        row.resize(matrix.parts);
        const std::byte* start =
            counts.data + static_cast<std::ptrdiff_t>(first + r) * counts.word_stride;
        read_strided_elements(start, counts.format, matrix.parts, counts.part_stride, row.data());
        buffers.rows[r] = WordRow{row.data(), nullptr, nullptr, 0};
    }
}

// The matrix passed check_counts, but its arrays stay the caller's while the
// engine reads them without the interpreter lock: another thread may write
// to them. Every pointer and index is checked as it is read, so a change
// ends the call (false) instead of sending a read or a write out of bounds;
// values that change are only wrong numbers.
bool load_word_slices(const CountMatrix& matrix, const CompressedCounts& counts,
                      std::size_t first, std::size_t count, GroupBuffers& buffers) {
    for (std::size_t r = 0; r < count; ++r) {
        const std::size_t begin = pointer_at(counts, first + r);
        const std::size_t end = pointer_at(counts, first + r + 1);
        if (begin > end || end > counts.entries) {
            return false;
        }
        std::vector<std::uint32_t>& parts = buffers.parts[r];
        std::vector<double>& values = buffers.values[r];
        parts.resize(end - begin);
        values.resize(end - begin);
        // Ascending from 0 and below the part count, as unsigned numbers.
        std::size_t next = 0;
        for (std::size_t e = begin; e < end; ++e) {
            const std::size_t part = index_at(counts, e);
            if (part < next || part >= matrix.parts) {
                return false;
            }
            parts[e - begin] = static_cast<std::uint32_t>(part);
            next = part + 1;
        }
        read_elements(counts.data + begin * counts.format.size, counts.format, end - begin,
                      values.data());
        buffers.rows[r] = WordRow{nullptr, parts.data(), values.data(), parts.size()};
    }
    return true;
}

void store_group(std::span<const ColumnTarget> targets, std::size_t first, std::size_t count,
                 const GroupBuffers& buffers) {
    // results[r] belongs to word first + r.
    for (const ColumnTarget& target : targets) {
        if (target.column == Column::range) {
            auto* out = static_cast<std::int32_t*>(target.data) + first;
            for (std::size_t r = 0; r < count; ++r) {
                out[r] = buffers.results[r].range;
            }
        } else {
            auto* out = static_cast<double*>(target.data) + first;
            const std::size_t column = index_of(target.column);
            for (std::size_t r = 0; r < count; ++r) {
                out[r] = buffers.results[r].values[column];
            }
        }
    }
}

template <class T>
const std::byte* bytes_of(const T* values) noexcept {
    return static_cast<const std::byte*>(static_cast<const void*>(values));
}

}  // namespace

CountMatrix WordSlices::matrix(std::size_t words, std::size_t parts) const {
    CompressedCounts counts;
    counts.pointers = bytes_of(pointers.data());
    counts.pointer_size = sizeof(std::int64_t);
    const bool narrow = wide_parts.empty() && !narrow_parts.empty();
    counts.indices = narrow ? bytes_of(narrow_parts.data()) : bytes_of(wide_parts.data());
    counts.index_size = narrow ? sizeof(std::int32_t) : sizeof(std::int64_t);
    counts.data = bytes_of(values.data());
    counts.format = ElementFormat{};  // native binary64
    counts.entries = values.size();
    counts.by_words = true;
    return CountMatrix{words, parts, counts};
}

std::optional<WordSlices> transpose_to_words(const CountMatrix& matrix,
                                             const CompressedCounts& counts,
                                             const std::atomic<bool>* stop) {
    WordSlices slices;
    const std::size_t entries = pointer_at(counts, matrix.parts);
    if (entries > counts.entries) {
        return std::nullopt;
    }
    slices.pointers.assign(matrix.words + 1, 0);
    for (std::size_t e = 0; e < entries; ++e) {
        const std::size_t word = index_at(counts, e);
        if (word >= matrix.words ||
            ((e & 0xFFFFF) == 0 && stop != nullptr && stop->load(std::memory_order_relaxed))) {
            return std::nullopt;
        }
        ++slices.pointers[word + 1];
    }
    for (std::size_t w = 0; w < matrix.words; ++w) {
        slices.pointers[w + 1] += slices.pointers[w];
    }
    const bool narrow = matrix.parts <= static_cast<std::size_t>(INT32_MAX);
    if (narrow) {
        slices.narrow_parts.resize(entries);
    } else {
        slices.wide_parts.resize(entries);
    }
    slices.values.resize(entries);
    std::vector<std::int64_t> next(slices.pointers.begin(), slices.pointers.end() - 1);
    for (std::size_t p = 0; p < matrix.parts; ++p) {
        const std::size_t begin = pointer_at(counts, p);
        const std::size_t end = pointer_at(counts, p + 1);
        if (begin > end || end > entries || stopped(stop, p)) {
            return std::nullopt;
        }
        for (std::size_t e = begin; e < end; ++e) {
            // A word index read again may have changed since it was counted.
            const std::size_t word = index_at(counts, e);
            if (word >= matrix.words || next[word] >= slices.pointers[word + 1]) {
                return std::nullopt;
            }
            const auto at = static_cast<std::size_t>(next[word]++);
            if (narrow) {
                slices.narrow_parts[at] = static_cast<std::int32_t>(p);
            } else {
                slices.wide_parts[at] = static_cast<std::int64_t>(p);
            }
            slices.values[at] = read_element(counts.data + e * counts.format.size, counts.format);
        }
    }
    return slices;
}

std::optional<MeasureError> check_counts(const CountMatrix& matrix,
                                         const std::atomic<bool>* stop) {
    const auto* counts = std::get_if<CompressedCounts>(&matrix.counts);
    if (counts == nullptr) {
        return std::nullopt;
    }
    const std::size_t slices = slice_count(matrix, *counts);
    const std::size_t limit = index_limit(matrix, *counts);
    if (load_integer(counts->pointers, counts->pointer_size, 0) != 0) {
        return MeasureError{"sparse matrix index pointers must start at 0"};
    }
    std::int64_t previous_end = 0;
    for (std::size_t k = 0; k < slices; ++k) {
        if (stopped(stop, k)) {
            return std::nullopt;
        }
        const std::int64_t end = load_integer(counts->pointers, counts->pointer_size, k + 1);
        if (end < previous_end || static_cast<std::uint64_t>(end) > counts->entries) {
            return MeasureError{"sparse matrix index pointers must not decrease and must stay "
                                "within the stored entries (at slice " +
                                std::to_string(k) + ")"};
        }
        std::int64_t previous_index = -1;
        for (auto e = static_cast<std::size_t>(previous_end); e < static_cast<std::size_t>(end);
             ++e) {
            const std::int64_t index = load_integer(counts->indices, counts->index_size, e);
            if (index < 0 || static_cast<std::uint64_t>(index) >= limit) {
                return MeasureError{"sparse matrix index " + std::to_string(index) +
                                    " is out of range (0 to " + std::to_string(limit) + ")"};
            }
            if (index <= previous_index) {
                return MeasureError{"sparse matrix indices must be sorted and without "
                                    "duplicates within each row/column (at slice " +
                                    std::to_string(k) + ")"};
            }
            previous_index = index;
        }
        previous_end = end;
    }
    return std::nullopt;
}

bool add_part_sums(const CountMatrix& matrix, double* sums, const std::atomic<bool>* stop) {
    if (const auto* dense = std::get_if<DenseCounts>(&matrix.counts)) {
        std::vector<double> row(matrix.parts);
        for (std::size_t w = 0; w < matrix.words; ++w) {
            if (stopped(stop, w)) {
                return true;
            }
            read_strided_elements(dense->data + static_cast<std::ptrdiff_t>(w) * dense->word_stride,
                                  dense->format, matrix.parts, dense->part_stride, row.data());
            for (std::size_t p = 0; p < matrix.parts; ++p) {
                sums[p] += row[p];
            }
        }
        return true;
    }
    const auto& counts = std::get<CompressedCounts>(matrix.counts);
    const std::size_t slices = slice_count(matrix, counts);
    // Either way each part's sum takes its words in ascending order. Absent
    // entries may be skipped: a sum started at +0.0 never becomes -0.0, and
    // adding +0.0 to anything else leaves it unchanged.
    for (std::size_t k = 0; k < slices; ++k) {
        if (stopped(stop, k)) {
            return true;
        }
        const std::size_t begin = pointer_at(counts, k);
        const std::size_t end = pointer_at(counts, k + 1);
        if (begin > end || end > counts.entries) {
            return false;  // changed since it was checked
        }
        for (std::size_t e = begin; e < end; ++e) {
            const double value = read_element(counts.data + e * counts.format.size, counts.format);
            const std::size_t p = counts.by_words ? index_at(counts, e) : k;
            if (p >= matrix.parts) {
                return false;
            }
            sums[p] += value;
        }
    }
    return true;
}

double ordered_sum(std::span<const double> values) noexcept {
    double sum = 0.0;
    for (const double x : values) {
        sum += x;
    }
    return sum;
}

bool evaluate_table(const CountMatrix& matrix, const PartTable& parts, const ColumnSet& columns,
                    DaMethod da, std::span<const ColumnTarget> targets, const TableRun& run) {
    const std::size_t words = matrix.words;
    if (words == 0) {
        return true;
    }
    if (const auto* compressed = std::get_if<CompressedCounts>(&matrix.counts);
        compressed != nullptr && !compressed->by_words) {
        // Compressed by parts: the words' slices are made once, then read as
        // any matrix compressed by words.
        const std::optional<WordSlices> slices = transpose_to_words(matrix, *compressed, run.stop);
        if (run.stop->load(std::memory_order_acquire)) {
            return true;
        }
        if (!slices) {
            run.stop->store(true, std::memory_order_release);
            return false;  // changed since it was checked
        }
        return evaluate_table(slices->matrix(matrix.words, matrix.parts), parts, columns, da,
                              targets, run);
    }
    const std::size_t group = row_group_size();
    // Words are evaluated `group` at a time; a worker claims several groups at once.
    const std::size_t claim = group * 4;
    const std::size_t claims = (words + claim - 1) / claim;
    std::atomic<std::size_t> next_claim{0};
    std::atomic<bool>& stop = *run.stop;
    std::atomic<bool> changed{false};
    const auto give_up = [&] {
        changed.store(true, std::memory_order_relaxed);
        stop.store(true, std::memory_order_release);
    };

    // One participant: claims runs of rows until none are left or the call
    // is stopped.
    const auto participate = [&]() {
        GroupBuffers buffers(group);
        for (;;) {
            const std::size_t c = next_claim.fetch_add(1, std::memory_order_relaxed);
            if (c >= claims || stop.load(std::memory_order_acquire)) {
                return;
            }
            const std::size_t end = std::min(words, c * claim + claim);
            for (std::size_t first = c * claim; first < end; first += group) {
                if (stop.load(std::memory_order_acquire)) {
                    return;
                }
                const std::size_t count = std::min(group, end - first);
                if (const auto* dense = std::get_if<DenseCounts>(&matrix.counts)) {
                    load_dense_group(matrix, *dense, first, count, buffers);
                } else if (!load_word_slices(matrix, std::get<CompressedCounts>(matrix.counts),
                                             first, count, buffers)) {
                    return give_up();
                }
                evaluate_rows(parts, buffers.rows.data(), count, columns, da, buffers.scratch,
                              buffers.results.data(), &stop);
                if (stop.load(std::memory_order_acquire)) {
                    return;  // the group may be unfinished; the call is abandoned
                }
                store_group(targets, first, count, buffers);
                run.done->fetch_add(count, std::memory_order_relaxed);
            }
        }
    };

    const std::size_t threads = std::min(std::max<std::size_t>(run.threads, 1), claims);
    if (threads == 1) {
        participate();
    } else {
        // The poll lets a stop end the wait for a pool that another call holds.
        run_chunked(threads, 1, stop, [&](std::size_t, std::size_t) { participate(); },
                    [&] { return stop.load(std::memory_order_acquire); });
    }
    return !changed.load(std::memory_order_relaxed);
}

}  // namespace lexispan
