"""Matrix Market coordinate files (real, integer or pattern; general) with a
vocabulary file (--vocab) giving their words, one per line."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import BinaryIO

import numpy as np

from lexispan_cli.counts import CountMatrix
from lexispan_cli.errors import InputError
from lexispan_cli.tables.common import TableOptions, WordIndex, first_non_count, open_table
from lexispan_cli.tables.coordinates import compress
from lexispan_cli.texts import read_lines

ENTRY_BATCH = 65536  # entries parsed by NumPy at once
EMPTY_PARTS = 1 << 20  # parts beyond the entries that a size line may declare

Lines = Iterator[tuple[int, str]]


def read(stream: BinaryIO, path: str, options: TableOptions) -> CountMatrix:
    assert options.vocabulary is not None
    return read_matrix_market(stream, path, options.vocabulary, options.encoding)


def read_vocabulary(path: Path, encoding: str) -> list[str]:
    words = WordIndex(path)
    with open_table(path) as stream:
        for line, text in read_lines(stream, str(path), encoding):
            words.number(text.rstrip("\r\n"), line)
    if not words.ids:
        raise InputError(path, "no words")
    return list(words.ids)


def read_matrix_market(stream: BinaryIO, path: str, vocabulary: Path, encoding: str
                       ) -> CountMatrix:
    """The counts of a Matrix Market file whose rows or columns, whichever the
    vocabulary's length matches (rows when both do), are the words."""
    words = read_vocabulary(vocabulary, encoding)
    lines = read_lines(stream, path, "ascii")
    field = _read_banner(lines, path)
    rows, columns, entries, size_line = _read_size_line(lines, path)
    if len(words) not in (rows, columns):
        raise InputError(path, f"{rows} rows x {columns} columns, but the vocabulary "
                               f"{vocabulary} has {len(words)} words")
    parts, axis = (columns, "columns") if len(words) == rows else (rows, "rows")
    if parts > entries + EMPTY_PARTS:
        # Each part costs memory whether an entry reaches it or not.
        raise InputError(path, f"the size line declares {parts} {axis} (parts) for {entries} "
                               f"entries; more than {EMPTY_PARTS} parts without an entry are "
                               f"refused", size_line)
    per_entry = 2 if field == "pattern" else 3
    found, line_of = _read_entries(lines, path, per_entry, entries)
    if len(found) != entries:
        raise InputError(path, f"{len(found)} entries, the size line (line {size_line}) says "
                               f"{entries}")
    row = found[:, 0]
    column = found[:, 1]
    value = found[:, 2] if per_entry == 3 else np.ones(entries)
    _check_entries(row, column, value, rows, columns, line_of, path)
    words_on_rows = len(words) == rows
    word_of = (row if words_on_rows else column).astype(np.int32) - 1
    part_of = (column if words_on_rows else row).astype(np.int32) - 1
    parts = columns if words_on_rows else rows
    names = [f"{'column' if words_on_rows else 'row'} {i + 1}" for i in range(parts)]
    return compress(words, names, word_of, part_of, value + 0.0, line_of, path, None,
                    lambda w, p: f"second entry for {words[w]!r} in {names[p]}")


def _read_banner(lines: Lines, path: str) -> str:
    """The field (real, integer or pattern) of the first line's banner."""
    banner = next(lines, None)
    if banner is None:
        raise InputError(path, "empty file")
    fields = banner[1].lower().split()
    if len(fields) != 5 or fields[0] != "%%matrixmarket" or fields[1] != "matrix":
        raise InputError(path, "not a Matrix Market file (no '%%MatrixMarket matrix' "
                               "banner)", 1)
    layout, field, symmetry = fields[2:]
    if layout != "coordinate" or field not in ("real", "integer", "pattern") \
            or symmetry != "general":
        raise InputError(path, f"only 'coordinate real|integer|pattern general' matrices "
                               f"are read, not '{layout} {field} {symmetry}'", 1)
    return field


def _read_size_line(lines: Lines, path: str) -> tuple[int, int, int, int]:
    """Rows, columns and entries from the first line after the comments, and its number."""
    for number, text in lines:
        if text.startswith("%") or not text.strip():
            continue
        try:
            shape = [int(x) for x in text.split()]
        except ValueError:
            shape = []
        if len(shape) != 3 or min(shape) < 0:
            raise InputError(path, "the size line must be 'rows columns entries'", number)
        return shape[0], shape[1], shape[2], number
    raise InputError(path, "no size line")


def _batches(lines: Lines) -> Iterator[tuple[list[str], list[int]]]:
    """The entry lines (comments and blank lines left out) with their numbers,
    ENTRY_BATCH at a time."""
    batch: list[str] = []
    numbers: list[int] = []
    for number, text in lines:
        if text.startswith("%") or not text.strip():
            continue
        batch.append(text)
        numbers.append(number)
        if len(batch) >= ENTRY_BATCH:
            yield batch, numbers
            batch, numbers = [], []
    if batch:
        yield batch, numbers


def _parse(batch: list[str], numbers: list[int], per_entry: int, path: str) -> np.ndarray:
    try:
        values = np.array(" ".join(batch).split(), dtype=np.float64).reshape(-1, per_entry)
        if values.shape[0] != len(batch):
            raise ValueError
    except ValueError:
        # Name the first line that is not `per_entry` numbers.
        for number, text in zip(numbers, batch):
            cells = text.split()
            if len(cells) != per_entry:
                raise InputError(path, f"an entry has {per_entry} numbers, not "
                                       f"{len(cells)}", number) from None
            try:
                [float(c) for c in cells]
            except ValueError:
                raise InputError(path, f"not a number in {text.strip()!r}", number) from None
        raise
    return values


def _read_entries(lines: Lines, path: str, per_entry: int, entries: int
                  ) -> tuple[np.ndarray, np.ndarray]:
    """Every entry as `per_entry` numbers, with the line it is on. The arrays
    grow with what is read: the size line only bounds them."""
    found: list[np.ndarray] = [np.zeros((0, per_entry))]
    line_of: list[np.ndarray] = [np.zeros(0, dtype=np.int64)]
    filled = 0
    for batch, numbers in _batches(lines):
        values = _parse(batch, numbers, per_entry, path)
        if filled + len(batch) > entries:
            raise InputError(path, f"more entries than the {entries} of the size line",
                             numbers[entries - filled])
        found.append(values)
        line_of.append(np.array(numbers, dtype=np.int64))
        filled += len(batch)
    return np.concatenate(found), np.concatenate(line_of)


def _check_entries(row: np.ndarray, column: np.ndarray, value: np.ndarray, rows: int,
                   columns: int, line_of: np.ndarray, path: str) -> None:
    for axis, limit, name in ((row, rows, "row"), (column, columns, "column")):
        bad = np.flatnonzero((axis < 1) | (axis > limit) | (axis != np.floor(axis)))
        if bad.size:
            raise InputError(path, f"{name} index {axis[bad[0]]:g} is outside 1..{limit}",
                             int(line_of[bad[0]]))
    at = first_non_count(value)
    if at is not None:
        raise InputError(path, f"{float(value[at])!r} is not a count (a non-negative number)",
                         int(line_of[at]))
