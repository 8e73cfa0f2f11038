// The table engine's entry points on token positions: the distance-based
// measures, and the numbering and grouping of tokens that gives positions.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "analyzer/evaluation/position_evaluation.hpp"
#include "python_support/boundary.hpp"
#include "python_support/py_ref.hpp"
#include "table_binding/arrays.hpp"
#include "table_binding/entries.hpp"
#include "table_binding/polling.hpp"

namespace lexispan::binding::table {

namespace {

// Word positions read in place from the list of 1-D int64 arrays, each
// exported until the views go.
struct HeldPositions {
    PositionList list;
    std::vector<Buffer> views;
    std::vector<const std::int64_t*> starts;
    std::vector<std::size_t> counts;
};

// The list is ours (built by the package for this call): nothing below runs
// Python code that could change it.
void read_positions(PyObject* arrays, long long length, HeldPositions& held) {
    const auto words = static_cast<std::size_t>(PyList_Size(arrays));
    held.views.reserve(words);
    held.starts.resize(words);
    held.counts.resize(words);
    for (std::size_t w = 0; w < words; ++w) {
        const Buffer& view = held.views.emplace_back(
            Buffer::acquire(PyList_GetItem(arrays, static_cast<Py_ssize_t>(w)),
                            PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
        const ElementFormat format = element_format(view, "positions");
        if (view.get().ndim != 1 || format.kind != ElementFormat::Kind::signed_integer ||
            format.size != 8) {
            throw_python_error(PyExc_TypeError, "positions must be 1-D int64 arrays");
        }
        held.starts[w] = static_cast<const std::int64_t*>(view.get().buf);
        held.counts[w] = view.length();
    }
    held.list.positions = held.starts.data();
    held.list.counts = held.counts.data();
    held.list.words = words;
    held.list.length = static_cast<std::int64_t>(length);
}

// Where the values of a distance-based measure go.
std::optional<double**> position_target(PositionTargets& targets, std::string_view name) {
    if (name == "arf") return &targets.arf;
    if (name == "awt") return &targets.awt;
    if (name == "f_awt") return &targets.f_awt;
    if (name == "ald") return &targets.ald;
    if (name == "f_ald") return &targets.f_ald;
    if (name == "mb") return &targets.mb;
    return std::nullopt;
}

}  // namespace

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
        HeldPositions held;
        read_positions(arrays, length, held);
        PositionTargets targets;
        const std::vector<Buffer> output_buffers = bind_outputs(
            names, outputs, held.list.words, "a 1-D float64 array",
            [&](std::string_view name) { return position_target(targets, name); },
            [](double** slot, ElementFormat format, void* data) {
                if (format.is_native_double()) {
                    *slot = static_cast<double*>(data);
                }
                return format.is_native_double();
            });

        std::atomic<bool> stop{false};
        std::atomic<std::size_t> done{0};
        std::optional<PositionComplaint> complaint;
        run_polling(
            [&] {
                complaint = evaluate_positions(held.list, targets,
                                               static_cast<std::size_t>(threads), stop, done);
            },
            ProgressPoll{progress, done}, stop);
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
        PyThreadState* state = PyEval_SaveThread();
        const bool sound = group_positions(
            static_cast<const std::int64_t*>(codes.get().buf), codes.length(),
            offsets.length() - 1, static_cast<std::int64_t*>(order.get().buf),
            static_cast<std::int64_t*>(offsets.get().buf));
        restore_thread(state);
        if (!sound) {
            throw_python_error(PyExc_ValueError, "a word code is outside [0, groups)");
        }
        return PyRef::borrow(Py_None);
    });
}

}  // namespace lexispan::binding::table
