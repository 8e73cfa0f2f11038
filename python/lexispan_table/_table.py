"""The two entry points: measures of every word of a count matrix as arrays, or
as a pandas DataFrame."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._engine import (DEFAULT_LEVEL, check_threads, checked_options, evaluate, pandas,
                      resolve_sizes, word_labels)
from ._inputs import CountInput, adapt


def dispersion_arrays(counts: Any, part_sizes: Any = None, total: Any = None, *,
                      words_axis: int = 0, measures: Sequence[str] | None = None,
                      da: str = "pairwise", threads: int | None = None,
                      progress: bool = False, level: float = DEFAULT_LEVEL
                      ) -> dict[str, np.ndarray]:
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
    pool's). progress: show a progress bar over words. level: the confidence
    level of D_MB's interval (dmb_low, dmb_high), strictly between 0 and 1
    (default 0.95), else ValueError.

    A dask.array.Array of counts (NumPy or scipy.sparse chunks) gives a dict
    of lazy Dask arrays with the same values, computed block of words by
    block of words; there threads is per block (default 1) and progress is
    Dask's.
    """
    axis, names, method, confidence = checked_options(words_axis, measures, da, threads, level)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        result: dict[str, np.ndarray] = dask_input.dispersion_arrays(
            counts, part_sizes, total, words_axis=axis, measures=names, da=method,
            threads=threads, level=confidence)
        return result
    workers = check_threads(threads)
    adapted = adapt(counts, axis)
    sizes, value = resolve_sizes(adapted, part_sizes, total)
    return evaluate(adapted, sizes, value, names, method, workers, bool(progress), confidence)


def dispersion(counts: Any, part_sizes: Any = None, total: Any = None, *,
               words: Sequence[Any] | None = None, words_axis: int = 0,
               measures: Sequence[str] | None = None, da: str = "pairwise",
               threads: int | None = None, progress: bool = False,
               level: float = DEFAULT_LEVEL) -> Any:
    """Dispersion measures of every word of a word x part count matrix, as a
    pandas DataFrame with one row per word and one column per measure.

    The index is `words` when given (one label per word), else the words
    axis labels of a DataFrame input, else a RangeIndex. Every other argument
    is as for dispersion_arrays; a dask.array.Array of counts gives a lazy
    Dask DataFrame with one partition per block of words.
    """
    axis, names, method, confidence = checked_options(words_axis, measures, da, threads, level)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        return dask_input.dispersion(counts, part_sizes, total, words=words, words_axis=axis,
                                     measures=names, da=method, threads=threads,
                                     level=confidence)
    workers = check_threads(threads)
    pd = pandas()
    adapted = adapt(counts, axis)
    index = _index(pd, adapted, words)
    sizes, value = resolve_sizes(adapted, part_sizes, total)
    columns = evaluate(adapted, sizes, value, names, method, workers, bool(progress), confidence)
    return pd.DataFrame(columns, index=index, copy=False)


def _index(pd: Any, counts: CountInput, words: Any) -> Any:
    if words is not None:
        return word_labels(pd, words, counts.words)
    if counts.labels is not None:
        return counts.labels
    return pd.RangeIndex(counts.words)


def _dask_module(counts: object) -> Any:
    # Dask arrays are recognised without importing Dask.
    if type(counts).__module__.startswith("dask.") and hasattr(counts, "chunks"):
        import importlib
        return importlib.import_module("lexispan_table._dask")
    return None
