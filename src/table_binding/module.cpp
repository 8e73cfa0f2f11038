// lexispan_table._native: the table engine behind the Python package. The
// package checks and shapes every argument; this module reads the buffers it
// is handed, releases the interpreter lock while the engine runs, and polls
// for Ctrl-C and progress while it waits.
#include "python_support/python.hpp"
#include "table_binding/entries.hpp"

namespace lexispan::binding::table {

namespace {

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
    {"word_table", word_table_entry, METH_NOARGS,
     "word_table()\n--\n\nAn empty table of words, to number them with word_ids."},
    {"word_ids", word_ids_entry, METH_VARARGS,
     "word_ids(table, words, added)\n--\n\nThe int32 ids (bytes) of a list of str, new "
     "words numbered in order\nand appended to the list added."},
    {"compress_by_words", compress_by_words_entry, METH_VARARGS,
     "compress_by_words(ends, ids, counts, words, indptr, indices, data)\n--\n\n"
     "Entries added part after part, compressed by words into the three output arrays."},
    {"format_rows", format_rows_entry, METH_VARARGS,
     "format_rows(words, columns, kinds, rows, precision, delimiter, keys)\n--\n\n"
     "The text of the given rows: each row's word and its cells, delimited (keys None) or\n"
     "as JSON objects; floats as repr, or with precision significant digits."},
    {"column_names", column_names_entry, METH_NOARGS,
     "column_names()\n--\n\nThe engine's column names in their default order."},
    {"default_threads", default_threads_entry, METH_NOARGS,
     "default_threads()\n--\n\nThe worker count the pool uses."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
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

}  // namespace lexispan::binding::table

PyMODINIT_FUNC PyInit__native() {
    return PyModule_Create2(&lexispan::binding::table::module_definition, 3);
}
