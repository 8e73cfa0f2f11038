# Dask's annotations are partial: checked loosely here, as in _dask.
# mypy: disable-error-code="import-untyped,no-untyped-call,no-any-return,arg-type,unused-ignore"
"""Lazy dispersion within and across groups of a dask.array count matrix: one
task per block of words runs the in-memory engine on that block's whole rows,
so every value carries the bits of a call on the matrix held in memory."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from dask.base import tokenize
from dask.delayed import delayed

from ._dask import _block_results, _join
from ._engine import column_dtype, word_labels
from ._group_engine import ACROSS, GroupDispersion, check_group_sizes, evaluate_groups, group_labels
from ._values import screen_counts, screen_sizes


def _group_block(blocks: Sequence[Any], numbers: np.ndarray, sizes: np.ndarray, total: float,
                 names: tuple[str, ...], method: str, threads: int, words_axis: int,
                 check: tuple[bool, bool] | None, labels: tuple[Any, ...], codes: np.ndarray
                 ) -> tuple[np.ndarray, ...]:
    """The within and across columns of one block of words, screened as in
    _evaluate_block."""
    counts = _join(blocks, words_axis)
    if check is not None:
        screen_counts(counts.layout, first=int(numbers[0]) if numbers.size else 0)
        screen_sizes(sizes, total, *check)
    check_group_sizes(labels, codes, sizes)
    within, across = evaluate_groups(counts, sizes, total, codes, len(labels), names, method,
                                     threads, False)
    return tuple(within[name] for name in names) + tuple(across[name] for name in names)


def _column(values: tuple[np.ndarray, ...], position: int) -> np.ndarray:
    return values[position]


def _results(counts: Any, groups: Any, part_sizes: Any, total: Any, words_axis: int,
             names: tuple[str, ...], da: str, threads: int | None, check: bool
             ) -> tuple[tuple[Any, ...], Any]:
    parts = int(counts.shape[1 - words_axis]) if len(getattr(counts, "shape", ())) == 2 else 0
    labels, codes = group_labels(groups, parts)
    results = _block_results(counts, part_sizes, total, words_axis, names, da, threads, check,
                             _group_block, (labels, codes))
    return labels, results


def group_dispersion_arrays(counts: Any, groups: Any, part_sizes: Any, total: Any, *,
                            words_axis: int, measures: tuple[str, ...], da: str,
                            threads: int | None, check: bool) -> GroupDispersion:
    """GroupDispersion of lazy Dask arrays chunked as the words of `counts`:
    within (words x groups) and across (words)."""
    labels, results = _results(counts, groups, part_sizes, total, words_axis, measures, da,
                               threads, check)
    width = len(labels)
    within = {}
    across = {}
    for position, name in enumerate(measures):
        dtype = column_dtype(name)
        within[name] = results.map_blocks(
            _column, position, new_axis=1, chunks=(results.chunks[0], (width,)), dtype=dtype,
            meta=np.empty((0, 0), dtype=dtype),
            name=f"lexispan-within-{name}-" + tokenize(results, name))
        across[name] = results.map_blocks(
            _column, len(measures) + position, dtype=dtype, meta=np.empty((0,), dtype=dtype),
            name=f"lexispan-across-{name}-" + tokenize(results, name))
    return GroupDispersion(labels, within, across)


def _long_frame(values: tuple[np.ndarray, ...], names: tuple[str, ...], words: Any,
                groups: tuple[Any, ...], start: int) -> Any:
    import pandas as pd

    width = len(groups) + 1
    count = len(words)
    # Taken from indexes, so that an empty block (the meta) has the dtypes of
    # a full one.
    columns: dict[str, Any] = {"word": pd.Index(words).repeat(width),
                               "group": pd.Index([*groups, ACROSS]).take(
                                   np.tile(np.arange(width), count))}
    for position, name in enumerate(names):
        both = np.column_stack([values[position], values[len(names) + position]])
        columns[name] = both.reshape(-1)
    return pd.DataFrame(columns, index=pd.RangeIndex(start * width, (start + count) * width))


def group_dispersion(counts: Any, groups: Any, part_sizes: Any, total: Any, *, words: Any,
                     words_axis: int, measures: tuple[str, ...], da: str,
                     threads: int | None, check: bool) -> Any:
    """A lazy Dask DataFrame in long form: per word, one row per group and one
    across them (group ACROSS), with the columns word, group and the
    measures; one partition per block of words."""
    try:
        import dask.dataframe as dd
        import pandas as pd
    except ImportError:
        raise ImportError(
            "lexispan_table.group_dispersion on a Dask array returns a Dask DataFrame and "
            "needs dask[dataframe]: pip install 'lexispan[dask]' (or call "
            "group_dispersion_arrays)") from None
    labels, results = _results(counts, groups, part_sizes, total, words_axis, measures, da,
                               threads, check)
    lengths = [int(size) for size in results.chunks[0]]
    starts = np.concatenate(([0], np.cumsum(lengths, dtype=np.int64))).tolist()
    names = (word_labels(pd, words, int(starts[-1])) if words is not None
             else pd.RangeIndex(int(starts[-1])))
    width = len(labels) + 1
    meta = _long_frame(tuple(np.empty(0, dtype=column_dtype(name)) for name in measures) * 2,
                       measures, names[:0], labels, 0)
    make = delayed(_long_frame, pure=True)
    frames = [make(block, measures, names[starts[b]:starts[b + 1]], labels, starts[b])
              for b, block in enumerate(results.to_delayed(optimize_graph=False))]
    divisions = (tuple(start * width for start in starts[:-1]) + (starts[-1] * width - 1,)
                 if lengths and all(lengths) else None)
    return dd.from_delayed(frames, meta=meta, divisions=divisions, verify_meta=False)
