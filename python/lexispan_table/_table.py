"""The two entry points: measures of every word of a count matrix as arrays, or
as a pandas DataFrame."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._counts import SparseCounts
from ._engine import (DEFAULT_LEVEL, check_threads, checked_options, evaluate, is_dask_array,
                      pandas, resolve_sizes, word_labels)
from ._inputs import CountInput, adapt


def dispersion_arrays(counts: Any, part_sizes: Any = None, total: Any = None, *,
                      words_axis: int = 0, measures: Sequence[str] | str | None = None,
                      da: str = "sorted", threads: int | None = None,
                      progress: bool = False, check: bool = True,
                      level: float = DEFAULT_LEVEL) -> dict[str, np.ndarray]:
    """Dispersion measures of every word of a word x part count matrix, as arrays.

    One pass of the native engine over the stored counts computes the measures
    asked for, for every word, on a pool of worker threads. The values are the
    same, bit for bit, for every input kind, orientation, dtype and thread count.

    Parameters
    ----------
    counts : matrix of counts
        Word x part counts: a scipy.sparse matrix or array (CSR, CSC, COO, ...;
        never made dense), a 2-D NumPy array of any real dtype in C or Fortran
        order (read in place, never copied), a pandas DataFrame (dense or sparse
        columns), a sequence of rows, the `SparseCounts` of `count_texts` or
        `count_files` (its part sizes are then the default ones), or a
        ``dask.array.Array`` of NumPy or scipy.sparse chunks (see Notes). A
        sparse matrix's structure is checked by lexispan before anything
        reads it; a malformed one is a ValueError naming what is wrong.
    part_sizes : sequence of float, optional
        The size c_i of each part, in words (one per part). Default: each part's
        counts summed over the words, in word order. Pass the real sizes when
        the matrix holds only some of the words.
    total : float, optional
        The corpus size T. Default: the sum of the part sizes, in part order.
    words_axis : {0, 1}, default 0
        0 when the words are the rows, 1 when they are the columns (the layout
        of scikit-learn's CountVectorizer).
    measures : sequence of str or "all", optional
        Names from ``MEASURE_NAMES``, in the order wanted; only those are
        computed. Default: ``DEFAULT_MEASURE_NAMES``, the frequency and the
        sixteen fields of ``lexispan.DispersionMetrics``; "all": every name.
        "rosengren_s" names the record's "roschengren_s_adj" column.
    da : {"sorted", "pairwise"}, default "sorted"
        How DA (``evenness_da`` and ``ft_adjusted_by_da``) adds up its pairs.
        "sorted": by the identity sum over pairs of abs(q_i - q_j) = sum over
        ranks of (2r - n - 1) q_(r), in O(k log k) for a word found in k
        parts, with error-free products and compensated addition: the more
        accurate. "pairwise": the record's rounding, bit-identical to
        ``lexispan.CorpusWordAnalyzer.calculate_batch_metrics``; its cost
        grows with the square of each word's range. Against DA in exact
        rational arithmetic on the King James Bible split into its 31,103
        verses (``bench/da_accuracy.py``), "sorted" was off by at most
        4.1e-14 and "pairwise" by up to 4.8e-10. Rows holding NaN or
        infinite counts take the pairwise sum either way.
    threads : int, optional
        Worker count of this call. Default: the pool's size, the number of
        processors or ``RAYON_NUM_THREADS`` when set.
    progress : bool, default False
        Draw a progress bar over the words on standard error (tqdm's when it is
        installed, else a plain line).
    check : bool, default True
        Refuse counts that are NaN, infinite or negative, part sizes that
        are not finite and at least zero (zero-size parts are allowed) and a
        total that is not finite and positive, with a ValueError naming the
        first bad value: the word (its label, or its index), the part's
        index and the value. One pass over the stored values and the sizes
        (in each block's task for Dask input). False computes with whatever
        is given, as the record does.
    level : float, default 0.95
        The confidence level of D_MB's profile-likelihood interval
        (``dmb_low``, ``dmb_high``), strictly between 0 and 1.

    Returns
    -------
    dict of str to numpy.ndarray
        One array per measure, in the order of `measures`, with one value per
        word: ``range`` is int32, every other column float64.

    Raises
    ------
    ValueError
        An unknown or repeated measure name, `da` or `words_axis` not one of
        its values, `threads` below 1, counts that are not two-dimensional,
        ragged rows, a matrix without parts ("Input vectors cannot be
        empty."), `part_sizes` of another length than the parts, a total that
        is not positive ("Total corpus words must be positive."), a malformed
        sparse matrix, a `level` outside the open interval (0, 1) or NaN, and
        with `check` a count, size or total refused as described there.
    TypeError
        Counts, part sizes or a total that are not real numbers; `measures`
        that is not a list of names.

    See Also
    --------
    dispersion : The same measures as a pandas DataFrame indexed by word.
    position_dispersion : Measures from token positions instead of parts.
    keyness_arrays : Two corpora compared word by word.

    Notes
    -----
    The measures, their formulas, guards and rounding are described on the
    documentation site's measure pages. With ``check=False`` negative,
    infinite and NaN counts or sizes flow through the formulas.

    A ``dask.array.Array`` of counts gives a dict of lazy Dask arrays with the
    same values, bit for bit, computed block of words by block of words (chunk
    the words, not only the parts); `threads` then applies to each block
    (default 1) and `progress` is Dask's own.

    Examples
    --------
    Two words over four parts of 10 words each: the first is found in three
    parts, the second evenly in all four.

    >>> import lexispan_table
    >>> counts = [[2, 0, 1, 1],
    ...           [1, 1, 1, 1]]
    >>> table = lexispan_table.dispersion_arrays(
    ...     counts, part_sizes=[10, 10, 10, 10],
    ...     measures=["frequency", "range", "dp", "evenness_da"])
    >>> table["range"]
    array([3, 4], dtype=int32)
    >>> table["dp"]
    array([0.25, 0.  ])
    >>> table["evenness_da"]
    array([0.5, 1. ])

    With ``da="pairwise"`` every value is the record's, bit for bit (the
    default, "sorted", rounds DA and FT x DA differently):

    >>> import lexispan
    >>> record = lexispan.CorpusWordAnalyzer([2, 0, 1, 1], [10, 10, 10, 10], 40)
    >>> bool(table["dp"][0] == record.get_dp())
    True
    """
    axis, names, method, confidence = checked_options(words_axis, measures, da, threads, level)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        result: dict[str, np.ndarray] = dask_input.dispersion_arrays(
            counts, part_sizes, total, words_axis=axis, measures=names, da=method,
            threads=threads, check=bool(check), level=confidence)
        return result
    workers = check_threads(threads)
    adapted, part_sizes = _adapt(counts, axis, part_sizes)
    sizes, value = resolve_sizes(adapted, part_sizes, total, bool(check))
    return evaluate(adapted, sizes, value, names, method, workers, bool(progress), confidence)


def dispersion(counts: Any, part_sizes: Any = None, total: Any = None, *,
               words: Sequence[Any] | None = None, words_axis: int = 0,
               measures: Sequence[str] | str | None = None, da: str = "sorted",
               threads: int | None = None, progress: bool = False, check: bool = True,
               level: float = DEFAULT_LEVEL) -> Any:
    """Dispersion measures of every word of a word x part count matrix, as a table.

    The measures of `dispersion_arrays`, in a pandas DataFrame with one row per
    word and one column per measure.

    Parameters
    ----------
    counts : matrix of counts
        Word x part counts, of any kind that `dispersion_arrays` reads. A
        DataFrame's index labels the words (its columns, with ``words_axis=1``),
        and so do the words of a `SparseCounts`.
    part_sizes : sequence of float, optional
        The size of each part; default: its counts summed over the words.
    total : float, optional
        The corpus size; default: the sum of the part sizes.
    words : sequence, optional
        One label per word, the index of the table. Default: the words of a
        `SparseCounts`, the labels of a DataFrame's words axis, else a
        RangeIndex.
    words_axis : {0, 1}, default 0
        0 when the words are the rows, 1 when they are the columns.
    measures : sequence of str or "all", optional
        Names from ``MEASURE_NAMES``, in the order wanted (default:
        ``DEFAULT_MEASURE_NAMES``; "all": every name).
    da : {"sorted", "pairwise"}, default "sorted"
        How DA adds up its pairs, as for `dispersion_arrays`.
    threads : int, optional
        Worker count (default: the pool's size).
    progress : bool, default False
        Draw a progress bar over the words on standard error.
    check : bool, default True
        As for `dispersion_arrays`; a refused count names the word by its
        label.
    level : float, default 0.95
        The confidence level of D_MB's interval, as for `dispersion_arrays`.

    Returns
    -------
    pandas.DataFrame
        One row per word, indexed as described for `words`, and one column
        per measure in the order of `measures` (``range`` int32, the others
        float64). A ``dask.array.Array`` of counts gives a lazy Dask DataFrame
        instead, with one partition per block of words.

    Raises
    ------
    ValueError
        As for `dispersion_arrays`; also `words` with another number of
        labels than there are words.
    TypeError
        As for `dispersion_arrays`; also `words` given as a single string.
    ImportError
        Without pandas (``pip install 'lexispan[table]'``); `dispersion_arrays`
        needs only NumPy.

    See Also
    --------
    dispersion_arrays : The same measures as NumPy arrays, without pandas.
    keyness : Two corpora compared word by word.

    Examples
    --------
    >>> import pandas as pd
    >>> import lexispan_table
    >>> counts = pd.DataFrame({"genesis": [5, 3, 0], "exodus": [4, 0, 2],
    ...                        "leviticus": [6, 1, 0]},
    ...                       index=["lord", "beginning", "pharaoh"])
    >>> lexispan_table.dispersion(
    ...     counts, measures=["frequency", "range", "dp", "evenness_da"])
               frequency  range        dp  evenness_da
    lord            15.0      3  0.066667     0.891967
    beginning        4.0      2  0.369048     0.275862
    pharaoh          2.0      1  0.714286     0.000000

    The part sizes here are the column sums (9, 6 and 7 words); pass
    ``part_sizes`` and ``total`` when the table holds only some of the words.

    Counts made from texts carry their words and part sizes:

    >>> counts = lexispan_table.count_texts(["the cat sat", "the dog", "a cat and the dog"])
    >>> lexispan_table.dispersion(counts, measures=["frequency", "range", "dp"]).round(3)
         frequency  range     dp
    the        3.0      3  0.167
    cat        2.0      2  0.200
    sat        1.0      1  0.700
    dog        2.0      2  0.300
    a          1.0      1  0.500
    and        1.0      1  0.500
    """
    axis, names, method, confidence = checked_options(words_axis, measures, da, threads, level)
    dask_input = _dask_module(counts)
    if dask_input is not None:
        return dask_input.dispersion(counts, part_sizes, total, words=words, words_axis=axis,
                                     measures=names, da=method, threads=threads,
                                     check=bool(check), level=confidence)
    workers = check_threads(threads)
    pd = pandas()
    adapted, part_sizes = _adapt(counts, axis, part_sizes)
    index = _index(pd, adapted, words, axis)
    sizes, value = resolve_sizes(adapted, part_sizes, total, bool(check), index)
    columns = evaluate(adapted, sizes, value, names, method, workers, bool(progress), confidence)
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
    if is_dask_array(counts):
        import importlib
        return importlib.import_module("lexispan_table._dask")
    return None
