// The command's table as text: rows of words and number columns formatted in
// one pass, the numbers as Python's repr or format(x, ".Ng") writes them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/number_text.hpp"
#include "python_support/boundary.hpp"
#include "python_support/py_ref.hpp"
#include "table_binding/arrays.hpp"
#include "table_binding/entries.hpp"

namespace lexispan::binding::table {

namespace {

// One number column: float64 values, float64 frequencies (written as an
// integer when whole) or int32 values.
struct TextColumn {
    char kind = 'f';
    const double* doubles = nullptr;
    const std::int32_t* integers = nullptr;
};

std::string_view utf8_of(PyObject* text, const char* what) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (data == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            throw_python_error(PyExc_TypeError, std::string(what) + " must be str");
        }
        throw_pending_error();
    }
    return {data, static_cast<std::size_t>(size)};
}

// The cell of a float: repr, or `precision` significant digits.
void append_float(std::string& out, double x, int precision) {
    if (precision == 0) {
        append_repr(out, x);
    } else {
        append_significant(out, x, precision);
    }
}

void append_cell(std::string& out, const TextColumn& column, std::size_t row, int precision) {
    if (column.kind == 'i') {
        out += std::to_string(column.integers[row]);
        return;
    }
    const double x = column.doubles[row];
    // A whole frequency below 2^53 is an integer, whatever the precision.
    if (column.kind == 'q' && std::trunc(x) == x && std::fabs(x) < 9007199254740992.0) {
        out += std::to_string(static_cast<std::int64_t>(x));
        return;
    }
    append_float(out, x, precision);
}

bool finite_cell(const TextColumn& column, std::size_t row) {
    return column.kind == 'i' || std::isfinite(column.doubles[row]);
}

}  // namespace

// format_rows(words, columns, kinds, rows, precision, delimiter, keys): the
// text of the rows `rows` (int64 row numbers into every column), each row
// its word (str, already quoted for the format) and its cells. `kinds` has
// one letter per column: 'f' float64, 'q' float64 frequency, 'i' int32.
// `keys` None: delimited rows ending in "\n"; a tuple of str (the word's key
// and then each column's): one JSON object per row, non-finite numbers null.
PyObject* format_rows_entry(PyObject*, PyObject* args) noexcept {
    return boundary([&]() -> PyRef {
        PyObject* words = nullptr;
        PyObject* columns_object = nullptr;
        PyObject* kinds_object = nullptr;
        PyObject* rows_object = nullptr;
        int precision = 0;
        PyObject* delimiter_object = nullptr;
        PyObject* keys = nullptr;
        if (!PyArg_ParseTuple(args, "O!O!UOiUO", &PyList_Type, &words, &PyTuple_Type,
                              &columns_object, &kinds_object, &rows_object, &precision,
                              &delimiter_object, &keys)) {
            throw_pending_error();
        }
        const std::string_view kinds = utf8_of(kinds_object, "kinds");
        const std::string_view delimiter = utf8_of(delimiter_object, "delimiter");
        const Buffer rows_view = int64_buffer(rows_object, "rows", false);
        const auto* rows = static_cast<const std::int64_t*>(rows_view.get().buf);
        const std::size_t count = rows_view.length();
        const auto column_count = static_cast<std::size_t>(PyTuple_Size(columns_object));
        const bool json = keys != Py_None;
        if (precision < 0 || precision > 17 || kinds.size() != column_count ||
            static_cast<std::size_t>(PyList_Size(words)) != count ||
            (json && (!PyTuple_Check(keys) ||
                      static_cast<std::size_t>(PyTuple_Size(keys)) != column_count + 1))) {
            throw_python_error(PyExc_ValueError, "format_rows: arguments of unequal lengths");
        }
        std::vector<Buffer> held;
        std::vector<TextColumn> columns(column_count);
        std::size_t length = SIZE_MAX;
        for (std::size_t c = 0; c < column_count; ++c) {
            const Buffer& view = held.emplace_back(Buffer::acquire(
                PyTuple_GetItem(columns_object, static_cast<Py_ssize_t>(c)),
                PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
            const ElementFormat format = element_format(view, "column");
            const bool integer = kinds[c] == 'i';
            if (view.get().ndim != 1 || (kinds[c] != 'f' && kinds[c] != 'q' && !integer) ||
                (integer ? format.kind != ElementFormat::Kind::signed_integer || format.size != 4
                         : format.kind != ElementFormat::Kind::binary64)) {
                throw_python_error(PyExc_TypeError,
                                   "format_rows: a column is not of its kind's dtype");
            }
            columns[c].kind = kinds[c];
            if (integer) {
                columns[c].integers = static_cast<const std::int32_t*>(view.get().buf);
            } else {
                columns[c].doubles = static_cast<const double*>(view.get().buf);
            }
            length = std::min(length, view.length());
        }
        std::vector<std::string_view> key_texts;
        for (std::size_t k = 0; json && k <= column_count; ++k) {
            key_texts.push_back(utf8_of(PyTuple_GetItem(keys, static_cast<Py_ssize_t>(k)), "key"));
        }
        std::string out;
        out.reserve(count * (column_count + 1) * 20);
        for (std::size_t i = 0; i < count; ++i) {
            const auto row = static_cast<std::size_t>(rows[i]);
            if (rows[i] < 0 || (column_count > 0 && row >= length)) {
                throw_python_error(PyExc_IndexError, "format_rows: a row beyond the columns");
            }
            const std::string_view word =
                utf8_of(PyList_GetItem(words, static_cast<Py_ssize_t>(i)), "word");
            if (json) {
                out += '{';
                out += key_texts[0];
            }
            out += word;
            for (std::size_t c = 0; c < column_count; ++c) {
                if (json) {
                    out += ", ";
                    out += key_texts[c + 1];
                    if (!finite_cell(columns[c], row)) {
                        out += "null";
                        continue;
                    }
                } else {
                    out += delimiter;
                }
                append_cell(out, columns[c], row, precision);
            }
            out += json ? "}\n" : "\n";
        }
        PyRef text = PyRef::steal(
            PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"));
        if (!text) {
            throw_pending_error();
        }
        return text;
    });
}

}  // namespace lexispan::binding::table
