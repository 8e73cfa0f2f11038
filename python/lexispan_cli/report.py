"""Computing the dispersion record of every word, ordering the rows and writing the table."""

from __future__ import annotations

import csv
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from types import GetSetDescriptorType
from typing import TextIO

from lexispan import CorpusWordAnalyzer, DispersionMetrics

from lexispan_cli.sources import Corpus

# The record's attributes in record order: the attribute descriptors of its type.
MEASURES: tuple[str, ...] = tuple(
    name
    for name, attribute in vars(DispersionMetrics).items()
    if isinstance(attribute, GetSetDescriptorType)
)
COLUMNS: tuple[str, ...] = ("word", "frequency", *MEASURES)

# Rows per batch call; small enough for a lively progress display, large
# enough that the worker pool has something to share out.
CHUNK_ROWS = 4096


@dataclass
class Row:
    word: str
    frequency: float
    metrics: DispersionMetrics

    def number(self, column: str) -> float | None:
        """The frequency or one measure of the record (range included, as an int)."""
        if column == "frequency":
            return self.frequency
        value: float | None = getattr(self.metrics, column)
        return value

    def value(self, column: str) -> str | float | None:
        return self.word if column == "word" else self.number(column)


def compute(
    corpus: Corpus,
    min_freq: float = 0.0,
    progress: Callable[[str], None] | None = None,
) -> list[Row]:
    """The full record for every word whose total count is at least `min_freq`."""
    kept = [
        (word, counts, sum(counts, 0.0))
        for word, counts in zip(corpus.words, corpus.rows)
    ]
    kept = [item for item in kept if item[2] >= min_freq]
    rows: list[Row] = []
    for start in range(0, len(kept), CHUNK_ROWS):
        if progress is not None:
            progress(f"computing {start}/{len(kept)} words")
        chunk = kept[start : start + CHUNK_ROWS]
        records = CorpusWordAnalyzer.calculate_batch_metrics(
            [counts for _, counts, _ in chunk], corpus.part_sizes, corpus.total
        )
        rows.extend(Row(word, freq, rec) for (word, _, freq), rec in zip(chunk, records))
    return rows


def order(rows: list[Row], column: str, descending: bool) -> list[Row]:
    """Sort by `column`; ties stay in word order and absent or NaN values go last either way."""
    by_word = sorted(rows, key=lambda row: row.word)
    if column == "word":
        return by_word[::-1] if descending else by_word
    keyed = [(row.number(column), row) for row in by_word]
    present = [(value, row) for value, row in keyed if value is not None and not math.isnan(value)]
    absent = [row for value, row in keyed if value is None or math.isnan(value)]
    # Python's sort stays stable under reverse=True, which keeps ties in word order.
    present.sort(key=lambda item: item[0], reverse=descending)
    return [row for _, row in present] + absent


def format_value(value: str | float | None) -> str:
    """Cell text: absent is empty, floats keep every bit (repr), whole frequencies print as integers."""
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


def write_table(out: TextIO, rows: Sequence[Row], delimiter: str) -> None:
    writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
    writer.writerow(COLUMNS)
    for row in rows:
        cells = [format_value(row.value(column)) for column in COLUMNS]
        if row.frequency.is_integer() and abs(row.frequency) < 2.0**53:
            cells[1] = str(int(row.frequency))
        writer.writerow(cells)
