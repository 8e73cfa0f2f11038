"""Counts of every word in every part, held sparse: a vocabulary and, per part,
the ids and counts of the words found there. Nothing is stored for a word that
is absent from a part, so memory follows the number of (word, part) pairs that
occur, not words x parts.

The dispersion table is computed by lexispan_table's engine on the words x
parts matrix in compressed sparse row form. The arrays are handed to the
engine as its own compressed description (lexispan_table._engine), so the
command needs neither scipy nor a dense copy."""

from __future__ import annotations

import array
import itertools
import operator
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from lexispan_table._engine import (DEFAULT_LEVEL, CountInput, default_part_sizes,
                                    default_threads, evaluate, from_compressed, ordered_sum)


@dataclass
class CountMatrix:
    """Words x parts in compressed sparse row form (entries of a row in
    ascending part order), with the part sizes when the input gave them."""

    words: list[str]
    part_names: list[str]
    indptr: np.ndarray   # int64, len(words) + 1
    indices: np.ndarray  # int32 part numbers
    data: np.ndarray     # float64 counts
    sizes: np.ndarray | None = None

    @property
    def nnz(self) -> int:
        return int(self.indptr[-1])

    def engine_input(self) -> CountInput:
        return from_compressed(self.indptr, self.indices, self.data, len(self.words),
                               len(self.part_names))

    def column_sums(self) -> np.ndarray:
        """Each part's count summed over the words in word order, as the table
        functions take the default part sizes."""
        return default_part_sizes(self.engine_input())

    def drop_parts(self, keep: np.ndarray) -> CountMatrix:
        """The matrix restricted to the parts where `keep` is true (renumbered)."""
        renumber = np.cumsum(keep, dtype=np.int64) - 1
        entry_kept = keep[self.indices]
        row_of = np.repeat(np.arange(len(self.words)), np.diff(self.indptr))[entry_kept]
        indptr = np.zeros(len(self.words) + 1, dtype=np.int64)
        np.cumsum(np.bincount(row_of, minlength=len(self.words)), out=indptr[1:])
        names = [name for name, k in zip(self.part_names, keep) if k]
        sizes = None if self.sizes is None else self.sizes[keep]
        return CountMatrix(self.words, names, indptr,
                           renumber[self.indices[entry_kept]].astype(np.int32),
                           self.data[entry_kept], sizes)


class PartBuilder:
    """Accumulates parts one at a time into a vocabulary and appended arrays,
    then compresses them by words."""

    def __init__(self) -> None:
        self.vocabulary: dict[str, int] = {}
        self.part_names: list[str] = []
        self.sizes: list[float] = []
        self._ids = array.array("i")
        self._counts = array.array("d")
        self._ends = array.array("q")

    def add_part(self, name: str, counts: Mapping[str, float]) -> None:
        vocabulary = self.vocabulary
        words = list(counts)
        found: list[Any] = list(map(vocabulary.get, words))
        if None in found:
            # New words: picked out and numbered without a Python-level pass
            # over the part's words.
            new = list(map(operator.is_, found, itertools.repeat(None)))
            first = len(vocabulary)
            vocabulary.update(zip(itertools.compress(words, new), itertools.count(first)))
            for i, index in zip(itertools.compress(range(len(words)), new),
                                itertools.count(first)):
                found[i] = index
        ids = self._ids
        ids.fromlist(found)
        self._counts.fromlist(list(counts.values()))
        self._ends.append(len(ids))
        self.part_names.append(name)
        self.sizes.append(float(sum(counts.values())))

    def add_entries(self, name: str, ids: Iterable[int], counts: Iterable[float]) -> None:
        """A part given as vocabulary ids (already in self.vocabulary) and counts."""
        self._ids.extend(ids)
        self._counts.extend(counts)
        self._ends.append(len(self._ids))
        self.part_names.append(name)

    def matrix(self, sizes: Sequence[float] | None = None) -> CountMatrix:
        """Compresses by words (first-seen order); the entries of a word stay
        in part order because a stable sort keeps the order they were added in."""
        words = list(self.vocabulary)
        word_ids = np.frombuffer(self._ids, dtype=np.int32)
        counts = np.frombuffer(self._counts, dtype=np.float64)
        ends = np.frombuffer(self._ends, dtype=np.int64)
        parts = np.repeat(np.arange(len(ends), dtype=np.int32),
                          np.diff(ends, prepend=0))
        order = np.argsort(word_ids, kind="stable")
        indptr = np.zeros(len(words) + 1, dtype=np.int64)
        np.cumsum(np.bincount(word_ids, minlength=len(words)), out=indptr[1:])
        data = counts[order]
        indices = parts[order]
        del order
        self._ids = array.array("i")
        self._counts = array.array("d")
        chosen = self.sizes if sizes is None else sizes
        return CountMatrix(words, list(self.part_names), indptr, indices, data,
                           np.asarray(chosen, dtype=np.float64))


def compute(matrix: CountMatrix, sizes: np.ndarray, total: float | None, measures: Sequence[str],
            da: str, progress: bool, level: float = DEFAULT_LEVEL) -> dict[str, np.ndarray]:
    """One array per measure (frequency always included) over the words of
    `matrix` (`level`: D_MB's interval)."""
    names = list(measures)
    if "frequency" not in names:
        names.insert(0, "frequency")
    value = ordered_sum(sizes) if total is None else total
    return evaluate(matrix.engine_input(), sizes, value, names, da, default_threads(), progress,
                    level)
