"""Reading count tables: wide CSV/TSV (a column per part), long CSV/TSV (rows of
word, part, count), Matrix Market with a vocabulary file, and Parquet. Every
reader streams its rows into compressed sparse arrays; no cell is stored for a
zero count."""

from __future__ import annotations

import array
import csv
import io
import math
import sys
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np

from lexispan_cli.counts import CountMatrix, PartBuilder
from lexispan_cli.errors import InputError, need
from lexispan_cli.texts import STDIN, read_lines

TABLE_KINDS = ("csv", "tsv", "mtx", "parquet")


def table_kind(path: Path | str, given: str | None) -> str | None:
    """The kind by --table-format, else by suffix; None for a delimited table
    whose delimiter the header line decides."""
    if given is not None:
        return given
    suffix = Path(path).suffix.lower() if str(path) != STDIN else ""
    return {".tsv": "tsv", ".tab": "tsv", ".csv": "csv", ".mtx": "mtx",
            ".parquet": "parquet", ".pq": "parquet"}.get(suffix)


def _open(path: Path | str) -> BinaryIO:
    if str(path) == STDIN:
        return sys.stdin.buffer
    try:
        if Path(path).is_dir():
            raise InputError(path, "is a folder")
        return open(path, "rb")
    except FileNotFoundError:
        raise InputError(path, "no such file or directory") from None
    except OSError as exc:
        raise InputError(path, f"cannot read: {exc.strerror or exc}") from None


def display(path: Path | str) -> str:
    return "<stdin>" if str(path) == STDIN else str(path)


def read_table(path: Path | str, kind: str | None, *, long: bool = False,
               sizes_row: str = "__size__", encoding: str = "utf-8",
               vocabulary: Path | None = None) -> CountMatrix:
    """The counts of a table; `sizes` is None when the table gives no part sizes."""
    kind = table_kind(path, kind)
    if kind == "mtx":
        if vocabulary is None:
            raise InputError(display(path), "a Matrix Market file needs --vocab FILE "
                             "(its words, one per line)")
        with _open(path) as stream:
            return read_matrix_market(stream, display(path), vocabulary, encoding)
    if kind == "parquet":
        with _open(path) as stream:
            return read_parquet(stream, display(path), long, sizes_row)
    with _open(path) as stream:
        lines = read_lines(stream, display(path), encoding)
        return read_delimited(lines, display(path), kind, long, sizes_row)


def _count(cell: str) -> float | None:
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
        if (values.size == 0 or (values.min() >= 0.0 and values.max() < math.inf)) \
                and "_" not in "".join(cells):
            return values + 0.0
    for column, cell in enumerate(cells, 1):
        if _count(cell) is None:
            raise _bad_cell(path, line, column, header[column], cell)
    raise AssertionError("unreachable: a row failed as a whole but no cell failed")


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
            return _read_long(reader, path, sizes_row)
        return _read_wide(reader, path, sizes_row)
    except csv.Error as exc:
        raise InputError(path, f"malformed table: {exc}", reader.line_num) from None


def _chain(first: str, rest: Iterable[str]) -> Iterator[str]:
    yield first
    yield from rest


def _read_wide(reader: Any, path: str, sizes_row: str) -> CountMatrix:
    words: list[str] = []
    first_seen: dict[str, int] = {}
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
                                       "column", line)
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
        if not word:
            raise InputError(path, "empty word", line)
        if word in first_seen:
            raise InputError(path, f"duplicate word {word!r} (first on line {first_seen[word]})",
                             line)
        first_seen[word] = line
        words.append(word)
        present = np.flatnonzero(values).astype(np.int32)
        row_indices.append(present)
        row_values.append(values[present])
    if header is None:
        raise InputError(path, "empty table")
    if not words:
        raise InputError(path, "no word rows")
    del first_seen
    indptr = np.zeros(len(words) + 1, dtype=np.int64)
    np.cumsum([len(r) for r in row_indices], out=indptr[1:])
    indices = np.concatenate(row_indices) if row_indices else np.zeros(0, np.int32)
    data = np.concatenate(row_values) if row_values else np.zeros(0)
    return CountMatrix(words, header[1:], indptr, indices.astype(np.int32), data, sizes)


def _read_long(reader: Any, path: str, sizes_row: str) -> CountMatrix:
    """Rows of word, part, count, in any order; an optional header row (one
    whose count cell is not a number) is skipped. Parts are numbered in the
    order they first appear; a row whose word is `sizes_row` gives that
    part's size."""
    vocabulary: dict[str, int] = {}
    part_ids: dict[str, int] = {}
    sizes: dict[int, tuple[float, int]] = {}
    word_of = _Appender("i")
    part_of = _Appender("i")
    counts = _Appender("d")
    lines = _Appender("q")
    first = True
    for record in reader:
        line = reader.line_num
        if not record:
            continue
        if len(record) != 3:
            raise InputError(path, f"row has {len(record)} cells; a long table has 3 "
                                   f"(word, part, count)", line)
        word, part, cell = record
        value = _count(cell)
        if value is None:
            if first:
                first = False
                continue  # the header
            raise _bad_cell(path, line, 3, "count", cell)
        first = False
        part_id = part_ids.setdefault(part, len(part_ids))
        if word == sizes_row:
            if part_id in sizes:
                raise InputError(path, f"second size of part {part!r} (the first is on line "
                                       f"{sizes[part_id][1]})", line)
            sizes[part_id] = (value, line)
            continue
        if not word:
            raise InputError(path, "empty word", line)
        word_of.append(vocabulary.setdefault(word, len(vocabulary)))
        part_of.append(part_id)
        counts.append(value)
        lines.append(line)
    if not vocabulary:
        raise InputError(path, "no word rows" if part_ids or not first else "empty table")
    names = list(part_ids)
    size_array = None
    if sizes:
        missing = [name for name, i in part_ids.items() if i not in sizes]
        if missing:
            raise InputError(path, f"part {missing[0]!r} has no {sizes_row!r} row, "
                                   f"though other parts have one")
        size_array = np.array([sizes[i][0] for i in range(len(names))], dtype=np.float64)
    words = list(vocabulary)
    del vocabulary
    return _compress(words, names, word_of.array(np.int32), part_of.array(np.int32),
                     counts.array(np.float64), lines.array(np.int64), path, size_array,
                     lambda w, p: f"second count of {words[w]!r} in part {names[p]!r}")


class _Appender:
    """A growing typed column (array.array), read back as a NumPy array."""

    def __init__(self, code: str) -> None:
        self.values: array.array[Any] = array.array(code)
        self.append: Callable[[Any], None] = self.values.append

    def array(self, dtype: Any) -> np.ndarray:
        return np.frombuffer(self.values, dtype=dtype) if self.values else np.zeros(0, dtype)


def _compress(words: list[str], names: list[str], word_of: np.ndarray, part_of: np.ndarray,
              counts: np.ndarray, lines: np.ndarray, path: str, sizes: np.ndarray | None,
              duplicate: Callable[[int, int], str]) -> CountMatrix:
    """Entries given in any order -> rows by word, parts ascending; an entry
    given twice is an error naming both lines."""
    order = np.lexsort((lines, part_of, word_of))
    word_of, part_of, counts, lines = word_of[order], part_of[order], counts[order], lines[order]
    twice = np.flatnonzero((word_of[1:] == word_of[:-1]) & (part_of[1:] == part_of[:-1]))
    if twice.size:
        at = int(twice[0])
        raise InputError(path, f"{duplicate(int(word_of[at]), int(part_of[at]))} (the first is "
                               f"on line {lines[at]})", int(lines[at + 1]))
    keep = counts != 0
    word_of, part_of, counts = word_of[keep], part_of[keep], counts[keep]
    indptr = np.zeros(len(words) + 1, dtype=np.int64)
    np.cumsum(np.bincount(word_of, minlength=len(words)), out=indptr[1:])
    return CountMatrix(words, names, indptr, np.ascontiguousarray(part_of, dtype=np.int32),
                       np.ascontiguousarray(counts), sizes)


def _read_vocabulary(path: Path, encoding: str) -> list[str]:
    words: list[str] = []
    seen: dict[str, int] = {}
    with _open(path) as stream:
        for line, text in read_lines(stream, str(path), encoding):
            word = text.rstrip("\r\n")
            if not word:
                raise InputError(path, "empty word", line)
            if word in seen:
                raise InputError(path, f"duplicate word {word!r} (first on line {seen[word]})",
                                 line)
            seen[word] = line
            words.append(word)
    if not words:
        raise InputError(path, "no words")
    return words


def read_matrix_market(stream: BinaryIO, path: str, vocabulary: Path, encoding: str
                       ) -> CountMatrix:
    """A Matrix Market coordinate file (real, integer or pattern; general) whose
    rows or columns, whichever the vocabulary's length matches (rows when both
    do), are the words."""
    words = _read_vocabulary(vocabulary, encoding)
    lines = read_lines(stream, path, "ascii")
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
    size_line = 0
    shape: list[int] = []
    for number, text in lines:
        if text.startswith("%") or not text.strip():
            continue
        try:
            shape = [int(x) for x in text.split()]
        except ValueError:
            shape = []
        if len(shape) != 3 or min(shape) < 0:
            raise InputError(path, "the size line must be 'rows columns entries'", number)
        size_line = number
        break
    if not shape:
        raise InputError(path, "no size line")
    rows, columns, entries = shape
    if len(words) not in (rows, columns):
        raise InputError(path, f"{rows} rows x {columns} columns, but the vocabulary "
                               f"{vocabulary} has {len(words)} words")
    per_entry = 2 if field == "pattern" else 3
    found = np.zeros((entries, per_entry), dtype=np.float64)
    line_of = np.zeros(entries, dtype=np.int64)
    filled = 0
    batch: list[str] = []
    batch_lines: list[int] = []

    def flush() -> None:
        nonlocal filled
        if not batch:
            return
        try:
            values = np.array(" ".join(batch).split(), dtype=np.float64).reshape(-1, per_entry)
            if values.shape[0] != len(batch):
                raise ValueError
        except ValueError:
            for number, text in zip(batch_lines, batch):
                cells = text.split()
                if len(cells) != per_entry:
                    raise InputError(path, f"an entry has {per_entry} numbers, not "
                                           f"{len(cells)}", number) from None
                try:
                    [float(c) for c in cells]
                except ValueError:
                    raise InputError(path, f"not a number in {text.strip()!r}",
                                     number) from None
            raise
        if filled + len(batch) > entries:
            raise InputError(path, f"more entries than the {entries} of the size line",
                             batch_lines[entries - filled])
        found[filled:filled + len(batch)] = values
        line_of[filled:filled + len(batch)] = batch_lines
        filled += len(batch)
        batch.clear()
        batch_lines.clear()

    for number, text in lines:
        if text.startswith("%") or not text.strip():
            continue
        batch.append(text)
        batch_lines.append(number)
        if len(batch) >= 65536:
            flush()
    flush()
    if filled != entries:
        raise InputError(path, f"{filled} entries, the size line (line {size_line}) says "
                               f"{entries}")
    row = found[:, 0]
    column = found[:, 1]
    value = found[:, 2] if per_entry == 3 else np.ones(entries)
    for axis, limit, name in ((row, rows, "row"), (column, columns, "column")):
        bad = np.flatnonzero((axis < 1) | (axis > limit) | (axis != np.floor(axis)))
        if bad.size:
            raise InputError(path, f"{name} index {axis[bad[0]]:g} is outside 1..{limit}",
                             int(line_of[bad[0]]))
    bad = np.flatnonzero(~((value >= 0) & (value < math.inf)))
    if bad.size:
        raise InputError(path, f"{float(value[bad[0]])!r} is not a count (a non-negative "
                               f"number)",
                         int(line_of[bad[0]]))
    words_on_rows = len(words) == rows
    word_of = (row if words_on_rows else column).astype(np.int32) - 1
    part_of = (column if words_on_rows else row).astype(np.int32) - 1
    parts = columns if words_on_rows else rows
    names = [f"{'column' if words_on_rows else 'row'} {i + 1}" for i in range(parts)]
    return _compress(words, names, word_of, part_of, value + 0.0, line_of, path, None,
                     lambda w, p: f"second entry for {words[w]!r} in {names[p]}")


def read_parquet(stream: BinaryIO, path: str, long: bool, sizes_row: str) -> CountMatrix:
    """A Parquet table: the first column the words (text), every further column
    one part (wide), or with long=True the three columns word, part, count."""
    parquet: Any = need("pyarrow.parquet", "parquet", "reading Parquet")
    try:
        source = io.BytesIO(stream.read()) if stream is sys.stdin.buffer else stream
        frame = parquet.read_table(source)
    except (OSError, ValueError) as exc:
        message = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(path, f"not a readable Parquet file: {message}") from None
    names = [str(n) for n in frame.column_names]
    if long:
        if len(names) != 3:
            raise InputError(path, f"{len(names)} columns; a long table has 3 "
                                   f"(word, part, count)")
        word_cells = _text_column(frame.column(0), path, names[0])
        part_cells = _text_column(frame.column(1), path, names[1])
        count_cells = _count_column(frame.column(2), path, names[2])
        del frame
        rows = _ParquetRows(word_cells, part_cells, count_cells)
        return _read_long(rows, path, sizes_row)
    if len(names) < 2:
        raise InputError(path, "the table needs a word column and at least one part column")
    words = _text_column(frame.column(0), path, names[0])
    if not words:
        raise InputError(path, "no word rows")
    sizes_at = [i for i, w in enumerate(words) if w == sizes_row]
    if len(sizes_at) > 1:
        raise InputError(path, f"second {sizes_row!r} row (rows {sizes_at[0] + 1} and "
                               f"{sizes_at[1] + 1})")
    keep = np.ones(len(words), dtype=bool)
    keep[sizes_at] = False
    kept_words = [w for w, k in zip(words, keep) if k]
    seen: dict[str, int] = {}
    for i, word in enumerate(kept_words):
        if not word:
            raise InputError(path, f"empty word in row {i + 1}")
        if word in seen:
            raise InputError(path, f"duplicate word {word!r} (rows {seen[word] + 1} and {i + 1})")
        seen[word] = i
    if not kept_words:
        raise InputError(path, "no word rows")
    builder = PartBuilder()
    builder.vocabulary = seen
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
        matrix.sizes = None
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
    bad = np.flatnonzero(~((values >= 0) & (values < math.inf)))
    if bad.size:
        raise InputError(path, f"column {name!r}, row {bad[0] + 1}: {float(values[bad[0]])!r} is not "
                               f"a count (a non-negative number)")
    return values + 0.0


class _ParquetRows:
    """Long Parquet rows, presented to the long-table reader like CSV records."""

    def __init__(self, words: list[str], parts: list[str], counts: np.ndarray) -> None:
        self.rows = zip(words, parts, map(repr, counts.tolist()))
        self.line_num = 0

    def __iter__(self) -> Iterator[list[str]]:
        for row in self.rows:
            self.line_num += 1
            yield list(row)
