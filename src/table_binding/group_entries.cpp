// The table engine's entry points on count matrices with structure: every
// word within and across groups of parts, and bootstrap replicates.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analyzer/evaluation/bootstrap_evaluation.hpp"
#include "analyzer/evaluation/group_evaluation.hpp"
#include "python_support/boundary.hpp"
#include "python_support/py_ref.hpp"
#include "table_binding/arrays.hpp"
#include "table_binding/count_inputs.hpp"
#include "table_binding/entries.hpp"
#include "table_binding/polling.hpp"

namespace lexispan::binding::table {

namespace {

// Group numbers (int64, one per part, each in [0, count)) of which every
// one is used.
PartGroups groups_from(PyObject* codes_object, std::size_t count, std::size_t parts,
                       const char* what) {
    const Buffer codes = int64_buffer(codes_object, what, false);
    if (codes.length() != parts) {
        throw_python_error(PyExc_ValueError, std::string(what) + " has " +
                                                 std::to_string(codes.length()) +
                                                 " values, expected " + std::to_string(parts));
    }
    PartGroups groups;
    groups.count = count;
    groups.group_of.resize(parts);
    std::vector<bool> used(count);
    const auto* code = static_cast<const std::int64_t*>(codes.get().buf);
    for (std::size_t i = 0; i < parts; ++i) {
        if (code[i] < 0 || static_cast<std::uint64_t>(code[i]) >= count) {
            throw_python_error(PyExc_ValueError, std::string(what) + " numbers must be from 0 to " +
                                                     std::to_string(count) + " (exclusive)");
        }
        groups.group_of[i] = static_cast<std::uint32_t>(code[i]);
        used[groups.group_of[i]] = true;
    }
    for (std::size_t g = 0; g < count; ++g) {
        if (!used[g]) {
            throw_python_error(PyExc_ValueError, std::string(what) + " " + std::to_string(g) +
                                                     " has no part");
        }
    }
    return groups;
}

}  // namespace

// group_evaluate(layout, part_sizes, total, groups, group_count, within_columns,
//                within_outputs, columns, across_outputs, da, threads, progress):
// within_columns[i] is the column of within_outputs[i], for group i % group_count.
PyObject* group_evaluate_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* layout = nullptr;
        PyObject* sizes_object = nullptr;
        double total = 0.0;
        PyObject* codes = nullptr;
        Py_ssize_t group_count = 0;
        PyObject* within_names = nullptr;
        PyObject* within_outputs = nullptr;
        PyObject* names = nullptr;
        PyObject* across_outputs = nullptr;
        const char* da_name = nullptr;
        Py_ssize_t threads = 1;
        PyObject* progress = nullptr;
        if (!PyArg_ParseTuple(args, "OOdOnOOOOsnO", &layout, &sizes_object, &total, &codes,
                              &group_count, &within_names, &within_outputs, &names,
                              &across_outputs, &da_name, &threads, &progress)) {
            throw_pending_error();
        }
        const HeldMatrix held = matrix_from(layout);
        const PartTable parts = checked_part_table(sizes_object, total, held.matrix.parts);
        if (group_count < 1) {
            throw_python_error(PyExc_ValueError, "group_count must be at least 1");
        }
        const PartGroups groups = groups_from(codes, static_cast<std::size_t>(group_count),
                                              held.matrix.parts, "groups");
        const GroupTables tables = unwrap(make_group_tables(parts, groups));
        const DaMethod da = da_method(da_name);
        const std::size_t workers = checked_threads(threads);

        ColumnSet columns;
        std::vector<ColumnTarget> within;
        GroupTargets targets;
        const std::vector<Buffer> within_buffers =
            bind_columns(within_names, within_outputs, held.matrix.words, columns, within);
        const std::vector<Buffer> across_buffers =
            bind_columns(names, across_outputs, held.matrix.words, columns, targets.across);
        targets.within.resize(groups.count);
        for (std::size_t i = 0; i < within.size(); ++i) {
            targets.within[i % groups.count].push_back(within[i]);
        }

        std::atomic<bool> stop{false};
        std::atomic<std::size_t> done{0};
        const TableRun run{workers, &stop, &done};
        run_checked(held.matrix, stop, ProgressPoll{progress, done},
                    [&](std::optional<MeasureError>&) {
                        return evaluate_groups(held.matrix, tables, columns, da, targets, run);
                    });
        return PyRef::borrow(Py_None);
    });
}

// bootstrap(layout, part_sizes, multiplicities, replicates, strata, strata_count,
//           first, last, columns, outputs, occurs, da, threads, progress):
// multiplicities holds replicates x parts int64; strata is None or one int64
// per part; each output holds replicates x (last - first) values, and occurs
// as many uint8.
PyObject* bootstrap_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* layout = nullptr;
        PyObject* sizes_object = nullptr;
        PyObject* multiplicities_object = nullptr;
        Py_ssize_t count = 0;
        PyObject* strata_object = nullptr;
        Py_ssize_t strata_count = 0;
        Py_ssize_t first = 0;
        Py_ssize_t last = 0;
        PyObject* names = nullptr;
        PyObject* outputs = nullptr;
        PyObject* occurs_object = nullptr;
        const char* da_name = nullptr;
        Py_ssize_t threads = 1;
        PyObject* progress = nullptr;
        if (!PyArg_ParseTuple(args, "OOOnOnnnOOOsnO", &layout, &sizes_object,
                              &multiplicities_object, &count, &strata_object, &strata_count,
                              &first, &last, &names, &outputs, &occurs_object, &da_name,
                              &threads, &progress)) {
            throw_pending_error();
        }
        const HeldMatrix held = matrix_from(layout);
        const std::size_t n = held.matrix.parts;
        const std::vector<double> sizes = doubles_from(sizes_object, "part_sizes");
        if (sizes.size() != n || n == 0) {
            throw_python_error(PyExc_ValueError, "part_sizes must hold one size per part");
        }
        if (first < 0 || last < first || static_cast<std::size_t>(last) > held.matrix.words ||
            count < 0) {
            throw_python_error(PyExc_ValueError, "the words or replicates are out of range");
        }
        const auto replicates = static_cast<std::size_t>(count);
        const Buffer multiplicities = int64_buffer(multiplicities_object, "multiplicities", false);
        if (multiplicities.length() != replicates * n) {
            throw_python_error(PyExc_ValueError, "multiplicities must hold replicates x parts");
        }
        const auto* m = static_cast<const std::int64_t*>(multiplicities.get().buf);
        for (std::size_t b = 0; b < replicates; ++b) {
            std::uint64_t drawn = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const std::int64_t times = m[b * n + i];
                if (times < 0 || static_cast<std::uint64_t>(times) > UINT32_MAX - drawn) {
                    throw_python_error(PyExc_ValueError,
                                       "multiplicities must be >= 0 and draw fewer than 2**32 "
                                       "parts");
                }
                drawn += static_cast<std::uint64_t>(times);
            }
        }
        std::optional<PartGroups> strata;
        if (strata_object != Py_None) {
            strata = groups_from(strata_object, static_cast<std::size_t>(strata_count), n,
                                 "strata");
        }
        const DaMethod da = da_method(da_name);
        const std::size_t workers = checked_threads(threads);
        const std::size_t words = static_cast<std::size_t>(last - first);
        ColumnSet columns;
        std::vector<ColumnTarget> targets;
        const std::vector<Buffer> output_buffers =
            bind_columns(names, outputs, replicates * words, columns, targets);
        const Buffer occurs = Buffer::acquire(occurs_object,
                                              PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE);
        const ElementFormat occurs_format = element_format(occurs, "occurs");
        if (occurs_format.kind != ElementFormat::Kind::unsigned_integer ||
            occurs_format.size != 1 || occurs.length() != replicates * words) {
            throw_python_error(PyExc_TypeError, "occurs must be a uint8 array of replicates x "
                                                "words");
        }

        std::atomic<bool> stop{false};
        std::atomic<std::size_t> done{0};
        const TableRun run{workers, &stop, &done};
        const Replicates drawn{m, replicates, strata ? &*strata : nullptr};
        run_checked(held.matrix, stop, ProgressPoll{progress, done},
                    [&](std::optional<MeasureError>& complaint) {
                        bool sound = true;
                        complaint = evaluate_replicates(
                            held.matrix, static_cast<std::size_t>(first),
                            static_cast<std::size_t>(last), sizes, drawn, columns, da, targets,
                            static_cast<std::uint8_t*>(occurs.get().buf), run, sound);
                        return sound;
                    });
        return PyRef::borrow(Py_None);
    });
}

}  // namespace lexispan::binding::table
