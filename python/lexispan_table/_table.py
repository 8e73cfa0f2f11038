"""The two entry points: measures of every word of a count matrix as arrays, or
as a pandas DataFrame."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._counts import SparseCounts
from ._engine import check_threads, checked_options, evaluate, pandas, resolve_sizes, word_labels
from ._inputs import CountInput, adapt


def dispersion_arrays(counts: Any, part_sizes: Any = None, total: Any = None, *,
                      words_axis: int = 0, measures: Sequence[str] | str | None = None,
                      da: str = "sorted", threads: int | None = None,
                      progress: bool = False, check: bool = True) -> dict[str, np.ndarray]:
    """Dispersion measures of every word of a count matrix, as NumPy arrays.

    Parameters
    ----------
    counts : matrix of counts
        A scipy.sparse matrix or array (CSR, CSC, COO, ...), a 2-D NumPy
        array of any real dtype, a pandas DataFrame, a sequence of rows, the
        `SparseCounts` of `count_texts` or `count_files` (its part sizes are
        then the default ones), or a dask.array.Array of NumPy or
        scipy.sparse chunks. A sparse matrix's structure is checked before
        anything reads it; a malformed one is a ValueError naming what is
        wrong.
    part_sizes : sequence of float, optional
        Each part's size in words (default: the sums of the counts over the
        words, in word order).
    total : float, optional
        The corpus size (default: the sum of the part sizes).
    words_axis : {0, 1}, default 0
        0 when words are the rows, 1 when they are the columns (as
        scikit-learn's CountVectorizer gives them: documents x words).
    measures : list of str, "all" or None
        Names from `MEASURE_NAMES`, in the order wanted (default:
        `DEFAULT_MEASURE_NAMES`, the frequency and the record's sixteen
        fields; "all": every name). "rosengren_s" names the record's
        "roschengren_s_adj" column.
    da : {"sorted", "pairwise"}, default "sorted"
        How DA (``evenness_da``, and ``ft_adjusted_by_da``) sums its pairs.
        "sorted": by the identity sum over pairs of abs(q_i - q_j) = sum
        over ranks of (2r - n - 1) q_(r), in O(k log k) for a word found in
        k parts, with error-free products and compensated addition: the
        more accurate. "pairwise": the record's rounding, bit-identical to
        ``CorpusWordAnalyzer.calculate_batch_metrics``, O(n^2) per word for
        n parts. Against DA in exact rational arithmetic on the King James
        Bible split into its 31,103 verses (``bench/da_accuracy.py``),
        "sorted" was off by at most 4.1e-14 and "pairwise" by up to 4.8e-10.
        Rows holding NaN or infinite counts take the pairwise sum either way.
    threads : int, optional
        Worker threads (default: the pool's size).
    progress : bool, default False
        Show a progress bar over the words on standard error.
    check : bool, default True
        Refuse counts that are NaN, infinite or negative, part sizes that
        are not finite and at least zero (zero-size parts are allowed) and a
        total that is not finite and positive, with a ValueError naming the
        first bad value: the word (its label, or its index), the part's
        index and the value. One pass over the stored values and the sizes
        (in each block's task for Dask input). False computes with whatever
        is given, as the record does.

    Returns
    -------
    dict of str to numpy.ndarray
        One array per measure, one value per word: ``range`` as int32,
        every other column float64. A Dask array of counts gives lazy Dask
        arrays with the same values, computed block of words by block of
        words (there `threads` is per block, default 1, and progress is
        Dask's).

    Examples
    --------
    >>> import numpy as np
    >>> from lexispan_table import dispersion_arrays
    >>> counts = np.array([[2, 2, 0], [1, 1, 1]])     # 2 words x 3 parts
    >>> table = dispersion_arrays(counts, [10, 10, 10], measures=["range", "dp", "evenness_da"])
    >>> table["range"], table["dp"].round(4), table["evenness_da"]
    (array([2, 3], dtype=int32), array([0.3333, 0.    ]), array([0.5, 1. ]))
    """
    axis, names, method = checked_options(words_axis, measures, da, threads)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        result: dict[str, np.ndarray] = dask_input.dispersion_arrays(
            counts, part_sizes, total, words_axis=axis, measures=names, da=method,
            threads=threads, check=bool(check))
        return result
    workers = check_threads(threads)
    adapted, part_sizes = _adapt(counts, axis, part_sizes)
    sizes, value = resolve_sizes(adapted, part_sizes, total, bool(check))
    return evaluate(adapted, sizes, value, names, method, workers, bool(progress))


def dispersion(counts: Any, part_sizes: Any = None, total: Any = None, *,
               words: Sequence[Any] | None = None, words_axis: int = 0,
               measures: Sequence[str] | str | None = None, da: str = "sorted",
               threads: int | None = None, progress: bool = False, check: bool = True) -> Any:
    """Dispersion measures of every word of a count matrix, as a pandas
    DataFrame with one row per word and one column per measure.

    Parameters
    ----------
    counts, part_sizes, total, words_axis, measures, da, threads, progress, check
        As for `dispersion_arrays`; a refused count names the word by its
        label.
    words : sequence, optional
        One label per word for the index (default: the words of a
        `SparseCounts`, the words-axis labels of a DataFrame, else a
        RangeIndex).

    Returns
    -------
    pandas.DataFrame
        A Dask array of counts gives a lazy Dask DataFrame with one
        partition per block of words.

    Examples
    --------
    >>> from lexispan_table import count_texts, dispersion
    >>> counts = count_texts(["the cat sat", "the dog", "a cat and the dog"])
    >>> dispersion(counts, measures=["frequency", "range", "dp"]).round(3)
         frequency  range     dp
    the        3.0      3  0.167
    cat        2.0      2  0.200
    sat        1.0      1  0.700
    dog        2.0      2  0.300
    a          1.0      1  0.500
    and        1.0      1  0.500
    """
    axis, names, method = checked_options(words_axis, measures, da, threads)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        return dask_input.dispersion(counts, part_sizes, total, words=words, words_axis=axis,
                                     measures=names, da=method, threads=threads,
                                     check=bool(check))
    workers = check_threads(threads)
    pd = pandas()
    adapted, part_sizes = _adapt(counts, axis, part_sizes)
    index = _index(pd, adapted, words, axis)
    sizes, value = resolve_sizes(adapted, part_sizes, total, bool(check), index)
    columns = evaluate(adapted, sizes, value, names, method, workers, bool(progress))
    return pd.DataFrame(columns, index=index, copy=False)


def _adapt(counts: Any, axis: int, part_sizes: Any) -> tuple[CountInput, Any]:
    """The engine's view of `counts`, and the part sizes to use: a
    SparseCounts brings its words and, unless others are given, its sizes."""
    if not isinstance(counts, SparseCounts):
        return adapt(counts, axis), part_sizes
    if axis != 0:
        raise ValueError("SparseCounts holds words on rows: words_axis must be 0")
    adapted = counts.engine_input()
    adapted.labels = counts.words
    return adapted, counts.part_sizes if part_sizes is None else part_sizes


def _index(pd: Any, counts: CountInput, words: Any, axis: int) -> Any:
    if words is not None:
        return word_labels(pd, words, counts.words, counts.parts, axis)
    if counts.labels is not None:
        return counts.labels
    return pd.RangeIndex(counts.words)


def _dask_module(counts: object) -> Any:
    # Dask arrays are recognised without importing Dask.
    if type(counts).__module__.startswith("dask.") and hasattr(counts, "chunks"):
        import importlib
        return importlib.import_module("lexispan_table._dask")
    return None
