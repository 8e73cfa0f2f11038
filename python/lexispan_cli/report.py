"""Ordering the rows and writing the table: CSV/TSV, JSON Lines or Parquet, to
the destination that output_files claims."""

from __future__ import annotations

import csv
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, BinaryIO, TextIO

import numpy as np

from lexispan_cli.errors import InputError, need
from lexispan_cli.output_files import Output

FORMATS = ("csv", "tsv", "jsonl", "parquet")
_SUFFIXES = {".tsv": "tsv", ".tab": "tsv", ".jsonl": "jsonl", ".ndjson": "jsonl",
             ".parquet": "parquet", ".pq": "parquet"}

# Frequencies, written as integers where they are whole.
COUNT_COLUMNS = frozenset({"frequency", "target_frequency", "reference_frequency"})

# Rows formatted per block; the text of one block is all that is held at once.
BLOCK_ROWS = 8192


def output_format(given: str | None, output: Path | None) -> str:
    if given is not None:
        return given
    if output is None:
        return "csv"
    return _SUFFIXES.get(output.suffix.lower(), "csv")


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


def _number_texts(values: np.ndarray, precision: int | None, integer: bool) -> list[str]:
    if integer:
        return [str(v) for v in values.tolist()]
    floats: list[float] = values.tolist()
    if precision is None:
        return [repr(v) for v in floats]
    pattern = f".{precision}g"
    return [format(v, pattern) for v in floats]


def _frequency_texts(values: np.ndarray, precision: int | None) -> list[str]:
    # A whole frequency is written as an integer, whatever the precision.
    texts = _number_texts(values, precision, False)
    for i, v in enumerate(values.tolist()):
        if v.is_integer() and abs(v) < 2.0**53:
            texts[i] = str(int(v))
    return texts


def _blocks(keys: dict[str, Sequence[str]], columns: dict[str, np.ndarray], rows: np.ndarray,
            precision: int | None) -> Iterator[tuple[list[list[str]], list[list[str]]]]:
    for start in range(0, len(rows), BLOCK_ROWS):
        block = rows[start:start + BLOCK_ROWS]
        indexes = block.tolist()
        texts = []
        for name, values in columns.items():
            chosen = values[block]
            if name in COUNT_COLUMNS:
                texts.append(_frequency_texts(chosen, precision))
            else:
                texts.append(_number_texts(chosen, precision, chosen.dtype.kind in "iu"))
        yield [[labels[i] for i in indexes] for labels in keys.values()], texts


def write_delimited(out: TextIO, keys: dict[str, Sequence[str]], columns: dict[str, np.ndarray],
                    rows: np.ndarray, delimiter: str, precision: int | None) -> None:
    writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
    writer.writerow([*keys, *columns])
    for labels, texts in _blocks(keys, columns, rows, precision):
        writer.writerows(zip(*labels, *texts))


def write_json_lines(out: TextIO, keys: dict[str, Sequence[str]],
                     columns: dict[str, np.ndarray], rows: np.ndarray,
                     precision: int | None) -> None:
    """One object per row. NaN and infinities, which JSON has no numbers for, are null."""
    import json

    names = [json.dumps(name) + ": " for name in (*keys, *columns)]
    for labels, texts in _blocks(keys, columns, rows, precision):
        lines = []
        for cells in zip(*labels, *texts):
            parts = [name + json.dumps(cell, ensure_ascii=False)
                     for name, cell in zip(names, cells[:len(keys)])]
            for key, cell in zip(names[len(keys):], cells[len(keys):]):
                finite = cell[-1].isdigit()  # not nan, inf or -inf
                parts.append(key + (cell if finite else "null"))
            lines.append("{" + ", ".join(parts) + "}\n")
        out.write("".join(lines))


def write_parquet(out: BinaryIO, keys: dict[str, Sequence[str]],
                  columns: dict[str, np.ndarray], rows: np.ndarray, metadata: dict[str, str] | None = None) -> None:
    """Numbers as stored (float64, range as int32), so --precision does not apply;
    `metadata` joins the file's key-value metadata."""
    arrow: Any = need("pyarrow", "parquet", "writing Parquet")
    parquet: Any = need("pyarrow.parquet", "parquet", "writing Parquet")
    indexes = rows.tolist()
    table = arrow.table({**{name: arrow.array([labels[i] for i in indexes], arrow.string())
                            for name, labels in keys.items()},
                         **{name: values[rows] for name, values in columns.items()}})
    if metadata:
        table = table.replace_schema_metadata({**(table.schema.metadata or {}), **metadata})
    parquet.write_table(table, out)


def write(output: Output, fmt: str, words: Sequence[str], columns: dict[str, np.ndarray],
          rows: np.ndarray, precision: int | None, metadata: dict[str, str] | None = None,
          keys: dict[str, Sequence[str]] | None = None) -> None:
    """The table of `rows`: the word, then `columns`; `keys` (text columns,
    one label per row number) replaces the word column when given."""
    if keys is None:
        keys = {"word": words}
    try:
        if fmt == "parquet":
            write_parquet(output.binary(), keys, columns, rows, metadata)
            return
        stream = output.text()
        if fmt == "jsonl":
            write_json_lines(stream, keys, columns, rows, precision)
        else:
            write_delimited(stream, keys, columns, rows, "\t" if fmt == "tsv" else ",",
                            precision)
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise InputError(str(output.path or "<stdout>"),
                         f"cannot write: {exc.strerror or exc}") from None
