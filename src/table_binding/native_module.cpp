// lexispan_table._native: the table engine behind the Python package. The
// package checks and shapes every argument; this module reads the buffers it
// is handed, releases the interpreter lock while the engine runs, and polls
// for Ctrl-C and progress while it waits.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analyzer/evaluation/position_evaluation.hpp"
#include "analyzer/evaluation/table_evaluation.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "parallel/thread_pool.hpp"

namespace lexispan::binding {

namespace {

// A view of a buffer, released with the interpreter lock held.
class Buffer {
public:
    Buffer(PyObject* object, int flags) : view_(new Py_buffer{}) {
        if (PyObject_GetBuffer(object, view_.get(), flags) != 0) {
            view_.reset();
            throw_pending_error();
        }
    }
    Buffer(Buffer&&) noexcept = default;
    ~Buffer() {
        if (view_) {
            PyBuffer_Release(view_.get());
        }
    }
    [[nodiscard]] const Py_buffer& get() const noexcept { return *view_; }
    [[nodiscard]] std::size_t length() const noexcept {
        return static_cast<std::size_t>(view_->len / view_->itemsize);
    }

private:
    std::unique_ptr<Py_buffer> view_;
};

// The element format of a buffer whose NumPy dtype the package reduced to a
// native-order integer or binary32/binary64.
ElementFormat element_format(const Py_buffer& view, const char* what) {
    const char* format = view.format == nullptr ? "B" : view.format;
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    using Kind = ElementFormat::Kind;
    ElementFormat element;
    switch (format[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            element.kind = Kind::signed_integer;
            break;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': case '?':
            element.kind = Kind::unsigned_integer;
            break;
        case 'f': element.kind = Kind::binary32; break;
        case 'd': element.kind = Kind::binary64; break;
        default:
            throw_python_error(PyExc_TypeError, std::string(what) + ": unsupported element format '" +
                                                    (view.format ? view.format : "") + "'");
    }
    element.size = static_cast<std::size_t>(view.itemsize);
    const bool sized = element.size == 1 || element.size == 2 || element.size == 4 ||
                       element.size == 8;
    if (format[1] != '\0' || !sized ||
        (element.kind == Kind::binary32 && element.size != 4) ||
        (element.kind == Kind::binary64 && element.size != 8)) {
        throw_python_error(PyExc_TypeError, std::string(what) + ": unsupported element format '" +
                                                (view.format ? view.format : "") + "'");
    }
    return element;
}

std::size_t index_size(const Py_buffer& view, const char* what) {
    const ElementFormat format = element_format(view, what);
    if (format.kind != ElementFormat::Kind::signed_integer ||
        (format.size != 4 && format.size != 8)) {
        throw_python_error(PyExc_TypeError,
                           std::string(what) + " must hold 32- or 64-bit signed integers");
    }
    return format.size;
}

std::size_t to_size(PyObject* object, const char* what) {
    const Py_ssize_t value = PyLong_AsSsize_t(object);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw_pending_error();
    }
    if (value < 0) {
        throw_python_error(PyExc_ValueError, std::string(what) + " must not be negative");
    }
    return static_cast<std::size_t>(value);
}

// A count matrix with the buffers that back it.
struct HeldMatrix {
    CountMatrix matrix;
    std::vector<Buffer> buffers;
};

// ("dense", array, words_axis) or
// ("compressed", pointers, indices, data, words, parts, by_words)
HeldMatrix matrix_from(PyObject* layout) {
    HeldMatrix held;
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
        if (b == nullptr) {
            throw_python_error(PyExc_TypeError, "dense counts need their words axis");
        }
        const std::size_t words_axis = to_size(b, "words_axis");
        Buffer& view = held.buffers.emplace_back(a, PyBUF_RECORDS_RO);
        const Py_buffer& raw = view.get();
        if (raw.ndim != 2 || raw.suboffsets != nullptr || words_axis > 1) {
            throw_python_error(PyExc_ValueError, "counts must be a two-dimensional array");
        }
        DenseCounts dense;
        dense.data = static_cast<const std::byte*>(raw.buf);
        dense.format = element_format(raw, "counts");
        const std::size_t word_dim = words_axis;
        const std::size_t part_dim = 1 - words_axis;
        held.matrix.words = static_cast<std::size_t>(raw.shape[word_dim]);
        held.matrix.parts = static_cast<std::size_t>(raw.shape[part_dim]);
        dense.word_stride = raw.strides[word_dim];
        dense.part_stride = raw.strides[part_dim];
        held.matrix.counts = dense;
        return held;
    }
    if (std::string_view(kind) != "compressed" || e == nullptr) {
        throw_python_error(PyExc_TypeError, "unknown count matrix description");
    }
    constexpr int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    held.buffers.reserve(3);  // the references below must stay valid
    const Buffer& pointers = held.buffers.emplace_back(a, flags);
    const Buffer& indices = held.buffers.emplace_back(b, flags);
    const Buffer& data = held.buffers.emplace_back(c, flags);
    CompressedCounts compressed;
    compressed.pointers = static_cast<const std::byte*>(pointers.get().buf);
    compressed.pointer_size = index_size(pointers.get(), "indptr");
    compressed.indices = static_cast<const std::byte*>(indices.get().buf);
    compressed.index_size = index_size(indices.get(), "indices");
    compressed.data = static_cast<const std::byte*>(data.get().buf);
    compressed.format = element_format(data.get(), "data");
    compressed.entries = indices.length();
    compressed.by_words = flag != 0;
    held.matrix.words = to_size(d, "words");
    held.matrix.parts = to_size(e, "parts");
    const std::size_t slices = compressed.by_words ? held.matrix.words : held.matrix.parts;
    if (data.length() != compressed.entries) {
        throw_python_error(PyExc_ValueError, "sparse matrix data and indices differ in length");
    }
    if (pointers.length() != slices + 1) {
        throw_python_error(PyExc_ValueError, "sparse matrix index pointers have length " +
                                                 std::to_string(pointers.length()) +
                                                 ", expected " + std::to_string(slices + 1));
    }
    if ((compressed.by_words ? held.matrix.parts : held.matrix.words) > UINT32_MAX) {
        throw_python_error(PyExc_ValueError, "at most 4294967295 parts are supported");
    }
    held.matrix.counts = compressed;
    return held;
}

std::vector<double> doubles_from(PyObject* object, const char* what) {
    Buffer view(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    if (view.get().ndim != 1 || element_format(view.get(), what).kind !=
                                    ElementFormat::Kind::binary64) {
        throw_python_error(PyExc_TypeError, std::string(what) + " must be a 1-D float64 array");
    }
    const auto* first = static_cast<const double*>(view.get().buf);
    return std::vector<double>(first, first + view.length());
}

// Runs `work` on a thread of its own while the calling thread, without the
// interpreter lock, wakes every `tick` to run `poll` with the lock held.
// `poll` returns false to stop (a Python error is then set) and is told
// whether the work has finished. Rethrows what `work` threw.
template <class Work, class Poll>
void run_polling(Work&& work, Poll&& poll, std::atomic<bool>& stop) {
    std::mutex mutex;
    std::condition_variable finished_changed;
    bool finished = false;
    std::exception_ptr failure;
    std::thread driver([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(mutex);
        finished = true;
        finished_changed.notify_all();
    });
    bool interrupted = false;
    for (;;) {
        bool done = false;
        PyThreadState* state = PyEval_SaveThread();
        {
            std::unique_lock lock(mutex);
            done = finished_changed.wait_for(lock, std::chrono::milliseconds(50),
                                             [&] { return finished; });
        }
        PyEval_RestoreThread(state);
        if (done) {
            break;
        }
        if (!interrupted && !poll(false)) {
            interrupted = true;
            stop.store(true, std::memory_order_release);
        }
    }
    // The driver has ended its work; joining is immediate.
    driver.join();
    if (interrupted) {
        throw PythonErrorSet{};
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (!poll(true)) {
        throw PythonErrorSet{};
    }
}

// The poll of a call that counts finished words in `done`: stops for a
// pending signal, and hands a changed count to `progress` (None: no
// progress) with the interpreter lock held; false once either raised.
class ProgressPoll {
public:
    ProgressPoll(PyObject* progress, const std::atomic<std::size_t>& done) noexcept
        : progress_(progress), done_(done) {}

    bool operator()(bool) {
        if (PyErr_CheckSignals() != 0) {
            return false;
        }
        const std::size_t now = done_.load(std::memory_order_relaxed);
        if (progress_ != Py_None && now != reported_) {
            reported_ = now;
            PyRef result = PyRef::steal(
                PyObject_CallFunction(progress_, "n", static_cast<Py_ssize_t>(now)));
            if (!result) {
                return false;
            }
        }
        return true;
    }

private:
    PyObject* progress_;  // borrowed from the call's arguments
    const std::atomic<std::size_t>& done_;
    std::size_t reported_ = 0;
};

PyObject* evaluate_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* layout = nullptr;
        PyObject* sizes_object = nullptr;
        double total = 0.0;
        PyObject* names = nullptr;
        PyObject* outputs = nullptr;
        const char* da_name = nullptr;
        Py_ssize_t threads = 1;
        PyObject* progress = nullptr;
        if (!PyArg_ParseTuple(args, "OOdOOsnO", &layout, &sizes_object, &total, &names, &outputs,
                              &da_name, &threads, &progress)) {
            throw_pending_error();
        }
        HeldMatrix held = matrix_from(layout);
        Result<PartTable> table = make_part_table(doubles_from(sizes_object, "part_sizes"), total);
        const PartTable parts = unwrap(std::move(table));
        if (parts.parts() != held.matrix.parts) {
            throw_python_error(PyExc_ValueError,
                               "part_sizes has " + std::to_string(parts.parts()) +
                                   " values, expected " + std::to_string(held.matrix.parts));
        }
        const std::string_view da_text(da_name);
        if (da_text != "pairwise" && da_text != "sorted") {
            throw_python_error(PyExc_ValueError, "da must be 'pairwise' or 'sorted'");
        }
        const DaMethod da = da_text == "sorted" ? DaMethod::sorted : DaMethod::pairwise;
        if (threads < 1) {
            throw_python_error(PyExc_ValueError, "threads must be at least 1");
        }

        const Py_ssize_t count = PyTuple_Size(names);
        if (count < 0 || PyTuple_Size(outputs) != count) {
            throw_python_error(PyExc_TypeError, "columns and outputs must be tuples of one length");
        }
        ColumnSet columns;
        std::vector<ColumnTarget> targets;
        std::vector<Buffer> output_buffers;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyTuple_GetItem(names, i);
            Py_ssize_t length = 0;
            const char* text = name == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(name, &length);
            if (text == nullptr) {
                throw_pending_error();
            }
            const std::optional<Column> column =
                column_named(std::string_view(text, static_cast<std::size_t>(length)));
            if (!column) {
                throw_python_error(PyExc_ValueError, "unknown measure '" + std::string(text) + "'");
            }
            const Buffer& out = output_buffers.emplace_back(
                PyTuple_GetItem(outputs, i), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE);
            const ElementFormat format = element_format(out.get(), "output");
            const bool fits = *column == Column::range
                                  ? format.kind == ElementFormat::Kind::signed_integer &&
                                        format.size == 4
                                  : format.is_native_double();
            if (!fits || out.get().ndim != 1 || out.length() != held.matrix.words) {
                throw_python_error(PyExc_TypeError, "output for '" + std::string(text) +
                                                        "' must be a 1-D array of one value per word");
            }
            columns.add(*column);
            targets.push_back(ColumnTarget{*column, out.get().buf});
        }

        std::atomic<bool> stop{false};
        std::atomic<std::size_t> done{0};
        const TableRun run{static_cast<std::size_t>(threads), &stop, &done};
        ProgressPoll report{progress, done};
        std::optional<MeasureError> complaint;
        run_polling(
            [&] {
                complaint = check_counts(held.matrix);
                if (!complaint) {
                    evaluate_table(held.matrix, parts, columns, da, targets, run);
                }
            },
            report, stop);
        if (complaint) {
            throw_measure_error(*complaint);
        }
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
        HeldMatrix held = matrix_from(layout);
        Buffer sums(sums_object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE);
        if (!element_format(sums.get(), "sums").is_native_double() ||
            sums.length() != held.matrix.parts) {
            throw_python_error(PyExc_TypeError, "sums must be a float64 array of one value per part");
        }
        std::atomic<bool> stop{false};
        std::optional<MeasureError> complaint;
        run_polling(
            [&] {
                complaint = check_counts(held.matrix);
                if (!complaint) {
                    add_part_sums(held.matrix, static_cast<double*>(sums.get().buf));
                }
            },
            [](bool) { return PyErr_CheckSignals() == 0; }, stop);
        if (complaint) {
            throw_measure_error(*complaint);
        }
        return PyRef::borrow(Py_None);
    });
}

// A 1-D C-contiguous buffer of 64-bit signed integers.
Buffer int64_buffer(PyObject* object, const char* what, bool writable) {
    Buffer view(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0));
    const ElementFormat format = element_format(view.get(), what);
    if (view.get().ndim != 1 || format.kind != ElementFormat::Kind::signed_integer ||
        format.size != 8) {
        throw_python_error(PyExc_TypeError, std::string(what) + " must be a 1-D int64 array");
    }
    return view;
}

// Views of many buffers, all released with the interpreter lock held. The
// views never move: room for every one is made before the first is taken.
class BufferViews {
public:
    explicit BufferViews(std::size_t count) { views_.reserve(count); }
    BufferViews(const BufferViews&) = delete;
    BufferViews& operator=(const BufferViews&) = delete;
    ~BufferViews() {
        for (Py_buffer& view : views_) {
            PyBuffer_Release(&view);
        }
    }
    const Py_buffer& add(PyObject* object, int flags) {
        Py_buffer view{};
        if (PyObject_GetBuffer(object, &view, flags) != 0) {
            throw_pending_error();
        }
        views_.push_back(view);
        return views_.back();
    }

private:
    std::vector<Py_buffer> views_;
};

// position_dispersion(arrays, length, columns, outputs, threads, progress):
// fills one float64 array per named column for every word, reading each
// word's 1-D int64 array of positions in place; None, or (word, index,
// "unsorted" | "out_of_range") for the first word whose positions break the
// rule.
PyObject* position_dispersion_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* arrays = nullptr;
        long long length = 0;
        PyObject* names = nullptr;
        PyObject* outputs = nullptr;
        Py_ssize_t threads = 1;
        PyObject* progress = nullptr;
        if (!PyArg_ParseTuple(args, "O!LOOnO", &PyList_Type, &arrays, &length, &names, &outputs,
                              &threads, &progress)) {
            throw_pending_error();
        }
        if (length < 1) {
            throw_python_error(PyExc_ValueError, "corpus_length must be at least 1");
        }
        if (threads < 1) {
            throw_python_error(PyExc_ValueError, "threads must be at least 1");
        }
        // The list is ours (built by the package for this call): nothing
        // below runs Python code that could change it.
        const auto words = static_cast<std::size_t>(PyList_Size(arrays));
        BufferViews views(words);
        std::vector<const std::int64_t*> starts(words);
        std::vector<std::size_t> counts(words);
        for (std::size_t w = 0; w < words; ++w) {
            const Py_buffer& view = views.add(PyList_GetItem(arrays, static_cast<Py_ssize_t>(w)),
                                              PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
            const ElementFormat format = element_format(view, "positions");
            if (view.ndim != 1 || format.kind != ElementFormat::Kind::signed_integer ||
                format.size != 8) {
                throw_python_error(PyExc_TypeError, "positions must be 1-D int64 arrays");
            }
            starts[w] = static_cast<const std::int64_t*>(view.buf);
            counts[w] = static_cast<std::size_t>(view.len / 8);
        }
        PositionList list;
        list.positions = starts.data();
        list.counts = counts.data();
        list.words = words;
        list.length = static_cast<std::int64_t>(length);

        const Py_ssize_t count = PyTuple_Size(names);
        if (count < 0 || PyTuple_Size(outputs) != count) {
            throw_python_error(PyExc_TypeError, "columns and outputs must be tuples of one length");
        }
        PositionTargets targets;
        std::vector<Buffer> output_buffers;
        output_buffers.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyTuple_GetItem(names, i);
            Py_ssize_t size = 0;
            const char* text = name == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(name, &size);
            if (text == nullptr) {
                throw_pending_error();
            }
            const std::string_view key(text, static_cast<std::size_t>(size));
            const Buffer& out = output_buffers.emplace_back(
                PyTuple_GetItem(outputs, i), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE);
            if (!element_format(out.get(), "output").is_native_double() || out.get().ndim != 1 ||
                out.length() != list.words) {
                throw_python_error(PyExc_TypeError, "output for '" + std::string(key) +
                                                        "' must be a 1-D float64 array of one "
                                                        "value per word");
            }
            auto* data = static_cast<double*>(out.get().buf);
            double** slot = key == "arf"     ? &targets.arf
                            : key == "awt"   ? &targets.awt
                            : key == "f_awt" ? &targets.f_awt
                            : key == "ald"   ? &targets.ald
                            : key == "f_ald" ? &targets.f_ald
                                             : nullptr;
            if (slot == nullptr) {
                throw_python_error(PyExc_ValueError, "unknown measure '" + std::string(key) + "'");
            }
            *slot = data;
        }

        std::atomic<bool> stop{false};
        std::atomic<std::size_t> done{0};
        ProgressPoll report{progress, done};
        std::optional<PositionComplaint> complaint;
        run_polling(
            [&] {
                complaint = evaluate_positions(list, targets, static_cast<std::size_t>(threads),
                                               stop, done);
            },
            report, stop);
        if (!complaint) {
            return PyRef::borrow(Py_None);
        }
        PyRef result = PyRef::steal(Py_BuildValue(
            "(nns)", static_cast<Py_ssize_t>(complaint->word),
            static_cast<Py_ssize_t>(complaint->at),
            complaint->fault == PositionFault::unsorted ? "unsorted" : "out_of_range"));
        if (!result) {
            throw_pending_error();
        }
        return result;
    });
}

// factorize(tokens, codes): codes[i] = the number of token i's type, types
// numbered in order of first occurrence (equal as dict keys are equal);
// returns the list of types. `tokens` must be a list; the interpreter lock
// stays held, since every step touches a Python object.
PyObject* factorize_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* tokens = nullptr;
        PyObject* codes_object = nullptr;
        if (!PyArg_ParseTuple(args, "O!O", &PyList_Type, &tokens, &codes_object)) {
            throw_pending_error();
        }
        const Buffer codes = int64_buffer(codes_object, "codes", true);
        const Py_ssize_t count = PyList_Size(tokens);
        if (count < 0) {
            throw_pending_error();
        }
        if (codes.length() != static_cast<std::size_t>(count)) {
            throw_python_error(PyExc_ValueError, "codes must hold one value per token");
        }
        auto* out = static_cast<std::int64_t*>(codes.get().buf);
        PyRef numbers = PyRef::steal(PyDict_New());
        PyRef types = PyRef::steal(PyList_New(0));
        if (!numbers || !types) {
            throw_pending_error();
        }
        constexpr Py_ssize_t signal_interval = Py_ssize_t{1} << 20;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i % signal_interval == signal_interval - 1 && PyErr_CheckSignals() != 0) {
                throw_pending_error();
            }
            // A token's __eq__ may change the list: the index is checked
            // each time, and the token is held while it is in use.
            PyObject* item = PyList_GetItem(tokens, i);
            if (item == nullptr) {
                throw_pending_error();
            }
            const PyRef held = PyRef::borrow(item);
            PyObject* token = held.get();
            PyObject* known = PyDict_GetItemWithError(numbers.get(), token);
            if (known != nullptr) {
                out[i] = static_cast<std::int64_t>(PyLong_AsSsize_t(known));
                continue;
            }
            if (PyErr_Occurred() != nullptr) {
                throw_pending_error();
            }
            const Py_ssize_t next = PyList_Size(types.get());
            PyRef number = PyRef::steal(PyLong_FromSsize_t(next));
            if (!number || PyDict_SetItem(numbers.get(), token, number.get()) != 0 ||
                PyList_Append(types.get(), token) != 0) {
                throw_pending_error();
            }
            out[i] = static_cast<std::int64_t>(next);
        }
        return types;
    });
}

// group_positions(codes, order, offsets): token positions grouped by word code.
PyObject* group_positions_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* codes_object = nullptr;
        PyObject* order_object = nullptr;
        PyObject* offsets_object = nullptr;
        if (!PyArg_ParseTuple(args, "OOO", &codes_object, &order_object, &offsets_object)) {
            throw_pending_error();
        }
        const Buffer codes = int64_buffer(codes_object, "codes", false);
        const Buffer order = int64_buffer(order_object, "order", true);
        const Buffer offsets = int64_buffer(offsets_object, "offsets", true);
        if (order.length() != codes.length() || offsets.length() < 1) {
            throw_python_error(PyExc_ValueError,
                               "order must match codes and offsets hold at least one value");
        }
        bool sound = false;
        PyThreadState* state = PyEval_SaveThread();
        sound = group_positions(static_cast<const std::int64_t*>(codes.get().buf), codes.length(),
                                offsets.length() - 1, static_cast<std::int64_t*>(order.get().buf),
                                static_cast<std::int64_t*>(offsets.get().buf));
        PyEval_RestoreThread(state);
        if (!sound) {
            throw_python_error(PyExc_ValueError, "a word code is outside [0, groups)");
        }
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
            if (text == nullptr || PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), text) != 0) {
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

PyMethodDef methods[] = {
    {"evaluate", evaluate_entry, METH_VARARGS,
     "evaluate(layout, part_sizes, total, columns, outputs, da, threads, progress)\n--\n\n"
     "Fill the output arrays with the named columns for every word."},
    {"part_sums", part_sums_entry, METH_VARARGS,
     "part_sums(layout, sums)\n--\n\nAdd every word's counts to sums, word by word in order."},
    {"ordered_sum", ordered_sum_entry, METH_O,
     "ordered_sum(values)\n--\n\nSum of a float64 array in index order from +0.0."},
    {"position_dispersion", position_dispersion_entry, METH_VARARGS,
     "position_dispersion(arrays, length, columns, outputs, threads, progress)\n--\n\n"
     "Fill the output arrays with the named distance-based columns for every word; None, or\n"
     "(word, index, fault) for the first word whose positions are not strictly ascending in\n"
     "[0, length)."},
    {"factorize", factorize_entry, METH_VARARGS,
     "factorize(tokens, codes)\n--\n\nNumber the types of a list of tokens in order of first "
     "occurrence;\nfill codes (int64, one per token) and return the list of types."},
    {"group_positions", group_positions_entry, METH_VARARGS,
     "group_positions(codes, order, offsets)\n--\n\nToken positions grouped by word code "
     "(a counting sort)."},
    {"column_names", column_names_entry, METH_NOARGS,
     "column_names()\n--\n\nThe engine's column names in their default order."},
    {"default_threads", default_threads_entry, METH_NOARGS,
     "default_threads()\n--\n\nThe worker count the pool uses."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "lexispan_table._native",
    "The table engine of lexispan_table.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace lexispan::binding

PyMODINIT_FUNC PyInit__native() {
    return PyModule_Create2(&lexispan::binding::module_definition, 3);
}
