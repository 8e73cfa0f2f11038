"""Parquet tables (pyarrow): the first column the words, every further column
one part; or with --long the three columns word, part, count."""

from __future__ import annotations

import io
import itertools
from typing import Any, BinaryIO

import numpy as np

from lexispan_cli.counts import CountMatrix, PartBuilder
from lexispan_cli.errors import InputError, need
from lexispan_cli.tables.common import TableOptions, WordIndex, first_non_count
from lexispan_cli.tables.coordinates import long_counts


def read(stream: BinaryIO, path: str, options: TableOptions) -> CountMatrix:
    # The table is handed over, not kept here, so each reader can let it go early.
    if options.long:
        return _read_long(_load(stream, path), path, options.sizes_row)
    return _read_wide(_load(stream, path), path, options.sizes_row)


def _load(stream: BinaryIO, path: str) -> Any:
    parquet: Any = need("pyarrow.parquet", "parquet", "reading Parquet")
    try:
        # One file read by the calling thread, not read_table's dataset: the dataset
        # lets Arrow's threads drop the last reference to the Python bytes, and one
        # dropped while the interpreter exits ends the process with std::terminate.
        with parquet.ParquetFile(io.BytesIO(stream.read())) as file:
            return file.read()
    except (OSError, ValueError) as exc:
        message = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(path, f"not a readable Parquet file: {message}") from None


def _read_long(frame: Any, path: str, sizes_row: str) -> CountMatrix:
    names = [str(n) for n in frame.column_names]
    if len(names) != 3:
        raise InputError(path, f"{len(names)} columns; a long table has 3 (word, part, count)")
    words = _text_column(frame.column(0), path, names[0])
    parts = _text_column(frame.column(1), path, names[1])
    counts = _count_column(frame.column(2), path, names[2])
    del frame
    if not words:
        raise InputError(path, "empty table")
    # The counts go in as the numbers read; the rows are numbered from 1.
    rows = zip(words, parts, counts.tolist(), itertools.count(1))
    return long_counts(rows, path, sizes_row)


def _read_wide(frame: Any, path: str, sizes_row: str) -> CountMatrix:
    names = [str(n) for n in frame.column_names]
    if len(names) < 2:
        raise InputError(path, "the table needs a word column and at least one part column")
    cells = _text_column(frame.column(0), path, names[0])
    if not cells:
        raise InputError(path, "no word rows")
    sizes_at = [i for i, w in enumerate(cells) if w == sizes_row]
    if len(sizes_at) > 1:
        raise InputError(path, f"second {sizes_row!r} row (rows {sizes_at[0] + 1} and "
                               f"{sizes_at[1] + 1})")
    words = WordIndex(path, unit="row")
    for row, word in enumerate(cells, 1):
        if word != sizes_row:
            words.number(word, row)
    if not words.ids:
        raise InputError(path, "no word rows")
    keep = np.ones(len(cells), dtype=bool)
    keep[sizes_at] = False
    builder = PartBuilder()
    builder.vocabulary = words.ids
    sizes = []
    for name, column in zip(names[1:], frame.columns[1:]):
        values = _count_column(column, path, name)
        if sizes_at:
            sizes.append(float(values[sizes_at[0]]))
        values = values[keep]
        present = np.flatnonzero(values)
        builder.add_entries(name, present.astype(np.int32).tolist(), values[present].tolist())
    del frame
    matrix = builder.matrix(sizes if sizes_at else [0.0] * (len(names) - 1))
    if not sizes_at:
        matrix.part_sizes = None
    return matrix


def _text_column(column: Any, path: str, name: str) -> list[str]:
    values: list[str] = column.to_pylist()
    if not all(isinstance(v, str) for v in values):
        raise InputError(path, f"column {name!r} must hold text for every row")
    return values


def _count_column(column: Any, path: str, name: str) -> np.ndarray:
    if column.null_count:
        raise InputError(path, f"column {name!r} has an empty (null) cell")
    try:
        values: np.ndarray = column.to_numpy().astype(np.float64)
    except (TypeError, ValueError):
        raise InputError(path, f"column {name!r} is not numeric ({column.type})") from None
    at = first_non_count(values)
    if at is not None:
        raise InputError(path, f"column {name!r}, row {at + 1}: {float(values[at])!r} is not "
                               f"a count (a non-negative number)")
    return values + 0.0
