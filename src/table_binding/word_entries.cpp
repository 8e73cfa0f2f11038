// Numbering the words of counted texts: a table of every word seen so far,
// looked up a batch of words at a time. A corpus's vocabulary is far larger
// than the caches, so each lookup of a rare word misses them; the batch
// starts every word's first memory access before it waits for any, where a
// dict waits for each in turn.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analyzer/evaluation/table_evaluation.hpp"
#include "python_support/boundary.hpp"
#include "python_support/buffer.hpp"
#include "python_support/py_ref.hpp"
#include "table_binding/arrays.hpp"
#include "table_binding/entries.hpp"

namespace lexispan::binding::table {

namespace {

constexpr const char* capsule_name = "lexispan_table._native.WordTable";

// Open addressing on the words' own hashes (str caches its hash), the text
// kept in one arena; an empty slot has length UINT32_MAX.
struct Slot {
    std::uint64_t hash = 0;
    std::uint64_t offset = 0;
    std::uint32_t id = 0;
    std::uint32_t length = UINT32_MAX;
};

class WordTable {
public:
    WordTable() : slots_(1024) {}

    // The ids of `count` words (text, hash); a word not seen before gets the
    // next id and is reported to `added(i)`.
    template <class Added>
    void number(const std::string_view* texts, const std::uint64_t* hashes, std::size_t count,
                std::int32_t* ids, Added&& added) {
        for (std::size_t i = 0; i < count; ++i) {
            __builtin_prefetch(&slots_[hashes[i] & mask()]);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const Slot& slot = slots_[hashes[i] & mask()];
            if (slot.hash == hashes[i] && slot.length != UINT32_MAX) {
                __builtin_prefetch(arena_.data() + slot.offset);
            }
        }
        // An insertion may grow the table, so each word's slot is found anew.
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t s = hashes[i] & mask();
            for (;; s = (s + 1) & mask()) {
                Slot& slot = slots_[s];
                if (slot.length == UINT32_MAX) {
                    ids[i] = insert(slot, texts[i], hashes[i]);
                    added(i);
                    break;
                }
                if (slot.hash == hashes[i] && slot.length == texts[i].size() &&
                    std::memcmp(arena_.data() + slot.offset, texts[i].data(), slot.length) == 0) {
                    ids[i] = static_cast<std::int32_t>(slot.id);
                    break;
                }
            }
        }
    }

private:
    [[nodiscard]] std::size_t mask() const noexcept { return slots_.size() - 1; }

    std::int32_t insert(Slot& slot, std::string_view text, std::uint64_t hash) {
        if (count_ >= static_cast<std::size_t>(INT32_MAX)) {
            throw_python_error(PyExc_OverflowError, "more than 2**31 - 1 distinct words");
        }
        slot = Slot{hash, arena_.size(), static_cast<std::uint32_t>(count_),
                    static_cast<std::uint32_t>(text.size())};
        arena_.append(text);
        const auto id = static_cast<std::int32_t>(count_++);
        if (2 * count_ > slots_.size()) {
            grow();  // `slot` is not used after this
        }
        return id;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.length != UINT32_MAX) {
                std::size_t s = slot.hash & mask();
                while (slots_[s].length != UINT32_MAX) {
                    s = (s + 1) & mask();
                }
                slots_[s] = slot;
            }
        }
    }

    std::vector<Slot> slots_;
    std::string arena_;
    std::size_t count_ = 0;
};

void delete_table(PyObject* capsule) noexcept {
    delete static_cast<WordTable*>(PyCapsule_GetPointer(capsule, capsule_name));
}

}  // namespace

// word_table(): an empty table, as a capsule.
PyObject* word_table_entry(PyObject*, PyObject*) noexcept {
    return boundary([&]() -> PyRef {
        auto table = std::make_unique<WordTable>();
        PyRef capsule = PyRef::steal(PyCapsule_New(table.get(), capsule_name, delete_table));
        if (!capsule) {
            throw_pending_error();
        }
        table.release();
        return capsule;
    });
}

// word_ids(table, words, added): the int32 ids (native order, as bytes) of
// the str objects of the list `words`, numbering new ones in order; each new
// word is appended to the list `added`. The interpreter lock stays held.
PyObject* word_ids_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* capsule = nullptr;
        PyObject* words = nullptr;
        PyObject* added = nullptr;
        if (!PyArg_ParseTuple(args, "OO!O!", &capsule, &PyList_Type, &words, &PyList_Type,
                              &added)) {
            throw_pending_error();
        }
        auto* table = static_cast<WordTable*>(PyCapsule_GetPointer(capsule, capsule_name));
        if (table == nullptr) {
            throw_pending_error();
        }
        const auto count = static_cast<std::size_t>(PyList_Size(words));
        // The list is held by the caller and nothing here runs Python code, so
        // its items stay put.
        std::vector<std::string_view> texts(count);
        std::vector<std::uint64_t> hashes(count);
        std::vector<PyRef> encoded;  // words with lone surrogates, as surrogatepass bytes
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* word = PyList_GetItem(words, static_cast<Py_ssize_t>(i));
            if (word == nullptr || !PyUnicode_Check(word)) {
                throw_python_error(PyExc_TypeError, "words must be str");
            }
            const Py_hash_t hash = PyObject_Hash(word);
            if (hash == -1) {
                throw_pending_error();
            }
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(word, &size);
            if (text == nullptr) {
                PyErr_Clear();
                PyObject* bytes = encoded.emplace_back(PyRef::steal(
                    PyUnicode_AsEncodedString(word, "utf-8", "surrogatepass"))).get();
                if (bytes == nullptr) {
                    throw_pending_error();
                }
                size = PyBytes_Size(bytes);
                text = PyBytes_AsString(bytes);
            }
            texts[i] = std::string_view(text, static_cast<std::size_t>(size));
            hashes[i] = static_cast<std::uint64_t>(hash);
        }
        std::vector<std::int32_t> out(count);
        table->number(texts.data(), hashes.data(), count, out.data(), [&](std::size_t i) {
            if (PyList_Append(added, PyList_GetItem(words, static_cast<Py_ssize_t>(i))) != 0) {
                throw_pending_error();
            }
        });
        PyRef ids = PyRef::steal(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(out.data()),
            static_cast<Py_ssize_t>(count * sizeof(std::int32_t))));
        if (!ids) {
            throw_pending_error();
        }
        return ids;
    });
}

namespace {

// A 1-D C-contiguous buffer of `length` elements of exactly this kind and size.
Buffer typed_buffer(PyObject* object, const char* what, ElementFormat::Kind kind,
                    std::size_t size, std::size_t length, bool writable) {
    Buffer view = Buffer::acquire(
        object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0));
    const ElementFormat format = element_format(view, what);
    if (view.get().ndim != 1 || format.kind != kind || format.size != size ||
        view.length() != length) {
        throw_python_error(PyExc_TypeError, std::string(what) + " has the wrong dtype or length");
    }
    return view;
}

}  // namespace

// compress_by_words(ends, ids, counts, words, indptr, indices, data): the
// entries of parts added one after another (part p's are those before
// ends[p]: int32 word ids and float64 counts, in any order within a part)
// compressed by words into indptr (int64, words + 1), indices (int32 part
// numbers) and data (float64), each word's entries in part order.
PyObject* compress_by_words_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* objects[7] = {};
        if (!PyArg_ParseTuple(args, "OOOOOOO", &objects[0], &objects[1], &objects[2],
                              &objects[3], &objects[4], &objects[5], &objects[6])) {
            throw_pending_error();
        }
        const Buffer ends = int64_buffer(objects[0], "ends", false);
        const std::size_t words = to_size(objects[3], "words");
        const std::size_t parts = ends.length();
        const auto* end_values = static_cast<const std::int64_t*>(ends.get().buf);
        const std::size_t entries = parts == 0 ? 0 : static_cast<std::size_t>(end_values[parts - 1]);
        using Kind = ElementFormat::Kind;
        const Buffer ids = typed_buffer(objects[1], "ids", Kind::signed_integer, 4, entries, false);
        const Buffer counts = typed_buffer(objects[2], "counts", Kind::binary64, 8, entries, false);
        const Buffer indptr =
            typed_buffer(objects[4], "indptr", Kind::signed_integer, 8, words + 1, true);
        const Buffer indices =
            typed_buffer(objects[5], "indices", Kind::signed_integer, 4, entries, true);
        const Buffer data = typed_buffer(objects[6], "data", Kind::binary64, 8, entries, true);
        std::vector<std::int64_t> pointers(parts + 1, 0);
        for (std::size_t p = 0; p < parts; ++p) {
            pointers[p + 1] = end_values[p];
            if (pointers[p + 1] < pointers[p]) {
                throw_python_error(PyExc_ValueError, "ends must not decrease");
            }
        }
        const auto* id_values = static_cast<const std::int32_t*>(ids.get().buf);
        for (std::size_t e = 0; e < entries; ++e) {
            if (id_values[e] < 0 || static_cast<std::size_t>(id_values[e]) >= words) {
                throw_python_error(PyExc_ValueError, "a word id beyond the words");
            }
        }
        CompressedCounts by_parts;
        by_parts.pointers = static_cast<const std::byte*>(static_cast<const void*>(pointers.data()));
        by_parts.pointer_size = 8;
        by_parts.indices = static_cast<const std::byte*>(ids.get().buf);
        by_parts.index_size = 4;
        by_parts.data = static_cast<const std::byte*>(counts.get().buf);
        by_parts.entries = entries;
        by_parts.by_words = false;
        const std::optional<WordSlices> transposed =
            transpose_to_words(CountMatrix{words, parts, by_parts}, by_parts, nullptr);
        if (!transposed) {
            throw_python_error(PyExc_ValueError, "the entries do not fit the ends");
        }
        const WordSlices& slices = *transposed;
        if (parts > static_cast<std::size_t>(INT32_MAX)) {
            throw_python_error(PyExc_OverflowError, "more than 2**31 - 1 parts");
        }
        std::memcpy(indptr.get().buf, slices.pointers.data(), (words + 1) * sizeof(std::int64_t));
        std::memcpy(indices.get().buf, slices.narrow_parts.data(), entries * sizeof(std::int32_t));
        std::memcpy(data.get().buf, slices.values.data(), entries * sizeof(double));
        return PyRef::borrow(Py_None);
    });
}

}  // namespace lexispan::binding::table
