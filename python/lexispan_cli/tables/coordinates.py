"""Counts given as (word, part, count) entries in any order, the rows of a
long table or the entries of a Matrix Market file, compressed into rows by
word."""

from __future__ import annotations

import array
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from lexispan_cli.counts import CountMatrix
from lexispan_cli.errors import InputError
from lexispan_cli.tables.common import WordIndex


class Appender:
    """A growing typed column (array.array), read back as a NumPy array."""

    def __init__(self, code: str) -> None:
        self.values: array.array[Any] = array.array(code)
        self.append: Callable[[Any], None] = self.values.append

    def array(self, dtype: Any) -> np.ndarray:
        return np.frombuffer(self.values, dtype=dtype) if self.values else np.zeros(0, dtype)


def long_counts(rows: Iterable[tuple[str, str, float, int]], path: str, sizes_row: str
                ) -> CountMatrix:
    """Rows of word, part, count (each with the line or row it was read
    from), in any order. Parts are numbered in the order they first appear;
    a row whose word is `sizes_row` gives that part's size."""
    words = WordIndex(path, unique=False)
    part_ids: dict[str, int] = {}
    sizes: dict[int, tuple[float, int]] = {}
    word_of = Appender("i")
    part_of = Appender("i")
    counts = Appender("d")
    lines = Appender("q")
    number = words.number
    for word, part, value, line in rows:
        part_id = part_ids.setdefault(part, len(part_ids))
        if word == sizes_row:
            if part_id in sizes:
                raise InputError(path, f"second size of part {part!r} (the first is on line "
                                       f"{sizes[part_id][1]})", line)
            sizes[part_id] = (value, line)
            continue
        word_of.append(number(word, line))
        part_of.append(part_id)
        counts.append(value)
        lines.append(line)
    if not words.ids:
        raise InputError(path, "no word rows")
    names = list(part_ids)
    size_array = None
    if sizes:
        missing = [name for name, i in part_ids.items() if i not in sizes]
        if missing:
            raise InputError(path, f"part {missing[0]!r} has no {sizes_row!r} row, "
                                   f"though other parts have one")
        size_array = np.array([sizes[i][0] for i in range(len(names))], dtype=np.float64)
    listed = list(words.ids)
    del words
    return compress(listed, names, word_of.array(np.int32), part_of.array(np.int32),
                    counts.array(np.float64), lines.array(np.int64), path, size_array,
                    lambda w, p: f"second count of {listed[w]!r} in part {names[p]!r}")


def compress(words: list[str], names: list[str], word_of: np.ndarray, part_of: np.ndarray,
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
