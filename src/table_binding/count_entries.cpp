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
#include "table_binding/entries.hpp"
#include "table_binding/polling.hpp"

namespace lexispan::binding::table {

namespace {

// A count matrix with the buffers that back it.
struct HeldMatrix {
    CountMatrix matrix;
    std::vector<Buffer> buffers;
};

HeldMatrix dense_matrix(PyObject* array, PyObject* words_axis_object) {
    if (words_axis_object == nullptr) {
        throw_python_error(PyExc_TypeError, "dense counts need their words axis");
    }
    const std::size_t words_axis = to_size(words_axis_object, "words_axis");
    HeldMatrix held;
    const Buffer& view = held.buffers.emplace_back(Buffer::acquire(array, PyBUF_RECORDS_RO));
    const Py_buffer& raw = view.get();
    if (raw.ndim != 2 || raw.suboffsets != nullptr || words_axis > 1) {
        throw_python_error(PyExc_ValueError, "counts must be a two-dimensional array");
    }
    DenseCounts dense;
    dense.data = static_cast<const std::byte*>(raw.buf);
    dense.format = element_format(view, "counts");
    const std::size_t part_axis = 1 - words_axis;
    held.matrix.words = static_cast<std::size_t>(raw.shape[words_axis]);
    held.matrix.parts = static_cast<std::size_t>(raw.shape[part_axis]);
    dense.word_stride = raw.strides[words_axis];
    dense.part_stride = raw.strides[part_axis];
    held.matrix.counts = dense;
    return held;
}

HeldMatrix compressed_matrix(PyObject* pointers_object, PyObject* indices_object,
                             PyObject* data_object, PyObject* words, PyObject* parts,
                             bool by_words) {
    HeldMatrix held;
    constexpr int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    held.buffers.reserve(3);  // the references below must stay valid
    const Buffer& pointers = held.buffers.emplace_back(Buffer::acquire(pointers_object, flags));
    const Buffer& indices = held.buffers.emplace_back(Buffer::acquire(indices_object, flags));
    const Buffer& data = held.buffers.emplace_back(Buffer::acquire(data_object, flags));
    CompressedCounts compressed;
    compressed.pointers = static_cast<const std::byte*>(pointers.get().buf);
    compressed.pointer_size = index_size(pointers, "indptr");
    compressed.indices = static_cast<const std::byte*>(indices.get().buf);
    compressed.index_size = index_size(indices, "indices");
    compressed.data = static_cast<const std::byte*>(data.get().buf);
    compressed.format = element_format(data, "data");
    compressed.entries = indices.length();
    compressed.by_words = by_words;
    held.matrix.words = to_size(words, "words");
    held.matrix.parts = to_size(parts, "parts");
    const std::size_t slices = by_words ? held.matrix.words : held.matrix.parts;
    if (data.length() != compressed.entries) {
        throw_python_error(PyExc_ValueError, "sparse matrix data and indices differ in length");
    }
    if (pointers.length() != slices + 1) {
        throw_python_error(PyExc_ValueError, "sparse matrix index pointers have length " +
                                                 std::to_string(pointers.length()) +
                                                 ", expected " + std::to_string(slices + 1));
    }
    if ((by_words ? held.matrix.parts : held.matrix.words) > UINT32_MAX) {
        throw_python_error(PyExc_ValueError, "at most 4294967295 parts are supported");
    }
    held.matrix.counts = compressed;
    return held;
}

// ("dense", array, words_axis) or
// ("compressed", pointers, indices, data, words, parts, by_words)
HeldMatrix matrix_from(PyObject* layout) {
    const char* kind = nullptr;
    PyObject* a = nullptr;
    PyObject* b = nullptr;
    PyObject* c = nullptr;
    PyObject* d = nullptr;
    PyObject* e = nullptr;
    int flag = 0;
    if (!PyArg_ParseTuple(layout, "sO|OOOOp", &kind, &a, &b, &c, &d, &e, &flag)) {
        throw_pending_error();
    }
    if (std::string_view(kind) == "dense") {
        return dense_matrix(a, b);
    }
    if (std::string_view(kind) != "compressed" || e == nullptr) {
        throw_python_error(PyExc_TypeError, "unknown count matrix description");
    }
    return compressed_matrix(a, b, c, d, e, flag != 0);
}

DaMethod da_method(std::string_view name) {
    if (name != "pairwise" && name != "sorted") {
        throw_python_error(PyExc_ValueError, "da must be 'pairwise' or 'sorted'");
    }
    return name == "sorted" ? DaMethod::sorted : DaMethod::pairwise;
}

// Fails the call with the engine's complaint about the counts, if any, or
// because a pointer or index read while the lock was released had changed.
void raise_complaint(const std::optional<MeasureError>& complaint, bool sound) {
    if (complaint) {
        throw_measure_error(*complaint);
    }
    if (!sound) {
        throw_python_error(PyExc_RuntimeError,
                           "the count matrix changed during the call: an index or pointer read "
                           "from it left its bounds");
    }
}

}  // namespace

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
        const PartTable parts =
            unwrap(make_part_table(doubles_from(sizes_object, "part_sizes"), total));
        if (parts.parts() != held.matrix.parts) {
            throw_python_error(PyExc_ValueError,
                               "part_sizes has " + std::to_string(parts.parts()) +
                                   " values, expected " + std::to_string(held.matrix.parts));
        }
        const DaMethod da = da_method(da_name);
        if (threads < 1) {
            throw_python_error(PyExc_ValueError, "threads must be at least 1");
        }
        ColumnSet columns;
        columns.set_level(level);
        std::vector<ColumnTarget> targets;
        const std::vector<Buffer> output_buffers = bind_outputs(
            names, outputs, held.matrix.words, "a 1-D array", column_named,
            [&](Column column, ElementFormat format, void* data) {
                const bool fits = column == Column::range
                                      ? format.kind == ElementFormat::Kind::signed_integer &&
                                            format.size == 4
                                      : format.is_native_double();
                if (fits) {
                    columns.add(column);
                    targets.push_back(ColumnTarget{column, data});
                }
                return fits;
            });

        std::atomic<bool> stop{false};
        std::atomic<std::size_t> done{0};
        const TableRun run{static_cast<std::size_t>(threads), &stop, &done};
        std::optional<MeasureError> complaint;
        bool sound = true;
        run_polling(
            [&] {
                complaint = check_counts(held.matrix, &stop);
                if (!complaint) {
                    sound = evaluate_table(held.matrix, parts, columns, da, targets, run);
                }
            },
            ProgressPoll{progress, done}, stop);
        raise_complaint(complaint, sound);
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
        std::optional<MeasureError> complaint;
        bool sound = true;
        run_polling(
            [&] {
                complaint = check_counts(held.matrix, &stop);
                if (!complaint) {
                    sound = add_part_sums(held.matrix, static_cast<double*>(sums.get().buf),
                                          &stop);
                }
            },
            [](bool) { return PyErr_CheckSignals() == 0; }, stop);
        raise_complaint(complaint, sound);
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
