// The table engine's entry points on count matrices: the dispersion columns,
// the column sums, the ordered sum of part sizes, and what the engine offers.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analyzer/evaluation/table_evaluation.hpp"
#include "parallel/thread_pool.hpp"
#include "python_support/boundary.hpp"
#include "python_support/py_ref.hpp"
#include "table_binding/arrays.hpp"
#include "table_binding/count_inputs.hpp"
#include "table_binding/entries.hpp"
#include "table_binding/polling.hpp"

namespace lexispan::binding::table {

// evaluate(layout, part_sizes, total, columns, outputs, da, level, threads, progress)
PyObject* evaluate_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* layout = nullptr;
        PyObject* sizes_object = nullptr;
        double total = 0.0;
        PyObject* names = nullptr;
        PyObject* outputs = nullptr;
        const char* da_name = nullptr;
        double level = 0.0;
        Py_ssize_t threads = 1;
        PyObject* progress = nullptr;
        if (!PyArg_ParseTuple(args, "OOdOOsdnO", &layout, &sizes_object, &total, &names,
                              &outputs, &da_name, &level, &threads, &progress)) {
            throw_pending_error();
        }
        if (!(level > 0.0 && level < 1.0)) {
            throw_python_error(PyExc_ValueError, "level must lie strictly between 0 and 1");
        }
        const HeldMatrix held = matrix_from(layout);
        const PartTable parts = checked_part_table(sizes_object, total, held.matrix.parts);
        const DaMethod da = da_method(da_name);
        const std::size_t workers = checked_threads(threads);
        ColumnSet columns;
        columns.set_level(level);
        std::vector<ColumnTarget> targets;
        const std::vector<Buffer> output_buffers =
            bind_columns(names, outputs, held.matrix.words, columns, targets);

        std::atomic<bool> stop{false};
        std::atomic<std::size_t> done{0};
        const TableRun run{workers, &stop, &done};
        run_checked(held.matrix, stop, ProgressPoll{progress, done},
                    [&](std::optional<MeasureError>&) {
                        return evaluate_table(held.matrix, parts, columns, da, targets, run);
                    });
        return PyRef::borrow(Py_None);
    });
}

// part_sums(layout, sums): adds every word's counts to the float64 array sums.
PyObject* part_sums_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* layout = nullptr;
        PyObject* sums_object = nullptr;
        if (!PyArg_ParseTuple(args, "OO", &layout, &sums_object)) {
            throw_pending_error();
        }
        const HeldMatrix held = matrix_from(layout);
        const Buffer sums = Buffer::acquire(sums_object,
                                            PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE);
        if (!element_format(sums, "sums").is_native_double() ||
            sums.length() != held.matrix.parts) {
            throw_python_error(PyExc_TypeError,
                               "sums must be a float64 array of one value per part");
        }
        std::atomic<bool> stop{false};
        run_checked(held.matrix, stop, [](bool) { return PyErr_CheckSignals() == 0; },
                    [&](std::optional<MeasureError>&) {
                        return add_part_sums(held.matrix,
                                             static_cast<double*>(sums.get().buf), &stop);
                    });
        return PyRef::borrow(Py_None);
    });
}

PyObject* ordered_sum_entry(PyObject*, PyObject* values) noexcept {
    return boundary([&]() -> PyRef {
        const std::vector<double> data = doubles_from(values, "values");
        PyRef result = PyRef::steal(PyFloat_FromDouble(ordered_sum(data)));
        if (!result) {
            throw_pending_error();
        }
        return result;
    });
}

PyObject* column_names_entry(PyObject*, PyObject*) noexcept {
    return boundary([&]() -> PyRef {
        PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(column_count)));
        if (!names) {
            throw_pending_error();
        }
        for (std::size_t i = 0; i < column_count; ++i) {
            PyObject* text = PyUnicode_FromStringAndSize(
                column_names[i].data(), static_cast<Py_ssize_t>(column_names[i].size()));
            if (text == nullptr ||
                PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), text) != 0) {
                throw_pending_error();
            }
        }
        return names;
    });
}

PyObject* default_threads_entry(PyObject*, PyObject*) noexcept {
    return boundary([&]() -> PyRef {
        PyRef result = PyRef::steal(PyLong_FromSize_t(pool_worker_count()));
        if (!result) {
            throw_pending_error();
        }
        return result;
    });
}

}  // namespace lexispan::binding::table
