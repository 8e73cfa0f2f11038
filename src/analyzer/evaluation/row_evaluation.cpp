// Rows of a table call through the one set of measure functions: each row
// takes the walk that costs it less (both give the same bits), and DA's pair
// sums of a group go to the multi-row kernel or the sparse pair sum,
// whichever costs the group less.
#include "analyzer/evaluation/row_evaluation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>

#include "analyzer/evaluation/row_columns.hpp"
#include "analyzer/sums/da_pair_sums.hpp"
#include "analyzer/sums/da_sums.hpp"

namespace lexispan {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

bool finite_and_not_negative(double x) noexcept { return x >= 0.0 && x < infinity; }

// Whether every row of a call may take the sparse walk (see PartTable).
bool sparse_walks_allowed(const std::vector<double>& sizes, const std::vector<double>& relative,
                          double total) noexcept {
    if (!(total > 0.0 && total < infinity) ||
        sizes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (!finite_and_not_negative(sizes[i]) || !finite_and_not_negative(relative[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

Result<PartTable> make_part_table(std::vector<double> sizes, double total) {
    if (sizes.empty()) {
        return MeasureError{empty_input_message};
    }
    // Written so that a NaN total passes, as it does for a profile.
    if (0.0 >= total) {
        return MeasureError{nonpositive_total_message};
    }
    PartTable table;
    table.relative.resize(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        table.relative[i] = relative_size(sizes[i], total);
    }
    table.min_relative = smallest(table.relative);
    if (sparse_walks_allowed(sizes, table.relative, total)) {
        table.sparse = std::make_shared<const AbsentTerms>(table.relative);
    }
    table.by_frequency =
        std::make_shared<const FrequencyConstants>(sizes, table.relative, total, table.sparse);
    table.sizes = std::move(sizes);
    table.total = total;
    return table;
}

std::size_t row_group_size() noexcept { return da_lanes; }

namespace {

// One row of the group in flight.
struct Lane {
    // The entries (counts > 0) and their q, for the sparse walk.
    std::vector<std::uint32_t> parts;
    std::vector<double> values;
    std::vector<double> q;
    // The counts made dense (a row given as entries that takes the dense
    // walk) and every part's q (the dense walk, and the kernel's input).
    std::vector<double> dense;
    std::vector<double> dense_q;
    // The nonzero q and their parts, for the sparse pair sum.
    std::vector<std::uint32_t> da_parts;
    std::vector<double> da_values;
};

}  // namespace

struct RowScratch::Storage {
    std::array<Lane, da_lanes> lanes;
    std::vector<double> sorted;
    std::vector<std::uint64_t> da_units;
};

RowScratch::RowScratch() : storage_(std::make_unique<Storage>()) {}
RowScratch::RowScratch(RowScratch&&) noexcept = default;
RowScratch& RowScratch::operator=(RowScratch&&) noexcept = default;
RowScratch::~RowScratch() = default;

namespace {

// A count the sparse walk can take: > 0 and finite (an entry), or +0.0
// (absent); anything else (negative, -0.0, not finite) sends the row to the
// dense walk.
enum class Count { entry, absent, refused };
Count kind_of(double value) noexcept {
    if (value > 0.0 && value < infinity) {
        return Count::entry;
    }
    return value == 0.0 && !std::signbit(value) ? Count::absent : Count::refused;
}

// The row's entries (counts > 0) as parts and values; nothing when a count
// is refused. `gather` false only counts them.
std::optional<std::size_t> entries_of(const WordRow& row, std::size_t n, bool gather,
                                      Lane& lane) {
    lane.parts.clear();
    lane.values.clear();
    std::size_t count = 0;
    const auto take = [&](double value, std::size_t part) {
        const Count kind = kind_of(value);
        if (kind == Count::entry) {
            ++count;
            if (gather) {
                lane.parts.push_back(static_cast<std::uint32_t>(part));
                lane.values.push_back(value);
            }
        }
        return kind != Count::refused;
    };
    const std::size_t stored = row.dense != nullptr ? n : row.entries;
    for (std::size_t e = 0; e < stored; ++e) {
        const bool kept = row.dense != nullptr ? take(row.dense[e], e)
                                               : take(row.values[e], row.parts[e]);
        if (!kept) {
            return std::nullopt;
        }
    }
    return count;
}

// Whether a row found in k of n parts costs less on the sparse walk than on
// the dense one: the sparse walk's bulk sums cost several times a plain
// addition per entry and per run of absent parts. Measured on every record
// column at n = 500 (bench/RESULTS.md): even at about k = 0.4 n.
bool prefers_sparse_walk(std::size_t k, std::size_t n) noexcept { return k * 5 <= n * 2; }

using AnyWalk = std::variant<DenseWalk, SparseWalk>;

// A row whose DA still needs its pair sum.
struct PendingDa {
    std::size_t row;
    double mean;
    AnyWalk walk;
    // Its q are finite and >= 0, so the sparse pair sum may take it; it is
    // found in `entries` parts. Otherwise the kernel must take it.
    bool sparse;
    std::size_t entries;
};

void set_da(RowValues& out, double value) noexcept {
    out.values[index_of(Column::evenness_da)] = value;
    out.values[index_of(Column::ft_adjusted_by_da)] =
        ft_adjusted_by_da(out.values[index_of(Column::mean_text_frequency_ft)], value);
}

// DA of a row whose columns are filled: decided by its guards, by the sorted
// identity, or left pending for the group's pair sums.
template <class Walk>
std::optional<PendingDa> settle_da_guards(const RowView<Walk>& view, std::size_t r,
                                          std::optional<std::size_t> entries, DaMethod method,
                                          std::vector<double>& sorted, RowValues& out) {
    const DaPreparation prepared = prepare_evenness_da(view.walk, view.frequency, view.mean_q());
    if (const auto* done = std::get_if<std::optional<double>>(&prepared)) {
        // A row has parts, so the guards always give a value.
        set_da(out, done->value_or(std::numeric_limits<double>::quiet_NaN()));
        return std::nullopt;
    }
    const double mean = std::get<DaPairSumNeeded>(prepared).mean;
    const std::size_t n = view.walk.parts();
    if (method == DaMethod::sorted &&
        view.walk.every([](const PartCell& cell) { return std::isfinite(cell.q); })) {
        sorted.clear();
        view.walk.for_each([&sorted](const PartCell& cell) {
            if (cell.q != 0.0) {
                sorted.push_back(cell.q);
            }
        });
        set_da(out, finish_evenness_da(sorted_pair_sum(sorted.data(), sorted.size(), n), n, mean));
        return std::nullopt;
    }
    // Pairwise, and rows that are not finite under either method: their sum
    // is decided by the order of the pairs. Counts finite and >= 0 with a
    // finite sum of q give finite q >= 0, which the sparse pair sum takes.
    const bool sparse = entries.has_value() && std::isfinite(view.q_total);
    return PendingDa{r, mean, view.walk, sparse, entries.value_or(n)};
}

// Fills row r's columns through the walk it takes; what DA still needs, if
// anything.
std::optional<PendingDa> evaluate_row(const PartTable& parts, const WordRow& row, std::size_t r,
                                      const ColumnSet& columns, DaMethod method,
                                      RowScratch::Storage& scratch, RowValues& out) {
    const std::size_t n = parts.parts();
    Lane& lane = scratch.lanes[r];
    // A row given densely is counted first and gathered only for the sparse
    // walk; one given as entries is gathered at once (its stored zeros go).
    std::optional<std::size_t> entries;
    if (parts.sparse != nullptr) {
        entries = entries_of(row, n, row.dense == nullptr, lane);
        if (entries && row.dense != nullptr && prefers_sparse_walk(*entries, n)) {
            (void)entries_of(row, n, true, lane);
        }
    }
    if (entries && prefers_sparse_walk(*entries, n)) {
        const std::size_t k = *entries;
        lane.q.resize(k);
        for (std::size_t e = 0; e < k; ++e) {
            lane.q[e] = normalized_frequency(lane.values[e], parts.sizes[lane.parts[e]]);
        }
        const SparseWalk walk(lane.parts.data(), lane.values.data(), lane.q.data(), k,
                              parts.relative.data(), n);
        const RowView<SparseWalk> view(walk, parts.min_relative, parts.total, parts.sparse.get(),
                                       parts.by_frequency.get());
        // The bulk sums need finite terms; an overflowing row walks densely.
        if (std::isfinite(view.frequency) && std::isfinite(view.q_total)) {
            fill_columns(view, columns, out);
            if (!columns.needs_da()) {
                return std::nullopt;
            }
            return settle_da_guards(view, r, entries, method, scratch.sorted, out);
        }
    }
    const double* v = row.dense;
    if (v == nullptr) {
        lane.dense.assign(n, 0.0);
        for (std::size_t e = 0; e < row.entries; ++e) {
            lane.dense[row.parts[e]] = row.values[e];
        }
        v = lane.dense.data();
    }
    lane.dense_q.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        lane.dense_q[i] = normalized_frequency(v[i], parts.sizes[i]);
    }
    const DenseWalk walk(v, lane.dense_q.data(), parts.relative.data(), n);
    const RowView<DenseWalk> view(walk, parts.min_relative, parts.total, nullptr,
                                  parts.by_frequency.get());
    fill_columns(view, columns, out);
    if (!columns.needs_da()) {
        return std::nullopt;
    }
    return settle_da_guards(view, r, entries, method, scratch.sorted, out);
}

// Estimated costs in nanoseconds, measured at n = 200 to 8,000 on the AVX2
// kernel of a Zen 3 core (bench/RESULTS.md): the kernel's call costs about
// 1.1 ns per pair of parts for up to 8 rows (its lanes cost the same full
// or empty) and 0.12 ns more per row beyond; the sparse pair sum about
// 1.06 ns per pair of entries and 310 ns per entry (the rows it must walk
// plainly where the sum crosses a binade, and its per-row set-up). Only the
// choice depends on them, never a bit.
// The kernel's estimate is weighted up by a quarter, about how much both
// vary between rows and runs: where they are that close, the sparse sums
// stay, as the engine had them.
double kernel_cost(std::size_t rows, std::size_t n) noexcept {
    const double pairs = static_cast<double>(n) * static_cast<double>(n - 1) * 0.5;
    const double beyond = rows > 8 ? static_cast<double>(rows - 8) : 0.0;
    return 1.25 * pairs * (1.1 + 0.12 * beyond);
}
double sparse_cost(std::size_t entries) noexcept {
    const auto k = static_cast<double>(entries);
    return 0.53 * k * k + 310.0 * k;
}

// How many of the `optional` rows (sorted by falling sparse cost) join the
// `forced` ones on the kernel so that the group costs least.
std::size_t rows_for_kernel(std::size_t forced, std::span<const double> optional,
                            std::size_t n) noexcept {
    double left = 0.0;
    for (const double cost : optional) {
        left += cost;
    }
    std::size_t best = 0;
    double best_cost = (forced > 0 ? kernel_cost(forced, n) : 0.0) + left;
    for (std::size_t j = 1; j <= optional.size(); ++j) {
        left -= optional[j - 1];
        const double cost = kernel_cost(forced + j, n) + left;
        if (cost < best_cost) {
            best = j;
            best_cost = cost;
        }
    }
    return best;
}

// The group's pending pair sums: the cheaper share from the nonzeros, the
// rest side by side on the kernel (which may give up once `stop` is set).
void settle_pair_sums(PendingDa* pending, std::size_t count, std::size_t n,
                      RowScratch::Storage& scratch, RowValues* out,
                      const std::atomic<bool>* stop) {
    // Rows the kernel must take first, then the others by falling cost.
    std::sort(pending, pending + count, [](const PendingDa& a, const PendingDa& b) {
        if (a.sparse != b.sparse) {
            return !a.sparse;
        }
        return a.entries > b.entries;
    });
    const std::size_t forced = static_cast<std::size_t>(
        std::find_if(pending, pending + count, [](const PendingDa& p) { return p.sparse; }) -
        pending);
    double costs[da_lanes];
    for (std::size_t p = forced; p < count; ++p) {
        costs[p - forced] = sparse_cost(pending[p].entries);
    }
    const std::size_t on_kernel =
        forced + rows_for_kernel(forced, std::span<const double>(costs, count - forced), n);

    const double* kernel_rows[da_lanes];
    for (std::size_t p = 0; p < count; ++p) {
        Lane& lane = scratch.lanes[pending[p].row];
        if (const auto* dense = std::get_if<DenseWalk>(&pending[p].walk); dense != nullptr) {
            if (p < on_kernel) {
                kernel_rows[p] = lane.dense_q.data();
                continue;
            }
        }
        // The nonzero q and their parts: the sparse sum's input, or the
        // kernel's made dense.
        lane.da_parts.clear();
        lane.da_values.clear();
        std::visit([&lane](const auto& walk) {
            walk.for_each([&lane](const PartCell& cell) {
                if (cell.q != 0.0) {
                    lane.da_parts.push_back(static_cast<std::uint32_t>(cell.part));
                    lane.da_values.push_back(cell.q);
                }
            });
        }, pending[p].walk);
        if (p >= on_kernel) {
            const std::optional<double> sum =
                sparse_da_pair_sum(lane.da_parts.data(), lane.da_values.data(),
                                   lane.da_values.size(), n, scratch.da_units, stop);
            if (!sum) {
                return;  // stopped: the group is abandoned
            }
            set_da(out[pending[p].row], finish_evenness_da(*sum, n, pending[p].mean));
            continue;
        }
        lane.dense_q.assign(n, 0.0);
        for (std::size_t e = 0; e < lane.da_parts.size(); ++e) {
            lane.dense_q[lane.da_parts[e]] = lane.da_values[e];
        }
        kernel_rows[p] = lane.dense_q.data();
    }
    if (on_kernel == 0) {
        return;
    }
    double sums[da_lanes];
    if (stop == nullptr) {
        da_pair_sums(kernel_rows, on_kernel, n, sums);
    } else if (!da_pair_sums(kernel_rows, on_kernel, n, sums, *stop)) {
        return;
    }
    for (std::size_t p = 0; p < on_kernel; ++p) {
        set_da(out[pending[p].row], finish_evenness_da(sums[p], n, pending[p].mean));
    }
}

}  // namespace

void evaluate_rows(const PartTable& parts, const WordRow* rows, std::size_t count,
                   const ColumnSet& columns, DaMethod da, RowScratch& scratch, RowValues* out,
                   const std::atomic<bool>* stop) {
    RowScratch::Storage& storage = *scratch.storage_;
    PendingDa pending[da_lanes];
    std::size_t waiting = 0;
    for (std::size_t r = 0; r < count; ++r) {
        if (const std::optional<PendingDa> needs =
                evaluate_row(parts, rows[r], r, columns, da, storage, out[r])) {
            pending[waiting++] = *needs;
        }
    }
    settle_pair_sums(pending, waiting, parts.parts(), storage, out, stop);
}

}  // namespace lexispan
