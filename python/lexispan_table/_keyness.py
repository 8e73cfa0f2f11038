"""Two corpora compared word by word: each corpus measured on its own
(_keyness_corpus), the words aligned, then the keyness columns
(_keyness_formulas); the public entry points."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _keyness_formulas as formulas
from ._engine import check_threads, pandas, word_labels
from ._inputs import CountInput, adapt, check_words_axis
from ._keyness_corpus import CorpusSummary, summarize
from ._measures import KEYNESS_MEASURE_NAMES, select

_RATE_COLUMNS = frozenset({"mean_text_frequency_d"})
_RANGE_COLUMNS = frozenset({"target_range", "reference_range", "text_dispersion_keyness",
                            "text_dispersion_keyness_4cell", "text_log_ratio",
                            "p_text_dispersion_keyness"})


@dataclass
class Comparison:
    words: int
    labels: Any                 # the words' labels (None: unlabelled matrices)
    columns: dict[str, np.ndarray]
    target: CorpusSummary
    reference: CorpusSummary


def _duplicate(labels: Sequence[Any], side: str) -> ValueError:
    seen: set[Any] = set()
    for label in labels:
        if label in seen:
            break
        seen.add(label)
    return ValueError(f"the {side} word labels repeat {label!r}; words are aligned by "
                      f"label, so each may appear once")


def align(target: CountInput, reference: CountInput
          ) -> tuple[Any, np.ndarray | None, int]:
    """(labels, the reference's rows, word count). Two labelled inputs are
    aligned by label: the target's words in order, then the reference's words
    that the target lacks; otherwise both must have the same words, row by row."""
    if target.labels is None or reference.labels is None:
        if target.words != reference.words:
            raise ValueError(
                f"cannot align the words: the target has {target.words} and the reference "
                f"{reference.words}, and they are not both labelled; give two DataFrames "
                f"(aligned by their labels) or two matrices over the same words")
        labels = target.labels if target.labels is not None else reference.labels
        return labels, None, target.words
    ours = list(target.labels)
    theirs = list(reference.labels)
    position = {label: row for row, label in enumerate(ours)}
    if len(position) != len(ours):
        raise _duplicate(ours, "target")
    if len(set(theirs)) != len(theirs):
        raise _duplicate(theirs, "reference")
    union = ours
    rows = np.empty(len(theirs), dtype=np.int64)
    for j, label in enumerate(theirs):
        row = position.get(label)
        if row is None:
            row = position[label] = len(union)
            union.append(label)
        rows[j] = row
    return union, rows, len(union)


def compare(target: CountInput, reference: CountInput, target_sizes: object,
            reference_sizes: object, names: Sequence[str], threads: int) -> Comparison:
    """The keyness columns `names` of two adapted count matrices."""
    labels, rows, words = align(target, reference)
    rates = not _RATE_COLUMNS.isdisjoint(names)
    ours = summarize(target, target_sizes, "target", rates, threads).aligned(None, words)
    theirs = summarize(reference, reference_sizes, "reference", rates, threads).aligned(
        rows, words)
    return Comparison(words, labels, keyness_columns(names, ours, theirs), ours, theirs)


def keyness_columns(names: Sequence[str], target: CorpusSummary,
                    reference: CorpusSummary) -> dict[str, np.ndarray]:
    a, b = target.frequency, reference.frequency
    n1, n2 = float(target.parts), float(reference.parts)
    ranges = not _RANGE_COLUMNS.isdisjoint(names)
    in_target = target.range.astype(np.float64) if ranges else a
    in_reference = reference.range.astype(np.float64) if ranges else b
    made: dict[str, np.ndarray] = {}

    def column(name: str) -> np.ndarray:
        if name not in made:
            made[name] = producers[name]()
        return made[name]

    producers: dict[str, Callable[[], np.ndarray]] = {
        "target_frequency": lambda: a,
        "reference_frequency": lambda: b,
        "target_range": lambda: target.range,
        "reference_range": lambda: reference.range,
        "log_likelihood": lambda: formulas.signed_g2(a, b, target.total, reference.total),
        "log_ratio": lambda: formulas.log_ratio(a, b, target.total, reference.total),
        "text_dispersion_keyness":
            lambda: formulas.signed_g2(in_target, in_reference, n1, n2),
        "text_dispersion_keyness_4cell":
            lambda: formulas.signed_g2_four_cell(in_target, in_reference, n1, n2),
        "text_log_ratio": lambda: formulas.log_ratio(in_target, in_reference, n1, n2),
        "mean_text_frequency_d": lambda: formulas.mean_difference_d(
            *_rates(target), *_rates(reference)),
        "p_log_likelihood": lambda: formulas.chi_squared_p(column("log_likelihood")),
        "p_text_dispersion_keyness":
            lambda: formulas.chi_squared_p(column("text_dispersion_keyness")),
    }
    return {name: column(name) for name in names}


def _rates(summary: CorpusSummary) -> tuple[np.ndarray, np.ndarray]:
    assert summary.rate_mean is not None and summary.rate_variance is not None
    return summary.rate_mean, summary.rate_variance


def _adapted(counts: object, axis: int, side: str) -> CountInput:
    if type(counts).__module__.startswith("dask."):
        raise TypeError(f"{side}: keyness reads counts in memory; compute the Dask array "
                        f"first (its .compute())")
    return adapt(counts, axis)


def _checked(words_axis: object, measures: object, threads: object
             ) -> tuple[int, tuple[str, ...], int]:
    axis = check_words_axis(words_axis)
    names = select(measures, KEYNESS_MEASURE_NAMES)
    return axis, names, check_threads(threads)


def keyness_arrays(target: Any, reference: Any, *, words_axis: int = 0,
                   target_sizes: Any = None, reference_sizes: Any = None,
                   measures: Sequence[str] | None = None,
                   threads: int | None = None) -> dict[str, np.ndarray]:
    """Keyness of every word of a target corpus against a reference corpus,
    as {column name: array with one value per word}.

    Parameters
    ----------
    target, reference : count matrices
        Word x part counts of each corpus, each with its own parts, of any kind
        `dispersion_arrays` reads (scipy.sparse, NumPy, DataFrame, rows). Two
        DataFrames are aligned by their word labels (a word missing from one
        counts 0 there); otherwise both must have the same words in the same
        order.
    words_axis : {0, 1}
        0 when words are rows, 1 when they are columns (CountVectorizer).
    target_sizes, reference_sizes : sequence of float, optional
        Each corpus's part sizes; default: the sums of its counts over the
        words. A corpus's total is the sum of its part sizes.
    measures : sequence of str or "all", optional
        Names from `KEYNESS_MEASURE_NAMES`, in the order wanted (default: all
        of them, in that order).
    threads : int, optional
        Worker count of the per-corpus pass (default: the pool's).

    Returns
    -------
    dict of str to numpy.ndarray
        One array per column: float64, the two ranges int32. The rows follow
        the target's words, then (for labelled inputs) the reference's words
        that the target lacks, in the reference's order.

    Raises
    ------
    ValueError
        Words that cannot be aligned, a repeated label, a corpus without
        parts or with a total that is not positive, negative, NaN or infinite
        counts or sizes, an unknown measure.
    TypeError
        Counts or sizes that are not numbers, a Dask array.

    See Also
    --------
    keyness : the same as a pandas DataFrame indexed by word.

    Examples
    --------
    The first word is in 3 of the 4 target parts and in 1 of the 4 reference
    parts; the second is everywhere in both:

    >>> import lexispan_table
    >>> target = [[2, 1, 1, 0], [5, 5, 5, 5]]
    >>> reference = [[1, 0, 0, 0], [5, 6, 5, 5]]
    >>> table = lexispan_table.keyness_arrays(
    ...     target, reference, measures=["target_range", "reference_range", "text_log_ratio"])
    >>> table["target_range"], table["reference_range"]
    (array([3, 4], dtype=int32), array([1, 4], dtype=int32))
    >>> table["text_log_ratio"]
    array([1.5849625, 0.       ])
    """
    axis, names, workers = _checked(words_axis, measures, threads)
    return compare(_adapted(target, axis, "target"), _adapted(reference, axis, "reference"),
                   target_sizes, reference_sizes, names, workers).columns


def keyness(target: Any, reference: Any, *, words: Sequence[Any] | None = None,
            words_axis: int = 0, target_sizes: Any = None, reference_sizes: Any = None,
            measures: Sequence[str] | None = None, threads: int | None = None) -> Any:
    """Keyness of every word of a target corpus against a reference corpus,
    as a pandas DataFrame with one row per word and one column per measure.

    With a, b the word's frequencies, N1, N2 the totals, A, B the numbers of
    parts containing it and n1, n2 the numbers of parts, the columns are (in
    this order by default): target_frequency (a), reference_frequency (b),
    target_range (A), reference_range (B); log_likelihood, Dunning's G2 on a
    and b, negative when b / N2 > a / N1; log_ratio, log2((a / N1) / (b / N2));
    text_dispersion_keyness, the same G2 on A, B out of n1, n2;
    text_dispersion_keyness_4cell, signed G2 over (A, n1 - A; B, n2 - B);
    text_log_ratio, log2((A / n1) / (B / n2)); mean_text_frequency_d, Cohen's
    d between the per-part rates v_i / c_i of the two corpora (zeros included,
    population variances pooled); p_log_likelihood and
    p_text_dispersion_keyness, the chi-squared (1 df) p-values of the two G2
    columns' absolute values. A zero count counts 0.5 in a log ratio; a word
    in neither corpus gets 0 in every G2, log ratio and d column and p = 1.

    Parameters
    ----------
    target, reference : count matrices
        As for `keyness_arrays`: two DataFrames are aligned by their labels.
    words : sequence, optional
        Labels of the rows of two unlabelled matrices (the index); default:
        the labels of a DataFrame input, else a RangeIndex.
    words_axis, target_sizes, reference_sizes, measures, threads
        As for `keyness_arrays`.

    Returns
    -------
    pandas.DataFrame
        Indexed by word: the target's words, then the reference's words that
        the target lacks.

    Raises
    ------
    ValueError, TypeError
        As for `keyness_arrays`; also `words` with two DataFrames (their own
        labels align them) or of the wrong length.
    ImportError
        Without pandas.

    Examples
    --------
    >>> import pandas as pd
    >>> import lexispan_table
    >>> target = pd.DataFrame({"t1": [4, 3, 0], "t2": [5, 2, 1], "t3": [6, 0, 0]},
    ...                       index=["the", "licence", "warranty"])
    >>> reference = pd.DataFrame({"r1": [9, 1], "r2": [8, 0]}, index=["the", "software"])
    >>> table = lexispan_table.keyness(target, reference)
    >>> table[["target_frequency", "reference_frequency", "target_range", "reference_range"]]
              target_frequency  reference_frequency  target_range  reference_range
    the                   15.0                 17.0             3                2
    licence                5.0                  0.0             2                0
    warranty               1.0                  0.0             1                0
    software               0.0                  1.0             0                1
    >>> table["log_ratio"].round(3).tolist()
    [-0.403, 3.1, 0.778, -1.222]
    >>> table["text_dispersion_keyness"].round(3).tolist()
    [0.0, 2.043, 1.022, -1.833]
    """
    axis, names, workers = _checked(words_axis, measures, threads)
    pd = pandas("keyness")
    ours, theirs = _adapted(target, axis, "target"), _adapted(reference, axis, "reference")
    if words is not None and ours.labels is not None and theirs.labels is not None:
        raise ValueError("words labels the rows of two unlabelled matrices; two DataFrames "
                         "are aligned by their own labels")
    result = compare(ours, theirs, target_sizes, reference_sizes, names, workers)
    if words is not None:
        index = word_labels(pd, words, result.words)
    elif result.labels is not None:
        index = pd.Index(result.labels)
    else:
        index = pd.RangeIndex(result.words)
    return pd.DataFrame(result.columns, index=index, copy=False)
