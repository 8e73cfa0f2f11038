"""The command's counts: lexispan_table's SparseCounts (words x parts in
compressed sparse row form), as the table readers and the text counter build
them, and the table of measures computed from them. Nothing is stored for a
word that is absent from a part, so memory follows the number of (word, part)
pairs that occur, not words x parts; the engine reads the arrays in place, so
the command needs neither scipy nor a dense copy."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from lexispan_table import SparseCounts, dispersion_arrays
from lexispan_table._counts import PartBuilder
from lexispan_table._engine import DEFAULT_LEVEL, default_part_sizes

# The readers build the library's counts; the command calls them a matrix.
CountMatrix = SparseCounts

__all__ = ["CountMatrix", "PartBuilder", "column_sums", "compute", "drop_parts", "take_words"]


def column_sums(matrix: CountMatrix) -> np.ndarray:
    """Each part's count summed over the words in word order, as the table
    functions take the default part sizes."""
    return default_part_sizes(matrix.engine_input())


def drop_parts(matrix: CountMatrix, keep: np.ndarray) -> CountMatrix:
    """The matrix restricted to the parts where `keep` is true (renumbered);
    the token stream loses nothing, since a dropped part holds no word."""
    renumber = np.cumsum(keep, dtype=np.int64) - 1
    entry_kept = keep[matrix.indices]
    row_of = np.repeat(np.arange(len(matrix.words)), np.diff(matrix.indptr))[entry_kept]
    indptr = np.zeros(len(matrix.words) + 1, dtype=np.int64)
    np.cumsum(np.bincount(row_of, minlength=len(matrix.words)), out=indptr[1:])
    names = [name for name, k in zip(matrix.part_names, keep) if k]
    sizes = None if matrix.part_sizes is None else matrix.part_sizes[keep]
    starts = None if matrix.part_starts is None else matrix.part_starts[keep]
    return CountMatrix(matrix.words, names, indptr,
                       renumber[matrix.indices[entry_kept]].astype(np.int32),
                       matrix.data[entry_kept], sizes, matrix.token_ids, starts)


def take_words(matrix: CountMatrix, rows: np.ndarray) -> CountMatrix:
    """The counts of the words at row numbers `rows`, in that order (without
    token positions)."""
    starts, ends = matrix.indptr[rows], matrix.indptr[rows + 1]
    entries = np.concatenate([np.arange(a, b, dtype=np.int64)
                              for a, b in zip(starts.tolist(), ends.tolist())]
                             or [np.zeros(0, dtype=np.int64)])
    indptr = np.zeros(len(rows) + 1, dtype=np.int64)
    np.cumsum(ends - starts, out=indptr[1:])
    return CountMatrix([matrix.words[i] for i in rows.tolist()], matrix.part_names, indptr,
                       matrix.indices[entries], matrix.data[entries], matrix.part_sizes)


def compute(matrix: CountMatrix, sizes: np.ndarray, total: float, measures: Sequence[str],
            da: str, progress: bool, threads: int | None = None,
            level: float = DEFAULT_LEVEL) -> dict[str, np.ndarray]:
    """One array per measure (frequency always included) over the words of
    `matrix` (`level`: D_MB's interval)."""
    names = list(measures)
    if "frequency" not in names:
        names.insert(0, "frequency")
    return dispersion_arrays(matrix, sizes, total, measures=names, da=da, threads=threads,
                             progress=progress, level=level)
