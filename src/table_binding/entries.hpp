// The entry points of lexispan_table._native, listed in its method table.
#pragma once

#include "python_support/python.hpp"

namespace lexispan::binding::table {

// Count matrices (count_entries.cpp).
PyObject* evaluate_entry(PyObject* module, PyObject* args) noexcept;
PyObject* part_sums_entry(PyObject* module, PyObject* args) noexcept;
PyObject* ordered_sum_entry(PyObject* module, PyObject* values) noexcept;
PyObject* column_names_entry(PyObject* module, PyObject* unused) noexcept;
PyObject* default_threads_entry(PyObject* module, PyObject* unused) noexcept;

// Token positions (position_entries.cpp).
PyObject* position_dispersion_entry(PyObject* module, PyObject* args) noexcept;
PyObject* factorize_entry(PyObject* module, PyObject* args) noexcept;
PyObject* group_positions_entry(PyObject* module, PyObject* args) noexcept;

// Numbering counted words (word_entries.cpp).
PyObject* word_table_entry(PyObject* module, PyObject* unused) noexcept;
PyObject* word_ids_entry(PyObject* module, PyObject* args) noexcept;
PyObject* compress_by_words_entry(PyObject* module, PyObject* args) noexcept;

// The command's table as text (text_entries.cpp).
PyObject* format_rows_entry(PyObject* module, PyObject* args) noexcept;

}  // namespace lexispan::binding::table
