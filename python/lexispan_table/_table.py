"""The two entry points: measures of every word of a count matrix as arrays, or
as a pandas DataFrame."""

from __future__ import annotations

import numbers
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _native
from ._inputs import CountInput, adapt, check_words_axis, part_sizes_array, total_value
from ._measures import DEFAULT_MEASURE_NAMES, INTEGER_MEASURES, select
from ._progress import progress_callback

_DA_METHODS = ("pairwise", "sorted")


def _check_threads(threads: object) -> int:
    if threads is None:
        return int(_native.default_threads())
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be a positive integer or None, not "
                        f"{type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return int(threads)


def _check_da(da: object) -> str:
    if not isinstance(da, str) or da not in _DA_METHODS:
        raise ValueError(f"da must be 'pairwise' or 'sorted', not {da!r}")
    return da


def _checked_options(words_axis: object, measures: object, da: object, threads: object
                     ) -> tuple[int, tuple[str, ...], str]:
    """The words axis, the measure names and the DA method of a call, checked
    together with `threads` before any input is read. The default worker
    count is left to the in-memory path, which alone uses the pool."""
    axis = check_words_axis(words_axis)
    names = select(measures, default=DEFAULT_MEASURE_NAMES)
    method = _check_da(da)
    if threads is not None:
        _check_threads(threads)
    return axis, names, method


def default_part_sizes(counts: CountInput) -> np.ndarray:
    """Each part's size as the sum of its counts over the words, in word order."""
    sums = np.zeros(counts.parts, dtype=np.float64)
    if counts.words:
        _native.part_sums(counts.layout, sums)
    return sums


def resolve_sizes(counts: CountInput, part_sizes: object, total: object
                  ) -> tuple[np.ndarray, float]:
    sizes = (default_part_sizes(counts) if part_sizes is None
             else part_sizes_array(part_sizes, counts.parts))
    value = float(_native.ordered_sum(sizes)) if total is None else total_value(total)
    return sizes, value


def evaluate(counts: CountInput, sizes: np.ndarray, total: float, names: Sequence[str],
             da: str, threads: int, progress: bool) -> dict[str, np.ndarray]:
    """Fills one array per name for the words of `counts`."""
    columns = {
        name: np.empty(counts.words, dtype=np.int32 if name in INTEGER_MEASURES
                       else np.float64)
        for name in names
    }
    if counts.words == 0:
        return columns
    with progress_callback(counts.words, progress) as report:
        _native.evaluate(counts.layout, sizes, total, tuple(names), tuple(columns.values()),
                         da, threads, report)
    return columns


def dispersion_arrays(counts: Any, part_sizes: Any = None, total: Any = None, *,
                      words_axis: int = 0, measures: Sequence[str] | None = None,
                      da: str = "pairwise", threads: int | None = None,
                      progress: bool = False) -> dict[str, np.ndarray]:
    """Dispersion measures of every word of a word x part count matrix, as
    {measure name: array with one value per word}, in the order asked for.

    counts: a scipy.sparse matrix or array (CSR, CSC, COO, ...), a 2-D NumPy
    array of any real dtype, a pandas DataFrame, or a sequence of rows.
    words_axis: 0 when words are rows, 1 when they are columns (as
    CountVectorizer gives them). part_sizes defaults to the sums of the counts
    over the words, total to the sum of the part sizes. measures: names from
    lexispan_table.MEASURE_NAMES (default: DEFAULT_MEASURE_NAMES, the frequency
    and the record's fields; "all": every name). da: "pairwise" gives the
    record's exact bits; "sorted" computes DA in O(k log k) for a word found
    in k parts, with another rounding. threads: worker count (default: the
    pool's). progress: show a progress bar over words.

    A dask.array.Array of counts (NumPy or scipy.sparse chunks) gives a dict
    of lazy Dask arrays with the same values, computed block of words by
    block of words; there threads is per block (default 1) and progress is
    Dask's.
    """
    axis, names, method = _checked_options(words_axis, measures, da, threads)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        result: dict[str, np.ndarray] = dask_input.dispersion_arrays(
            counts, part_sizes, total, words_axis=axis, measures=names, da=method,
            threads=threads)
        return result
    workers = _check_threads(threads)
    adapted = adapt(counts, axis)
    sizes, value = resolve_sizes(adapted, part_sizes, total)
    return evaluate(adapted, sizes, value, names, method, workers, bool(progress))


def dispersion(counts: Any, part_sizes: Any = None, total: Any = None, *,
               words: Sequence[Any] | None = None, words_axis: int = 0,
               measures: Sequence[str] | None = None, da: str = "pairwise",
               threads: int | None = None, progress: bool = False) -> Any:
    """Dispersion measures of every word of a word x part count matrix, as a
    pandas DataFrame with one row per word and one column per measure.

    The index is `words` when given (one label per word), else the words
    axis labels of a DataFrame input, else a RangeIndex. Every other argument
    is as for dispersion_arrays; a dask.array.Array of counts gives a lazy
    Dask DataFrame with one partition per block of words.
    """
    axis, names, method = _checked_options(words_axis, measures, da, threads)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        return dask_input.dispersion(counts, part_sizes, total, words=words, words_axis=axis,
                                     measures=names, da=method, threads=threads)
    workers = _check_threads(threads)
    pd = _pandas()
    adapted = adapt(counts, axis)
    index = _index(pd, adapted, words)
    sizes, value = resolve_sizes(adapted, part_sizes, total)
    columns = evaluate(adapted, sizes, value, names, method, workers, bool(progress))
    return pd.DataFrame(columns, index=index, copy=False)


def _index(pd: Any, counts: CountInput, words: Any) -> Any:
    if words is not None:
        if isinstance(words, (str, bytes)):
            raise TypeError("words must be a sequence of labels, not a string")
        labels = words if hasattr(words, "__len__") else list(words)
        if len(labels) != counts.words:
            raise ValueError(f"words has {len(labels)} labels, expected {counts.words} "
                             f"(one per word)")
        return pd.Index(labels)
    if counts.labels is not None:
        return counts.labels
    return pd.RangeIndex(counts.words)


def _pandas() -> Any:
    try:
        import pandas  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ImportError(
            "lexispan_table.dispersion returns a pandas DataFrame and needs pandas: "
            "pip install 'lexispan[table]' (or call dispersion_arrays for NumPy arrays)"
        ) from None
    return pandas


def _dask_module(counts: object) -> Any:
    # Dask arrays are recognised without importing Dask.
    if type(counts).__module__.startswith("dask.") and hasattr(counts, "chunks"):
        import importlib
        return importlib.import_module("lexispan_table._dask")
    return None
