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

void load_word_slices(const CompressedCounts& counts, std::size_t first, std::size_t count,
                      GroupBuffers& buffers) {
    for (std::size_t r = 0; r < count; ++r) {
        const std::size_t begin = pointer_at(counts, first + r);
        const std::size_t end = pointer_at(counts, first + r + 1);
        std::vector<std::uint32_t>& parts = buffers.parts[r];
        std::vector<double>& values = buffers.values[r];
        parts.resize(end - begin);
        values.resize(end - begin);
        for (std::size_t e = begin; e < end; ++e) {
            parts[e - begin] = static_cast<std::uint32_t>(index_at(counts, e));
        }
        read_elements(counts.data + begin * counts.format.size, counts.format, end - begin,
                      values.data());
        buffers.rows[r] = WordRow{nullptr, parts.data(), values.data(), parts.size()};
    }
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

WordSlices transpose_to_words(const CountMatrix& matrix, const CompressedCounts& counts) {
    WordSlices slices;
    const std::size_t entries = pointer_at(counts, matrix.parts);
    slices.pointers.assign(matrix.words + 1, 0);
    for (std::size_t e = 0; e < entries; ++e) {
        ++slices.pointers[index_at(counts, e) + 1];
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
        const std::size_t end = pointer_at(counts, p + 1);
        for (std::size_t e = pointer_at(counts, p); e < end; ++e) {
            const auto at = static_cast<std::size_t>(next[index_at(counts, e)]++);
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

std::optional<MeasureError> check_counts(const CountMatrix& matrix) {
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

void add_part_sums(const CountMatrix& matrix, double* sums) {
    if (const auto* dense = std::get_if<DenseCounts>(&matrix.counts)) {
        std::vector<double> row(matrix.parts);
        for (std::size_t w = 0; w < matrix.words; ++w) {
            read_strided_elements(dense->data + static_cast<std::ptrdiff_t>(w) * dense->word_stride,
                                  dense->format, matrix.parts, dense->part_stride, row.data());
            for (std::size_t p = 0; p < matrix.parts; ++p) {
                sums[p] += row[p];
            }
        }
        return;
    }
    const auto& counts = std::get<CompressedCounts>(matrix.counts);
    const std::size_t slices = slice_count(matrix, counts);
    // Either way each part's sum takes its words in ascending order. Absent
    // entries may be skipped: a sum started at +0.0 never becomes -0.0, and
    // adding +0.0 to anything else leaves it unchanged.
    for (std::size_t k = 0; k < slices; ++k) {
        const std::size_t begin = pointer_at(counts, k);
        const std::size_t end = pointer_at(counts, k + 1);
        for (std::size_t e = begin; e < end; ++e) {
            const double value = read_element(counts.data + e * counts.format.size, counts.format);
            const std::size_t p = counts.by_words ? index_at(counts, e) : k;
            sums[p] += value;
        }
    }
}

double ordered_sum(std::span<const double> values) noexcept {
    double sum = 0.0;
    for (const double x : values) {
        sum += x;
    }
    return sum;
}

void evaluate_table(const CountMatrix& matrix, const PartTable& parts, const ColumnSet& columns,
                    DaMethod da, std::span<const ColumnTarget> targets, const TableRun& run) {
    const std::size_t words = matrix.words;
    if (words == 0) {
        return;
    }
    if (const auto* compressed = std::get_if<CompressedCounts>(&matrix.counts);
        compressed != nullptr && !compressed->by_words) {
        // Compressed by parts: the words' slices are made once, then read as
        // any matrix compressed by words.
        const WordSlices slices = transpose_to_words(matrix, *compressed);
        if (!run.stop->load(std::memory_order_acquire)) {
            evaluate_table(slices.matrix(matrix.words, matrix.parts), parts, columns, da, targets,
                           run);
        }
        return;
    }
    const std::size_t group = row_group_size();
    // Words are evaluated `group` at a time; a worker claims several groups at once.
    const std::size_t claim = group * 4;
    const std::size_t claims = (words + claim - 1) / claim;
    std::atomic<std::size_t> next_claim{0};
    std::atomic<bool>& stop = *run.stop;

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
                } else {
                    load_word_slices(std::get<CompressedCounts>(matrix.counts), first, count,
                                     buffers);
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
        return;
    }
    run_chunked(threads, 1, stop, [&](std::size_t, std::size_t) { participate(); });
}

}  // namespace lexispan
