# Dask's and SciPy's annotations are partial (untyped graph helpers, a typed
# delayed decorator that rejects plain functions): checked loosely here.
# mypy: disable-error-code="import-untyped,no-untyped-call,no-any-return,arg-type,unused-ignore"
"""Lazy measures of a dask.array count matrix: one task per block of words runs
the in-memory engine on that block's whole rows, so every result carries the
same bits as a call on the matrix held in memory."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._engine import add_part_sums, column_dtype, evaluate, ordered_sum, word_labels
from ._inputs import CountInput, adapt, from_array, from_compressed, part_sizes_array, total_value
from ._sparse import compress
from ._values import screen_counts, screen_sizes

try:
    import dask.array as dask_array
    from dask.base import is_dask_collection, tokenize
    from dask.delayed import delayed
except ImportError:  # pragma: no cover - reached only through a Dask array input
    raise ImportError(
        "lexispan_table needs Dask for a dask.array input: pip install 'lexispan[dask]'"
    ) from None


# Everything below that runs in a task is a module-level function taking and
# returning plain arrays, so process workers unpickle it by name.

def _join(blocks: Sequence[Any], words_axis: int) -> CountInput:
    """One block of words with its chunks along the parts joined, in order,
    each chunk checked and adapted first (no SciPy routine reads a chunk)."""
    pieces = [adapt(block, words_axis) for block in blocks]
    if len(pieces) == 1:
        return pieces[0]
    parts_axis = 1 - words_axis
    if all(piece.layout[0] == "dense" for piece in pieces):
        return from_array(np.concatenate([p.layout[1] for p in pieces], axis=parts_axis),
                          words_axis)
    words = pieces[0].words
    word_of, part_of, values = [], [], []
    offset = 0
    for piece in pieces:
        word, part, value = _entries(piece)
        word_of.append(word)
        part_of.append(part + offset)
        values.append(value)
        offset += piece.parts
    indptr, indices, data = compress(np.concatenate(word_of), np.concatenate(part_of),
                                     np.concatenate(values), words, offset)
    return from_compressed(indptr, indices, data, words, offset)


def _entries(piece: CountInput) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(word, part, value) of every stored entry (every nonzero cell of a
    dense piece)."""
    if piece.layout[0] == "dense":
        values = piece.layout[1] if piece.layout[2] == 0 else piece.layout[1].T
        word, part = np.nonzero(values)
        return word, part, values[word, part]
    _, indptr, indices, data, words, parts, by_words = piece.layout
    slices = np.repeat(np.arange(words if by_words else parts), np.diff(indptr))
    return (slices, indices, data) if by_words else (indices, slices, data)


def _add_part_sums(previous: np.ndarray | None, block: Any, words_axis: int, first: int,
                   first_part: int, check: bool) -> np.ndarray:
    # A fresh array each step: a retried task must find its input unchanged.
    counts = adapt(block, words_axis)
    if check:
        screen_counts(counts.layout, first=first, first_part=first_part)
    sums = (np.zeros(counts.parts, dtype=np.float64) if previous is None
            else previous.copy())
    add_part_sums(counts, sums)
    return sums


def _concatenate_sizes(*pieces: np.ndarray) -> np.ndarray:
    return np.concatenate(pieces) if pieces else np.zeros(0, dtype=np.float64)


def _checked_sizes(sizes: Any, parts: int) -> np.ndarray:
    return part_sizes_array(np.asarray(sizes), parts)


def _evaluate_block(blocks: Sequence[Any], numbers: np.ndarray, sizes: np.ndarray,
                    total: float, names: tuple[str, ...], method: str, threads: int,
                    words_axis: int, check: tuple[bool, bool] | None, level: float
                    ) -> tuple[np.ndarray, ...]:
    """The columns of one block of words; `numbers` are the words' indices in
    the whole matrix, `check` whether part sizes and total were given (None:
    no screening)."""
    counts = _join(blocks, words_axis)
    if check is not None:
        screen_counts(counts.layout, first=int(numbers[0]) if numbers.size else 0)
        screen_sizes(sizes, total, *check)
    columns = evaluate(counts, sizes, total, names, method, threads, False, level)
    return tuple(columns[name] for name in names)


def _column(values: tuple[np.ndarray, ...], position: int) -> np.ndarray:
    return values[position]


def _frame(values: tuple[np.ndarray, ...], names: tuple[str, ...], index: Any) -> Any:
    import pandas as pd

    return pd.DataFrame(dict(zip(names, values)), index=index, copy=False)


def _check_counts(counts: Any) -> dask_array.Array:
    if not isinstance(counts, dask_array.Array):
        raise TypeError(f"counts must be a dask.array.Array, not {type(counts).__name__}")
    if counts.ndim != 2:
        raise ValueError(f"counts must be two-dimensional (words x parts), got shape "
                         f"{counts.shape}")
    kind = counts.dtype.kind
    if kind == "c":
        raise TypeError(f"counts must be real numbers, not complex ({counts.dtype})")
    if kind not in "biufO":
        raise TypeError(f"counts must be numbers, not {counts.dtype}")
    if any(np.isnan(size) for sizes in counts.chunks for size in sizes):
        raise ValueError("counts has chunks of unknown size; call counts.compute_chunk_sizes() "
                         "first")
    return counts


def _sizes_and_total(counts: dask_array.Array, part_sizes: Any, total: Any, words_axis: int,
                     check: bool) -> tuple[Any, Any]:
    """Delayed part sizes and total, each one graph key that every block reads."""
    parts = int(counts.shape[1 - words_axis])
    if part_sizes is None:
        sizes = _default_part_sizes(counts, words_axis, check)
    elif is_dask_collection(part_sizes):
        shape = getattr(part_sizes, "shape", None)
        if shape is not None and len(shape) == 1 and not np.isnan(shape[0]) \
                and shape[0] != parts:
            raise ValueError(f"part_sizes has {shape[0]} values, expected {parts} "
                             f"(one per part)")
        sizes = delayed(_checked_sizes, pure=True)(part_sizes, parts)
    else:
        sizes = delayed(part_sizes_array(part_sizes, parts), pure=True)
    if total is None:
        value = delayed(ordered_sum, pure=True)(sizes)
    else:
        value = total_value(total)
    return sizes, value


def _default_part_sizes(counts: dask_array.Array, words_axis: int, check: bool) -> Any:
    # Each part's sum takes its words in ascending order from +0.0, as in
    # memory: every block of parts folds the blocks of words in order, one
    # task after the other (a tree reduction would round differently).
    blocks = counts.to_delayed(optimize_graph=False)
    if words_axis == 1:
        blocks = blocks.T
    step = delayed(_add_part_sums, pure=True)
    starts = np.concatenate(([0], np.cumsum(counts.chunks[words_axis]))).tolist()
    part_starts = np.concatenate(([0], np.cumsum(counts.chunks[1 - words_axis]))).tolist()
    pieces = []
    for j in range(blocks.shape[1]):
        sums = None
        for i in range(blocks.shape[0]):
            sums = step(sums, blocks[i, j], words_axis, starts[i], part_starts[j], check)
        pieces.append(sums)
    return delayed(_concatenate_sizes, pure=True)(*pieces)


def _block_results(counts: Any, part_sizes: Any, total: Any, words_axis: int,
                   names: tuple[str, ...], method: str, threads: int | None, check: bool,
                   task: Any = _evaluate_block, extra: tuple[Any, ...] = ()) -> dask_array.Array:
    """One chunk per block of words, each the tuple of that block's columns:
    `task(blocks, numbers, sizes, total, names, method, threads, words_axis,
    screening, *extra)`, as for _evaluate_block."""
    matrix = _check_counts(counts)
    sizes, value = _sizes_and_total(matrix, part_sizes, total, words_axis, check)
    # Dask runs blocks side by side, one per worker thread; the engine's own
    # threads are for a caller who asks for them.
    workers = 1 if threads is None else int(threads)
    index = "ij" if words_axis == 0 else "ji"
    # Each block's word numbers, for naming a refused count: chunked as the words.
    numbers = dask_array.arange(matrix.shape[words_axis], chunks=(matrix.chunks[words_axis],))
    screening = (part_sizes is not None, total is not None) if check else None
    plain = [item for value_ in extra for item in (value_, None)]
    return dask_array.blockwise(
        task, "i", matrix, index, numbers, "i", sizes, None, value, None, names, None,
        method, None, workers, None, words_axis, None, screening, None, *plain,
        concatenate=False, dtype=np.float64, meta=np.empty((0,), dtype=np.float64),
        name=f"lexispan-{task.__name__.strip('_')}-" + tokenize(
            matrix, sizes, value, names, method, workers, words_axis, screening, *extra),
    )


def dispersion_arrays(counts: Any, part_sizes: Any, total: Any, *, words_axis: int,
                      measures: tuple[str, ...], da: str, threads: int | None, check: bool,
                      level: float) -> dict[str, Any]:
    """{measure name: lazy dask array with one value per word}, chunked as the
    words of `counts`."""
    results = _block_results(counts, part_sizes, total, words_axis, measures, da, threads,
                             check, extra=(level,))
    return {
        name: results.map_blocks(_column, position, dtype=column_dtype(name),
                                 meta=np.empty((0,), dtype=column_dtype(name)),
                                 name=f"lexispan-{name}-" + tokenize(results, name))
        for position, name in enumerate(measures)
    }


def dispersion(counts: Any, part_sizes: Any, total: Any, *, words: Any, words_axis: int,
               measures: tuple[str, ...], da: str, threads: int | None, check: bool,
               level: float) -> Any:
    """A lazy dask DataFrame of the measures, one partition per block of words."""
    try:
        import dask.dataframe as dd
        import pandas as pd
    except ImportError:
        raise ImportError(
            "lexispan_table.dispersion on a Dask array returns a Dask DataFrame and needs "
            "dask[dataframe]: pip install 'lexispan[dask]' (or call dispersion_arrays)"
        ) from None
    results = _block_results(counts, part_sizes, total, words_axis, measures, da, threads,
                             check, extra=(level,))
    lengths = [int(size) for size in results.chunks[0]]
    starts = np.concatenate(([0], np.cumsum(lengths, dtype=np.int64))).tolist()
    labels = None if words is None else word_labels(pd, words, int(starts[-1]))
    if labels is None:
        indexes = [pd.RangeIndex(starts[b], starts[b + 1]) for b in range(len(lengths))]
        meta_index = pd.RangeIndex(0)
        divisions = (tuple(starts[:-1]) + (starts[-1] - 1,)
                     if lengths and all(lengths) else None)
    else:
        indexes = [labels[starts[b]:starts[b + 1]] for b in range(len(lengths))]
        meta_index = labels[:0]
        divisions = None
    meta = _frame(tuple(np.empty(0, dtype=column_dtype(name)) for name in measures), measures,
                  meta_index)
    make = delayed(_frame, pure=True)
    frames = [make(block, measures, index)
              for block, index in zip(results.to_delayed(optimize_graph=False), indexes)]
    return dd.from_delayed(frames, meta=meta, divisions=divisions, verify_meta=False)
