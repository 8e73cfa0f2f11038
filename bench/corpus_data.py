"""Synthetic word x part frequency matrices that look like a real corpus, from a fixed seed."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class CaseShape:
    name: str
    words: int
    parts: int


CASES = {
    "small": CaseShape("small", 2_000, 500),
    "large": CaseShape("large", 20_000, 2_000),
}

# A fast smoke run keeps the structure of each case at a fraction of its size.
QUICK_CASES = {
    "small": CaseShape("small", 300, 120),
    "large": CaseShape("large", 1_000, 400),
}


@dataclass(frozen=True)
class Case:
    name: str
    matrix: np.ndarray  # float64, words x parts, C-contiguous
    sizes: np.ndarray  # float64, one entry per part
    total: float


def make_case(shape: CaseShape, seed: int, rows: int | None = None, chunk_rows: int = 1024) -> Case:
    """Zipf-Mandelbrot word totals spread over log-normally sized parts.

    Each word gets its own burstiness: a part's share of the word is its size times a
    gamma-distributed factor with mean 1, whose shape is small (bursty, topical words) or large
    (evenly spread function words). Counts are multinomial over those shares, so every row adds
    up exactly to the word's total frequency. With `rows`, only the first rows are built; they
    are the same as those of the whole case.
    """
    rng = np.random.default_rng(seed)
    sizes = np.maximum(np.rint(rng.lognormal(mean=8.0, sigma=1.0, size=shape.parts)), 50.0)
    total = float(sizes.sum())

    ranks = np.arange(1, shape.words + 1, dtype=np.float64)
    zipf = (3.7 / (ranks + 2.7)) ** 1.07
    frequencies = np.maximum(np.rint(0.03 * total * zipf), 1.0).astype(np.int64)
    # Frequent words tend to be function words, spread evenly; rare ones are burstier.
    shape_param = np.exp(rng.normal(np.log(0.4) + 0.25 * np.log1p(frequencies / 100.0), 0.8))
    shape_param = np.clip(shape_param, 0.03, 50.0)

    wanted = shape.words if rows is None else min(rows, shape.words)
    built = min(shape.words, -(-wanted // chunk_rows) * chunk_rows)
    matrix = np.empty((built, shape.parts), dtype=np.float64)
    for start in range(0, built, chunk_rows):
        stop = min(start + chunk_rows, shape.words)
        k = shape_param[start:stop, None]
        burst = rng.gamma(k, 1.0 / k, size=(stop - start, shape.parts))
        weights = sizes[None, :] * (burst + 1e-12)
        weights /= weights.sum(axis=1, keepdims=True)
        matrix[start:stop] = rng.multinomial(frequencies[start:stop], weights)
    if built > wanted:
        matrix = matrix[:wanted].copy()
    return Case(shape.name, matrix, sizes, total)
