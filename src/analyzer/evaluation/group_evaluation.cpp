// Within and across groups of parts: the row engine run once per group on a
// word's entries in that group, and once on its counts summed per group.
#include "analyzer/evaluation/group_evaluation.hpp"

#include <memory>
#include <string>
#include <utility>

namespace lexispan {

void sum_by_group(const PartGroups& groups, std::span<const double> values, double* sums) {
    for (std::size_t g = 0; g < groups.count; ++g) {
        sums[g] = 0.0;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        sums[groups.group_of[i]] += values[i];
    }
}

Result<GroupTables> make_group_tables(const PartTable& parts, const PartGroups& groups) {
    const std::size_t n = parts.parts();
    std::vector<std::vector<double>> sizes(groups.count);
    GroupTables tables;
    tables.groups = &groups;
    tables.place.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double>& group = sizes[groups.group_of[i]];
        tables.place[i] = static_cast<std::uint32_t>(group.size());
        group.push_back(parts.sizes[i]);
    }
    std::vector<double> totals(groups.count);
    sum_by_group(groups, parts.sizes, totals.data());
    tables.within.reserve(groups.count);
    for (std::size_t g = 0; g < groups.count; ++g) {
        Result<PartTable> table = make_part_table(std::move(sizes[g]), totals[g]);
        if (!table.ok()) {
            return MeasureError{"group " + std::to_string(g) + ": " + table.error().message};
        }
        tables.within.push_back(std::move(table).value());
    }
    Result<PartTable> across = make_part_table(std::move(totals), parts.total);
    if (!across.ok()) {
        return across.error();
    }
    tables.across = std::move(across).value();
    return tables;
}

namespace {

// One participant's storage: a row group's entries split by group (slot
// g * lanes + r for group g, row r), its sums per group (r * groups + g),
// and the engine's scratch and results.
struct SplitRows {
    SplitRows(std::size_t groups, std::size_t lanes)
        : parts(groups * lanes), values(groups * lanes), sums(groups * lanes), rows(lanes),
          results(lanes) {}

    std::vector<std::vector<std::uint32_t>> parts;
    std::vector<std::vector<double>> values;
    std::vector<double> sums;
    std::vector<WordRow> rows;
    std::vector<RowValues> results;
    RowScratch scratch;
};

}  // namespace

bool evaluate_groups(const CountMatrix& matrix, const GroupTables& tables,
                     const ColumnSet& columns, DaMethod da, const GroupTargets& targets,
                     const TableRun& run) {
    const std::size_t lanes = row_group_size();
    const std::size_t groups = tables.groups->count;
    const std::vector<std::uint32_t>& group_of = tables.groups->group_of;
    const std::atomic<bool>& stop = *run.stop;
    return for_each_row_group(matrix, 0, matrix.words, run, [&]() -> RowGroupVisit {
        auto split = std::make_shared<SplitRows>(groups, lanes);
        return [&, split](std::size_t first, std::span<const WordRow> rows) {
            SplitRows& s = *split;
            const std::size_t count = rows.size();
            for (std::size_t r = 0; r < count; ++r) {
                for (std::size_t g = 0; g < groups; ++g) {
                    s.parts[g * lanes + r].clear();
                    s.values[g * lanes + r].clear();
                    s.sums[r * groups + g] = 0.0;
                }
                for_each_entry(rows[r], matrix.parts, [&](std::size_t part, double value) {
                    const std::size_t g = group_of[part];
                    s.parts[g * lanes + r].push_back(tables.place[part]);
                    s.values[g * lanes + r].push_back(value);
                    s.sums[r * groups + g] += value;
                });
            }
            const std::span<const RowValues> results(s.results.data(), count);
            for (std::size_t g = 0; g < groups; ++g) {
                for (std::size_t r = 0; r < count; ++r) {
                    const std::size_t slot = g * lanes + r;
                    s.rows[r] = WordRow{nullptr, s.parts[slot].data(), s.values[slot].data(),
                                        s.parts[slot].size()};
                }
                evaluate_rows(tables.within[g], s.rows.data(), count, columns, da, s.scratch,
                              s.results.data(), &stop);
                if (stop.load(std::memory_order_acquire)) {
                    return;
                }
                store_rows(targets.within[g], first, results);
            }
            for (std::size_t r = 0; r < count; ++r) {
                s.rows[r] = WordRow{s.sums.data() + r * groups, nullptr, nullptr, 0};
            }
            evaluate_rows(tables.across, s.rows.data(), count, columns, da, s.scratch,
                          s.results.data(), &stop);
            if (!stop.load(std::memory_order_acquire)) {
                store_rows(targets.across, first, results);
            }
        };
    });
}

}  // namespace lexispan
