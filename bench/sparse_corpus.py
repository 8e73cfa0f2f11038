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

    A word of frequency F falls into about F^0.84 draws from the part-size distribution (times a
    log-normal factor per word), each draw holding at least one of its tokens: frequent words
    spread over most parts, rare ones cluster (with 20,000 words over 2,000 parts the median word
    is found in about 50 parts). The part sizes are the column sums and the total their sum, as
    the table API takes them by default.
    """
    rng = np.random.default_rng(seed)
    weights = np.maximum(np.rint(rng.lognormal(mean=8.0, sigma=1.0, size=parts)), 50.0)
    cumulative = np.cumsum(weights)
    cumulative /= cumulative[-1]
    tokens_total = float(weights.sum())

    ranks = np.arange(1, words + 1, dtype=np.float64)
    zipf = (3.7 / (ranks + 2.7)) ** 1.07
    frequencies = np.maximum(np.rint(0.03 * tokens_total * zipf), 1.0).astype(np.int64)
    jitter = rng.lognormal(0.0, 0.3, size=words)
    draws = np.clip(np.rint(frequencies ** 0.84 * jitter), 1, frequencies).astype(np.int64)

    indptr = np.zeros(words + 1, dtype=np.int64)
    cols: list[np.ndarray] = []
    vals: list[np.ndarray] = []
    for w in range(words):
        d = int(draws[w])
        places = np.minimum(np.searchsorted(cumulative, rng.random(d), side="right"), parts - 1)
        per_draw = 1 + rng.multinomial(int(frequencies[w]) - d, np.full(d, 1.0 / d))
        part, inverse = np.unique(places, return_inverse=True)
        cols.append(part.astype(np.int32))
        vals.append(np.bincount(inverse, weights=per_draw, minlength=part.size))
        indptr[w + 1] = indptr[w] + part.size
    matrix = sp.csr_matrix((np.concatenate(vals), np.concatenate(cols), indptr),
                           shape=(words, parts))
    sizes = np.zeros(parts)
    np.add.at(sizes, matrix.indices, matrix.data)
    return SparseCase(f"{words}x{parts}", matrix, sizes, float(sizes.sum()))
