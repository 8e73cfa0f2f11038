"""Ordering the rows and writing the table: CSV/TSV, JSON Lines or Parquet, to
the destination that output_files claims."""

from __future__ import annotations

import csv
import io
import re
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, BinaryIO, TextIO

import numpy as np

from lexispan_table._engine import format_rows

from lexispan_cli.errors import InputError, UsageError, need
from lexispan_cli.output_files import Output

FORMATS = ("csv", "tsv", "jsonl", "parquet")
_SUFFIXES = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".jsonl": "jsonl",
             ".ndjson": "jsonl", ".parquet": "parquet", ".pq": "parquet"}

# Frequencies, written as integers where they are whole.
COUNT_COLUMNS = frozenset({"frequency", "target_frequency", "reference_frequency"})

# Rows formatted per block; the text of one block is all that is held at once.
BLOCK_ROWS = 8192


def output_format(given: str | None, output: Path | None) -> str:
    """--format, else the output file's extension (none: CSV); an extension
    that names no format is refused rather than written as CSV."""
    if given is not None:
        return given
    if output is None or not output.suffix:
        return "csv"
    found = _SUFFIXES.get(output.suffix.lower())
    if found is None:
        raise UsageError(f"{output}: {output.suffix!r} is not an output format (known: "
                         f"{', '.join(_SUFFIXES)}); --format csv|tsv|jsonl|parquet writes one "
                         f"anyway")
    return found


def word_ranks(words: Sequence[str]) -> np.ndarray:
    """Each word's position in code-point order."""
    ranks = np.empty(len(words), dtype=np.int64)
    ranks[sorted(range(len(words)), key=words.__getitem__)] = np.arange(len(words))
    return ranks


def order(words: Sequence[str], columns: dict[str, np.ndarray], sort: str, descending: bool,
          min_freq: float, top: int | None, frequency: np.ndarray | None = None) -> np.ndarray:
    """Row numbers in output order. Ties stay in word order and NaN values
    go last either way; --min-freq (on `frequency`, by default the column)
    and --top apply as before."""
    ranks = word_ranks(words)
    counts = columns["frequency"] if frequency is None else frequency
    kept = np.flatnonzero(counts >= min_freq) if min_freq > 0 else np.arange(len(words))
    if sort == "word":
        chosen = kept[np.argsort(ranks[kept], kind="stable")]
        if descending:
            chosen = chosen[::-1]
    else:
        values = columns[sort][kept].astype(np.float64)
        missing = np.isnan(values)
        key = -values if descending else values
        key[missing] = 0.0
        chosen = kept[np.lexsort((ranks[kept], key, missing))]
    return chosen if top is None else chosen[:top]


def _kinds(columns: dict[str, np.ndarray]) -> str:
    """Each column's text rule: 'q' a frequency (an integer where whole), 'i'
    an integer, 'f' a float."""
    return "".join("q" if name in COUNT_COLUMNS else "i" if values.dtype.kind in "iu" else "f"
                   for name, values in columns.items())


def _text_columns(columns: dict[str, np.ndarray]) -> tuple[np.ndarray, ...]:
    return tuple(np.ascontiguousarray(values, dtype=np.int32 if values.dtype.kind in "iu"
                                      else np.float64) for values in columns.values())


def _blocks(words: Sequence[str], columns: dict[str, np.ndarray], rows: np.ndarray,
            precision: int | None, quote: Callable[[list[str]], list[str]],
            delimiter: str = ",", keys: tuple[str, ...] | None = None) -> Iterator[str]:
    """The text of the rows, a block at a time; every number as repr writes
    it, or with `precision` significant digits (no exponent below 1e16 for a
    large value), a whole frequency as an integer."""
    kinds = _kinds(columns)
    arrays = _text_columns(columns)
    for start in range(0, len(rows), BLOCK_ROWS):
        block = np.ascontiguousarray(rows[start:start + BLOCK_ROWS], dtype=np.int64)
        cells = quote([words[i] for i in block.tolist()])
        yield format_rows(cells, arrays, kinds, block, precision or 0, delimiter, keys)


def _csv_quoting(delimiter: str) -> Callable[[list[str]], list[str]]:
    """Words as csv.writer writes them: a word holding the delimiter, a quote
    or a line break goes through the writer itself, the others as they are."""
    special = re.compile(f'[{re.escape(delimiter)}"\r\n]')

    def quote(words: list[str]) -> list[str]:
        if special.search("\x00".join(words)) is None:
            return words
        out = io.StringIO()
        writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
        quoted = list(words)
        for i, word in enumerate(words):
            if special.search(word):
                out.seek(0)
                out.truncate()
                writer.writerow([word, ""])
                quoted[i] = out.getvalue()[:-len(delimiter) - 1]
        return quoted

    return quote


def write_delimited(out: TextIO, words: Sequence[str], columns: dict[str, np.ndarray],
                    rows: np.ndarray, delimiter: str, precision: int | None) -> None:
    csv.writer(out, delimiter=delimiter, lineterminator="\n").writerow(["word", *columns])
    for text in _blocks(words, columns, rows, precision, _csv_quoting(delimiter), delimiter):
        out.write(text)


def write_json_lines(out: TextIO, words: Sequence[str], columns: dict[str, np.ndarray],
                     rows: np.ndarray, precision: int | None) -> None:
    """One object per row. NaN and infinities, which JSON has no numbers for, are null."""
    import json

    keys = tuple(json.dumps(name) + ": " for name in ("word", *columns))
    encode = json.JSONEncoder(ensure_ascii=False).encode
    for text in _blocks(words, columns, rows, precision,
                        lambda block: list(map(encode, block)), keys=keys):
        out.write(text)


def write_parquet(out: BinaryIO, words: Sequence[str], columns: dict[str, np.ndarray],
                  rows: np.ndarray, metadata: dict[str, str] | None = None) -> None:
    """Numbers as stored (float64, range as int32), so --precision does not apply;
    `metadata` joins the file's key-value metadata."""
    arrow: Any = need("pyarrow", "parquet", "writing Parquet")
    parquet: Any = need("pyarrow.parquet", "parquet", "writing Parquet")
    table = arrow.table({"word": arrow.array([words[i] for i in rows.tolist()], arrow.string()),
                         **{name: values[rows] for name, values in columns.items()}})
    if metadata:
        table = table.replace_schema_metadata({**(table.schema.metadata or {}), **metadata})
    parquet.write_table(table, out)


def write(output: Output, fmt: str, words: Sequence[str], columns: dict[str, np.ndarray],
          rows: np.ndarray, precision: int | None, metadata: dict[str, str] | None = None
          ) -> None:
    try:
        if fmt == "parquet":
            write_parquet(output.binary(), words, columns, rows, metadata)
            return
        stream = output.text()
        if fmt == "jsonl":
            write_json_lines(stream, words, columns, rows, precision)
        else:
            write_delimited(stream, words, columns, rows, "\t" if fmt == "tsv" else ",",
                            precision)
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise InputError(str(output.path or "<stdout>"),
                         f"cannot write: {exc.strerror or exc}") from None
