"""One corpus's side of a keyness comparison: its counts and sizes checked,
its frequencies, ranges and mean rates from the native engine's pass over its
stored counts (the bits `dispersion` gives), and the rates' squared
deviations summed per word in part order."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ._engine import default_part_sizes, evaluate, ordered_sum
from ._inputs import CountInput, part_sizes_array


@dataclass
class CorpusSummary:
    """One corpus's columns, one value per word of its own, and its settings."""

    parts: int
    total: float
    frequency: np.ndarray
    range: np.ndarray
    rate_mean: np.ndarray | None = None      # FT: the mean of v_i / c_i
    rate_variance: np.ndarray | None = None  # their population variance

    def aligned(self, rows: np.ndarray | None, words: int) -> CorpusSummary:
        """The same columns over `words` words, this corpus's word j at row
        rows[j] (default: row j); a word it lacks counts 0 everywhere."""
        if rows is None:
            if self.frequency.size == words:
                return self
            rows = np.arange(self.frequency.size)

        def spread(values: np.ndarray) -> np.ndarray:
            out = np.zeros(words, dtype=values.dtype)
            out[rows] = values
            return out

        rates = None if self.rate_mean is None or self.rate_variance is None else (
            spread(self.rate_mean), spread(self.rate_variance))
        return CorpusSummary(self.parts, self.total, spread(self.frequency),
                             spread(self.range), *(rates or (None, None)))


def _screen(counts: CountInput, side: str) -> None:
    # The minimal checks a comparison needs; the shared input funnel's own
    # screening can replace them.
    if counts.parts == 0:
        raise ValueError(f"the {side} corpus has no parts")
    layout = counts.layout
    _screen_values(layout[1] if layout[0] == "dense" else layout[3], f"{side} counts")


def _screen_values(values: np.ndarray, what: str) -> None:
    if values.size == 0 or values.dtype.kind == "u":
        return
    low = values.min()
    high = values.max() if values.dtype.kind == "f" else 0
    if low >= 0 and high < np.inf:  # NaN fails both
        return
    found = low if not low >= 0 else high
    raise ValueError(f"{what} must be finite and not negative, found {float(found)!r}")


def _sizes(counts: CountInput, given: object, side: str) -> tuple[np.ndarray, float]:
    if given is None:
        sizes = default_part_sizes(counts)
    else:
        try:
            sizes = part_sizes_array(given, counts.parts)
        except (TypeError, ValueError) as error:
            raise type(error)(str(error).replace("part_sizes", f"{side}_sizes")) from None
    _screen_values(sizes, f"{side}_sizes")
    total = ordered_sum(sizes)
    if not total > 0:
        raise ValueError(f"the {side} corpus's part sizes add up to {total!r}; its total "
                         f"must be positive")
    return sizes, total


def summarize(counts: CountInput, given_sizes: object, side: str, rates: bool,
              threads: int) -> CorpusSummary:
    """`counts` checked and measured: frequency and range (and FT) by the
    engine, the rates' variance from the nonzeros."""
    _screen(counts, side)
    sizes, total = _sizes(counts, given_sizes, side)
    names = ["frequency", "range", *(["mean_text_frequency_ft"] if rates else [])]
    columns = evaluate(counts, sizes, total, names, "pairwise", threads, False)
    summary = CorpusSummary(counts.parts, total, columns["frequency"], columns["range"])
    if rates:
        mean = columns["mean_text_frequency_ft"]
        summary.rate_mean = mean
        summary.rate_variance = rate_squares(counts, sizes, mean, summary.range) / float(
            counts.parts)
    return summary


def rate_squares(counts: CountInput, sizes: np.ndarray, mean: np.ndarray,
                 present: np.ndarray) -> np.ndarray:
    """Per word, the sum over all parts of (q_i - mean)^2, q_i = v_i / c_i (0
    where c_i is 0): the `present` parts with the word aside, the others as
    one term (n - k) mean^2, then the word's parts added in part order."""
    start: np.ndarray = (counts.parts - present).astype(np.float64) * (mean * mean)
    layout = counts.layout
    if layout[0] == "compressed" and not layout[6]:
        # Slices are parts: walk them in order, each adding to its words.
        bounds = layout[1].tolist()
        words, data = layout[2][:bounds[-1]], layout[3][:bounds[-1]]
        part_of = np.repeat(np.arange(counts.parts), np.diff(layout[1]))
        terms = _squared_deviations(data, sizes[part_of], mean[words])
        del part_of
        for part in range(counts.parts):
            first, last = bounds[part], bounds[part + 1]
            start[words[first:last]] += terms[first:last]
        return start
    indptr, parts, values = _by_words(counts)
    terms = _squared_deviations(values, sizes[parts], np.repeat(mean, np.diff(indptr)))
    return ordered_row_sums(indptr, terms, start)


def _by_words(counts: CountInput) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A dense or by-words layout as indptr (one slice per word), parts and
    counts, parts ascending; a dense matrix gives its nonzeros only."""
    layout = counts.layout
    if layout[0] == "compressed":
        indptr = layout[1]
        end = int(indptr[-1])
        return indptr, layout[2][:end], layout[3][:end]
    view = layout[1] if layout[2] == 0 else layout[1].T
    rows, parts = np.nonzero(view)
    indptr = np.zeros(counts.words + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=counts.words), out=indptr[1:])
    return indptr, parts, view[rows, parts]


def _squared_deviations(values: np.ndarray, sizes: np.ndarray, means: np.ndarray
                        ) -> np.ndarray:
    """(v / c - mean)^2 for each stored count, in the buffer of `sizes` (the
    c of each count, a fresh array); v / c reads as 0 where c is 0, and a
    stored 0 gives +0.0, which changes no sum (every sum is >= +0.0)."""
    unsized = None if (sizes > 0).all() else ~(sizes > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        terms: np.ndarray = np.true_divide(values, sizes, out=sizes)
    if unsized is not None:
        terms[unsized] = 0.0
    terms -= means
    terms *= terms
    if not (values > 0).all():
        terms[~(values > 0)] = 0.0
    return terms


def ordered_row_sums(indptr: np.ndarray, terms: np.ndarray, start: np.ndarray) -> np.ndarray:
    """Per row, start[r] + the row's terms added one at a time in order. The
    rows advance in lockstep, longest first, so each step is one vector
    addition over the rows that still have a term: O(nnz) work, and as many
    steps as the longest row has terms."""
    lengths = np.diff(indptr)
    order = np.argsort(-lengths, kind="stable")
    sums = start[order]
    firsts = indptr[:-1][order]
    longest = int(lengths[order[0]]) if order.size else 0
    # active[j]: how many rows have more than j terms (a prefix of `order`).
    active = np.searchsorted(-lengths[order], -np.arange(longest), side="left")
    for step, rows in enumerate(active.tolist()):
        sums[:rows] += terms[firsts[:rows] + step]
    out = np.empty_like(sums)
    out[order] = sums
    return out
