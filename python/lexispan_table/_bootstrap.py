"""Bootstrap intervals of dispersion measures: the parts (texts, speakers)
resampled with replacement, optionally within strata, every measure computed
by the native engine on each replicate, and each word's median and limits
taken over the replicates where it occurs."""

from __future__ import annotations

import numbers
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

from . import _native
from ._engine import (CountInput, check_threads, checked_options, column_dtype,
                      default_part_sizes, is_dask_array, pandas, progress_callback,
                      word_labels)
from ._inputs import adapt, part_labels, part_sizes_array
from ._values import screen_counts, screen_sizes

__all__ = ["bootstrap", "bootstrap_arrays", "interval_quantiles"]

# What the replicate values of one block of words may take (values and the
# occurrence flags together); larger corpora are done a block at a time.
BLOCK_BYTES = 256 << 20
# Multiplicities drawn at once (int64, replicates x parts).
DRAW_BYTES = 32 << 20


def _check_replicates(replicates: object) -> int:
    if isinstance(replicates, bool) or not isinstance(replicates, numbers.Integral):
        raise TypeError(f"replicates must be an integer, not {type(replicates).__name__}")
    if replicates < 1:
        raise ValueError(f"replicates must be at least 1, not {replicates}")
    return int(replicates)


def _check_level(level: object) -> float:
    if isinstance(level, bool) or not isinstance(level, numbers.Real):
        raise TypeError(f"level must be a number between 0 and 1, not {type(level).__name__}")
    value = float(level)
    if not 0.0 < value < 1.0:
        raise ValueError(f"level must be between 0 and 1 (exclusive), not {level!r}")
    return value


def _check_seed(seed: object) -> object:
    if seed is None:
        raise ValueError("seed is required: the replicates are drawn from "
                         "numpy.random.default_rng(seed), so that they can be drawn again")
    if isinstance(seed, (bool, np.random.Generator, np.random.BitGenerator)):
        raise TypeError(f"seed must be an integer, a sequence of integers or a "
                        f"numpy.random.SeedSequence, not {type(seed).__name__} (a generator "
                        f"cannot be started again)")
    try:
        np.random.default_rng(seed)  # type: ignore[arg-type]
    except (TypeError, ValueError) as error:
        raise type(error)(f"seed: {error}") from None
    return seed


def interval_quantiles(level: float) -> tuple[float, float, float]:
    """The quantiles of the median and the two limits: 0.5, (1 - level) / 2
    and (1 + level) / 2, computed as written."""
    return 0.5, (1.0 - level) / 2.0, (1.0 + level) / 2.0


def _multiplicities(rng: np.random.Generator, count: int, parts: int,
                    strata: Sequence[np.ndarray] | None) -> np.ndarray:
    """`count` replicates' multiplicities, drawn in order: each part's number
    of draws, with n draws among the n parts, or among each stratum's parts."""
    drawn = np.zeros((count, parts), dtype=np.int64)
    for b in range(count):
        if strata is None:
            drawn[b] = np.bincount(rng.integers(0, parts, size=parts), minlength=parts)
            continue
        for members in strata:
            size = members.shape[0]
            drawn[b, members] = np.bincount(rng.integers(0, size, size=size), minlength=size)
    return drawn


def _blocks(total: int, size: int) -> Iterator[tuple[int, int]]:
    for start in range(0, total, size):
        yield start, min(total, start + size)


def _summarise(values: np.ndarray, occurs: np.ndarray, quantiles: tuple[float, ...]
               ) -> tuple[list[np.ndarray], np.ndarray]:
    """For every word (column) of `values` (replicates x words): each quantile
    over the replicates where it occurs, in replicate order, and how many
    replicates it is absent from."""
    replicates, words = values.shape
    present = occurs.sum(axis=0, dtype=np.int64)
    results = [np.full(words, np.nan) for _ in quantiles]
    for count in np.unique(present).tolist():
        if count == 0:
            continue
        columns = np.flatnonzero(present == count)
        if count == replicates:
            chosen = values[:, columns].T
        else:
            # Row-major selection keeps each word's replicates in order.
            chosen = values[:, columns].T[occurs[:, columns].T].reshape(columns.shape[0], count)
        # Infinite values interpolate to NaN as they do in numpy.quantile,
        # without its warning.
        with np.errstate(invalid="ignore"):
            for result, q in zip(results, quantiles):
                result[columns] = np.quantile(chosen, q, axis=1, method="linear")
    return results, replicates - present


def bootstrap_arrays(counts: Any, part_sizes: Any = None, *, words_axis: int = 0,
                     measures: Sequence[str] | str = ("dp",), replicates: int = 500,
                     level: float = 0.95, seed: Any, strata: Any = None, da: str = "sorted",
                     threads: int | None = None, progress: bool = False, check: bool = True
                     ) -> dict[str, np.ndarray]:
    """Bootstrap medians and confidence limits of dispersion measures, as NumPy
    arrays.

    Parameters
    ----------
    counts, part_sizes, words_axis, da, threads, check
        As for `dispersion_arrays` (there is no total: each replicate's total
        is the sum of its part sizes; the check asks the sum of all part
        sizes to be positive).
    measures : sequence of str
        Names from `MEASURE_NAMES` (default: ``("dp",)``).
    replicates : int
        Number of replicates, at least 1 (default 500).
    level : float
        Confidence level, strictly between 0 and 1 (default 0.95).
    seed : int, sequence of int or numpy.random.SeedSequence
        Required: the replicates are drawn from ``numpy.random.default_rng(seed)``.
    strata : sequence of hashable labels, optional
        One label per part: resample within each stratum and compute each
        measure across the strata. A stratum of one part adds no variation.
    progress : bool
        Show a progress bar over the replicates.

    Returns
    -------
    dict of str to numpy.ndarray
        For each measure ``m`` in order, ``m_median``, ``m_low`` and
        ``m_high`` (float64, one value per word), then
        ``replicates_absent`` (int64): the number of replicates in which the
        word occurs in no part drawn.

    Notes
    -----
    Replicate b = 0, 1, ... draws ``idx = rng.integers(0, n, size=n)`` and
    repeats part i ``numpy.bincount(idx, minlength=n)[i]`` times; with
    strata, each stratum in order of first appearance draws
    ``rng.integers(0, n_g, size=n_g)`` over its parts in part order. A
    word's value in a replicate is bit for bit what `dispersion_arrays`
    gives for the matrix whose parts are the original parts in part order,
    part i repeated m_i times (counts and sizes alike), with their sizes
    summed in that order from +0.0 as total; with strata, for that matrix's
    counts and sizes summed per stratum in part order from +0.0 (strata in
    order of first appearance), the total the strata's sizes summed in that
    order. A word occurs in a replicate when one of the parts drawn holds a
    count above 0 for it. The median and the limits are
    ``numpy.quantile(values, q, method="linear")`` over the values of the
    replicates where the word occurs, in replicate order, for q = 0.5,
    (1 - level) / 2 and (1 + level) / 2; NaN for a word that occurs in none.

    Examples
    --------
    >>> import numpy as np, lexispan_table
    >>> counts = np.array([[3, 1, 2, 2, 0, 1], [0, 0, 9, 0, 0, 1]])
    >>> result = lexispan_table.bootstrap_arrays(counts, replicates=200, seed=7)
    >>> list(result)
    ['dp_median', 'dp_low', 'dp_high', 'replicates_absent']
    >>> bool((result["dp_low"] <= result["dp_median"]).all())
    True
    """
    return _prepared(counts, part_sizes, words_axis, measures, replicates, level, seed, strata,
                     da, threads, progress, check)()


def _prepared(counts: Any, part_sizes: Any, words_axis: object, measures: object,
              replicates: object, level: object, seed: object, strata: Any, da: object,
              threads: object, progress: object, check: object = True) -> _Run:
    """Every argument checked and the counts adapted: the call, ready to run."""
    axis, names, method, _ = checked_options(words_axis, measures, da, threads)
    count = _check_replicates(replicates)
    quantiles = interval_quantiles(_check_level(level))
    start = _check_seed(seed)
    workers = check_threads(threads)
    if is_dask_array(counts):
        raise TypeError("bootstrap needs the counts in memory: call counts.compute() first, "
                        "or hand it a sparse matrix of them")
    adapted = adapt(counts, axis)
    if check:
        screen_counts(adapted.layout, adapted.labels)
    sizes = (default_part_sizes(adapted) if part_sizes is None
             else part_sizes_array(part_sizes, adapted.parts))
    if check and adapted.words and adapted.parts:
        screen_sizes(sizes, float(np.sum(sizes)), part_sizes is not None, False)
    members = None
    if strata is not None:
        labels, codes = part_labels(strata, adapted.parts, "strata")
        members = [np.flatnonzero(codes == g) for g in range(len(labels))]
    return _Run(adapted, sizes, members, names, method, workers, count, quantiles, start,
                bool(progress))


class _Run:
    """One bootstrap call: the words in blocks, each block's replicates drawn
    again from the seed, a chunk of replicates per native call."""

    def __init__(self, counts: CountInput, sizes: np.ndarray,
                 strata: list[np.ndarray] | None, names: tuple[str, ...], da: str,
                 threads: int, replicates: int, quantiles: tuple[float, ...], seed: object,
                 progress: bool) -> None:
        self.replicates = replicates
        self.quantiles = quantiles
        self.seed = seed
        self.progress = progress
        self.counts = counts
        self.sizes = sizes
        self.strata = strata
        self.names = names
        self.da = da
        self.threads = threads
        if strata is None:
            self.codes = None
        else:
            self.codes = np.empty(counts.parts, dtype=np.int64)
            for g, members in enumerate(strata):
                self.codes[members] = g

    def __call__(self) -> dict[str, np.ndarray]:
        replicates, quantiles, seed = self.replicates, self.quantiles, self.seed
        words = self.counts.words
        per_word = replicates * (1 + sum(column_dtype(n).itemsize for n in self.names))
        block = max(1, BLOCK_BYTES // per_word)
        chunk = max(1, min(replicates, DRAW_BYTES // (8 * max(1, self.counts.parts))))
        results = {f"{name}_{what}": np.full(words, np.nan)
                   for name in self.names for what in ("median", "low", "high")}
        absent = np.zeros(words, dtype=np.int64)
        blocks = list(_blocks(words, block))
        with progress_callback(replicates * len(blocks), self.progress, "replicates") as report:
            for number, (first, last) in enumerate(blocks):
                shown = _offset(report, number * replicates)
                values, occurs = self._block(first, last, replicates, chunk, seed, shown)
                for name in self.names:
                    (median, low, high), missing = _summarise(values[name], occurs, quantiles)
                    results[f"{name}_median"][first:last] = median
                    results[f"{name}_low"][first:last] = low
                    results[f"{name}_high"][first:last] = high
                absent[first:last] = replicates - occurs.sum(axis=0, dtype=np.int64)
        return {**results, "replicates_absent": absent}

    def _block(self, first: int, last: int, replicates: int, chunk: int, seed: object,
               report: Callable[[int], None] | None
               ) -> tuple[dict[str, np.ndarray], np.ndarray]:
        width = last - first
        values = {name: np.empty((replicates, width), dtype=column_dtype(name))
                  for name in self.names}
        occurs = np.empty((replicates, width), dtype=np.uint8)
        rng = np.random.default_rng(seed)  # type: ignore[arg-type]
        parts = self.counts.parts
        for low, high in _blocks(replicates, chunk):
            drawn = _multiplicities(rng, high - low, parts, self.strata)
            _native.bootstrap(self.counts.layout, self.sizes, drawn.reshape(-1), high - low,
                              self.codes, 0 if self.strata is None else len(self.strata),
                              first, last, self.names,
                              tuple(values[name][low:high].reshape(-1) for name in self.names),
                              occurs[low:high].reshape(-1), self.da, self.threads,
                              _offset(report, low))
        return values, occurs.view(bool)


def _offset(report: Callable[[int], None] | None, base: int) -> Callable[[int], None] | None:
    if report is None:
        return None
    return lambda done: report(base + done)


def bootstrap(counts: Any, part_sizes: Any = None, *, words: Sequence[Any] | None = None,
              words_axis: int = 0, measures: Sequence[str] | str = ("dp",),
              replicates: int = 500, level: float = 0.95, seed: Any, strata: Any = None,
              da: str = "sorted", threads: int | None = None, progress: bool = False,
              check: bool = True) -> Any:
    """Bootstrap medians and confidence limits of dispersion measures, as a
    pandas DataFrame.

    Parameters
    ----------
    words : sequence, optional
        One label per word for the index (default: a DataFrame input's
        labels, else a RangeIndex).
    counts, part_sizes, words_axis, measures, replicates, level, seed, strata
        As for `bootstrap_arrays`.
    da, threads, progress, check
        As for `bootstrap_arrays`; a refused count names the word by its row.

    Returns
    -------
    pandas.DataFrame
        One row per word; the columns of `bootstrap_arrays` (``dp_median``,
        ``dp_low``, ``dp_high``, ..., ``replicates_absent``).

    Examples
    --------
    >>> import numpy as np, lexispan_table
    >>> counts = np.array([[2, 2, 3, 2, 1, 2], [0, 0, 9, 0, 0, 1]])
    >>> table = lexispan_table.bootstrap(counts, [100] * 6, words=["even", "lumpy"],
    ...                                  replicates=200, seed=7)
    >>> table.round(3)
           dp_median  dp_low  dp_high  replicates_absent
    even       0.095   0.000    0.200                  0
    lumpy      0.667   0.464    0.833                 14
    """
    pd = pandas("bootstrap")
    run = _prepared(counts, part_sizes, words_axis, measures, replicates, level, seed, strata,
                    da, threads, progress, check)
    count = run.counts.words
    index = (word_labels(pd, words, count) if words is not None
             else run.counts.labels if run.counts.labels is not None else pd.RangeIndex(count))
    return pd.DataFrame(run(), index=index, copy=False)

