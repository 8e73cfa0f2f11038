// The count matrix and options of the entries on count matrices, read from
// the package's descriptions.
#include "table_binding/count_inputs.hpp"

#include <string>
#include <string_view>

#include "table_binding/arrays.hpp"

namespace lexispan::binding::table {

namespace {

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

}  // namespace

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

PartTable checked_part_table(PyObject* sizes_object, double total, std::size_t parts) {
    PartTable table = unwrap(make_part_table(doubles_from(sizes_object, "part_sizes"), total));
    if (table.parts() != parts) {
        throw_python_error(PyExc_ValueError, "part_sizes has " + std::to_string(table.parts()) +
                                                 " values, expected " + std::to_string(parts));
    }
    return table;
}

std::size_t checked_threads(Py_ssize_t threads) {
    if (threads < 1) {
        throw_python_error(PyExc_ValueError, "threads must be at least 1");
    }
    return static_cast<std::size_t>(threads);
}

std::vector<Buffer> bind_columns(PyObject* names, PyObject* outputs, std::size_t words,
                                 ColumnSet& columns, std::vector<ColumnTarget>& targets) {
    return bind_outputs(names, outputs, words, "a 1-D array", column_named,
                        [&](Column column, ElementFormat format, void* data) {
                            const bool fits =
                                column == Column::range
                                    ? format.kind == ElementFormat::Kind::signed_integer &&
                                          format.size == 4
                                    : format.is_native_double();
                            if (fits) {
                                columns.add(column);
                                targets.push_back(ColumnTarget{column, data});
                            }
                            return fits;
                        });
}

}  // namespace lexispan::binding::table
