"""The two entry points: measures of every word of a count matrix as arrays, or
as a pandas DataFrame."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._engine import (check_threads, checked_options, evaluate, is_dask_array, pandas,
                      resolve_sizes, word_labels)
from ._inputs import CountInput, adapt


def dispersion_arrays(counts: Any, part_sizes: Any = None, total: Any = None, *,
                      words_axis: int = 0, measures: Sequence[str] | None = None,
                      da: str = "pairwise", threads: int | None = None,
                      progress: bool = False, check: bool = True) -> dict[str, np.ndarray]:
    """Dispersion measures of every word of a word x part count matrix.

    Parameters
    ----------
    counts : scipy.sparse matrix or array, ndarray, DataFrame or sequence of rows
        Words x parts (or parts x words, see `words_axis`): a scipy.sparse
        matrix or array of any format, a 2-D NumPy array of any real dtype,
        a pandas DataFrame, or a sequence of rows. A sparse matrix's
        structure is checked before anything reads it; a malformed one is a
        ValueError naming what is wrong.
    part_sizes : array_like, optional
        One size per part; by default the sums of the counts over the words.
    total : float, optional
        The corpus size; by default the sum of the part sizes.
    words_axis : {0, 1}, default 0
        0 when words are rows, 1 when they are columns (as CountVectorizer
        gives them).
    measures : sequence of str or "all", optional
        Names from lexispan_table.MEASURE_NAMES, in the order wanted; by
        default DEFAULT_MEASURE_NAMES (the frequency and the record's fields).
    da : {"pairwise", "sorted"}, default "pairwise"
        "pairwise" gives the record's exact bits; "sorted" computes DA in
        O(k log k) for a word found in k parts, with another rounding.
    threads : int, optional
        Worker count; by default the pool's.
    progress : bool, default False
        Show a progress bar over words.
    check : bool, default True
        Refuse counts that are NaN, infinite or negative, part sizes that
        are not finite and at least zero (zero-size parts are allowed) and a
        total that is not finite and positive, with a ValueError naming the
        first bad value: the word (its label, or its index), the part's
        index and the value. One pass over the stored values and the sizes.
        False computes with whatever is given, as the record does.

    Returns
    -------
    dict of str to ndarray
        {measure name: array with one value per word}, in the order asked
        for; range is int32, every other column float64.

    Notes
    -----
    A dask.array.Array of counts (NumPy or scipy.sparse chunks) gives a dict
    of lazy Dask arrays with the same values, computed block of words by
    block of words; there threads is per block (default 1), progress is
    Dask's and the check runs in each block's task.
    """
    axis, names, method = checked_options(words_axis, measures, da, threads)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        result: dict[str, np.ndarray] = dask_input.dispersion_arrays(
            counts, part_sizes, total, words_axis=axis, measures=names, da=method,
            threads=threads, check=bool(check))
        return result
    workers = check_threads(threads)
    adapted = adapt(counts, axis)
    sizes, value = resolve_sizes(adapted, part_sizes, total, bool(check))
    return evaluate(adapted, sizes, value, names, method, workers, bool(progress))


def dispersion(counts: Any, part_sizes: Any = None, total: Any = None, *,
               words: Sequence[Any] | None = None, words_axis: int = 0,
               measures: Sequence[str] | None = None, da: str = "pairwise",
               threads: int | None = None, progress: bool = False, check: bool = True) -> Any:
    """Dispersion measures of every word of a word x part count matrix, as a
    pandas DataFrame with one row per word and one column per measure.

    Parameters
    ----------
    words : sequence, optional
        One label per word, the index of the table. By default the words
        axis labels of a DataFrame input, else a RangeIndex.
    check : bool, default True
        As for dispersion_arrays; a refused count names the word by its
        label.

    Every other parameter is as for dispersion_arrays; a dask.array.Array of
    counts gives a lazy Dask DataFrame with one partition per block of words.

    Returns
    -------
    pandas.DataFrame
    """
    axis, names, method = checked_options(words_axis, measures, da, threads)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        return dask_input.dispersion(counts, part_sizes, total, words=words, words_axis=axis,
                                     measures=names, da=method, threads=threads,
                                     check=bool(check))
    workers = check_threads(threads)
    pd = pandas()
    adapted = adapt(counts, axis)
    index = _index(pd, adapted, words)
    sizes, value = resolve_sizes(adapted, part_sizes, total, bool(check), index)
    columns = evaluate(adapted, sizes, value, names, method, workers, bool(progress))
    return pd.DataFrame(columns, index=index, copy=False)


def _index(pd: Any, counts: CountInput, words: Any) -> Any:
    if words is not None:
        return word_labels(pd, words, counts.words)
    if counts.labels is not None:
        return counts.labels
    return pd.RangeIndex(counts.words)


def _dask_module(counts: object) -> Any:
    if is_dask_array(counts):
        import importlib
        return importlib.import_module("lexispan_table._dask")
    return None
