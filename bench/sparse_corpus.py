"""Synthetic Zipf corpora as CSR word x part count matrices, built without a dense matrix."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp


@dataclass(frozen=True)
class SparseCase:
    name: str
    counts: sp.csr_matrix  # float64, words x parts, sorted indices
    sizes: np.ndarray  # the column sums (the table API's default part sizes)
    total: float


def make_sparse_case(words: int, parts: int, seed: int) -> SparseCase:
    """Word totals Zipf-Mandelbrot over log-normally sized parts (median about 3,000 tokens).

    Each word's tokens fall into a number of draws from the part-size distribution: frequent
    words get about one draw per token (spread evenly), rare ones far fewer (bursty: the tokens
    of a draw share its part). The CSR holds each word's counts per part; the part sizes are the
    column sums, the total their sum, as the table API takes them by default.
    """
    rng = np.random.default_rng(seed)
    weights = np.maximum(np.rint(rng.lognormal(mean=8.0, sigma=1.0, size=parts)), 50.0)
    cumulative = np.cumsum(weights)
    cumulative /= cumulative[-1]
    tokens_total = float(weights.sum())

    ranks = np.arange(1, words + 1, dtype=np.float64)
    zipf = (3.7 / (ranks + 2.7)) ** 1.07
    frequencies = np.maximum(np.rint(0.03 * tokens_total * zipf), 1.0).astype(np.int64)
    # The share of a word's tokens that start a draw of their own: near 1 for frequent words.
    spread = np.clip(0.15 + 0.25 * np.log10(frequencies), 0.05, 1.0)
    draws = np.maximum(1, rng.binomial(frequencies, spread))

    rows: list[np.ndarray] = []
    cols: list[np.ndarray] = []
    vals: list[np.ndarray] = []
    for w in range(words):
        places = np.searchsorted(cumulative, rng.random(draws[w]), side="right")
        places = np.minimum(places, parts - 1)
        # Every draw holds one token; the rest join a draw at random.
        extra = frequencies[w] - draws[w]
        chosen = places[rng.integers(0, draws[w], size=extra)] if extra > 0 else places[:0]
        part, count = np.unique(np.concatenate([places, chosen]), return_counts=True)
        rows.append(np.full(part.size, w, dtype=np.int32))
        cols.append(part.astype(np.int32))
        vals.append(count.astype(np.float64))
    matrix = sp.csr_matrix(
        (np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
        shape=(words, parts))
    matrix.sort_indices()
    sizes = np.asarray(matrix.sum(axis=0)).ravel()
    return SparseCase(f"{words}x{parts}", matrix, sizes, float(sizes.sum()))
