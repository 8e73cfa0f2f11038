"""Delimited tables (CSV, TSV): wide, a word column and a column per part, or
long (--long), rows of word, part, count."""

from __future__ import annotations

import csv
import math
from collections.abc import Iterable, Iterator
from typing import Any, BinaryIO

import numpy as np

from lexispan_cli.counts import CountMatrix
from lexispan_cli.errors import InputError
from lexispan_cli.tables.common import TableOptions, WordIndex, first_non_count
from lexispan_cli.tables.coordinates import long_counts
from lexispan_cli.texts import read_lines


def read(stream: BinaryIO, path: str, options: TableOptions) -> CountMatrix:
    lines = read_lines(stream, path, options.encoding)
    return read_delimited(lines, path, options.kind, options.long, options.sizes_row)


def read_delimited(lines: Iterator[tuple[int, str]], path: str, kind: str | None, long: bool,
                   sizes_row: str) -> CountMatrix:
    text_lines = (text for _, text in lines)
    first = next(text_lines, None)
    if first is None:
        raise InputError(path, "empty table")
    delimiter = {"csv": ",", "tsv": "\t"}.get(kind or "", "\t" if "\t" in first else ",")
    stream = _chain(first, text_lines)
    reader = csv.reader(stream, delimiter=delimiter, strict=True)
    try:
        if long:
            return long_counts(_long_rows(reader, path), path, sizes_row)
        return _read_wide(reader, path, sizes_row, delimiter)
    except csv.Error as exc:
        raise InputError(path, f"malformed table: {exc}", reader.line_num) from None


def _chain(first: str, rest: Iterable[str]) -> Iterator[str]:
    yield first
    yield from rest


def parse_count(cell: str) -> float | None:
    """A count is a finite non-negative number as float() reads it, minus its "1_000" form."""
    try:
        value = float(cell)
    except ValueError:
        return None
    if "_" in cell or not 0.0 <= value < math.inf:
        return None
    return value + 0.0  # "-0" counts as +0


def _bad_cell(path: str, line: int, column: int, name: str, cell: str) -> InputError:
    shown = repr(cell) if cell.strip() else "an empty cell"
    return InputError(path, f"column {column} ({name!r}): {shown} is not a count "
                            f"(a non-negative number)", line)


def _parse_counts(cells: list[str], path: str, line: int, header: list[str]) -> np.ndarray:
    # Fast path for a clean row; the cell-by-cell pass only runs to name the bad cell.
    try:
        values = np.array(list(map(float, cells)), dtype=np.float64)
    except ValueError:
        pass
    else:
        if first_non_count(values) is None and "_" not in "".join(cells):
            return values + 0.0
    for column, cell in enumerate(cells, 1):
        if parse_count(cell) is None:
            raise _bad_cell(path, line, column, header[column], cell)
    raise AssertionError("unreachable: a row failed as a whole but no cell failed")


def _narrow_header(header: list[str], delimiter: str) -> str:
    """Why a header has a single cell, as far as its text tells."""
    if delimiter == "," and "\t" in header[0]:
        return "; it holds tabs: a tab-separated table? (--table-format tsv)"
    return ("; is this plain text? (--text reads one part per line; a folder of text files "
            "is given as the folder)")


def _read_wide(reader: Any, path: str, sizes_row: str, delimiter: str) -> CountMatrix:
    words = WordIndex(path)
    sizes: np.ndarray | None = None
    sizes_line = 0
    header: list[str] | None = None
    row_indices: list[np.ndarray] = []
    row_values: list[np.ndarray] = []
    for record in reader:
        line = reader.line_num
        if not record:
            continue
        if header is None:
            header = record
            if len(header) < 2:
                raise InputError(path, "the header needs a word column and at least one part "
                                       "column" + _narrow_header(header, delimiter), line)
            continue
        if len(record) != len(header):
            raise InputError(path, f"row has {len(record)} cells, the header has {len(header)}",
                             line)
        word = record[0]
        values = _parse_counts(record[1:], path, line, header)
        if word == sizes_row:
            if sizes is not None:
                raise InputError(path, f"second {sizes_row!r} row (the first is on line "
                                       f"{sizes_line})", line)
            sizes, sizes_line = values, line
            continue
        words.number(word, line)
        present = np.flatnonzero(values).astype(np.int32)
        row_indices.append(present)
        row_values.append(values[present])
    if header is None:
        raise InputError(path, "empty table")
    if not words.ids:
        raise InputError(path, "no word rows")
    listed = list(words.ids)
    del words
    indptr = np.zeros(len(listed) + 1, dtype=np.int64)
    np.cumsum([len(r) for r in row_indices], out=indptr[1:])
    indices = np.concatenate(row_indices) if row_indices else np.zeros(0, np.int32)
    data = np.concatenate(row_values) if row_values else np.zeros(0)
    return CountMatrix(listed, header[1:], indptr, indices.astype(np.int32), data, sizes)


def _long_rows(reader: Any, path: str) -> Iterator[tuple[str, str, float, int]]:
    """The (word, part, count, line) of every record; the first record is a
    header, and skipped, when its count cell is not a number."""
    first = True
    for record in reader:
        line = reader.line_num
        if not record:
            continue
        if len(record) != 3:
            raise InputError(path, f"row has {len(record)} cells; a long table has 3 "
                                   f"(word, part, count)", line)
        word, part, cell = record
        value = parse_count(cell)
        if value is None:
            if first:
                first = False
                continue  # the header
            raise _bad_cell(path, line, 3, "count", cell)
        first = False
        yield word, part, value, line
    if first:
        raise InputError(path, "empty table")
