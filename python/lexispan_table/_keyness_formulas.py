"""The keyness formulas, word by word over aligned per-corpus arrays: signed G2
(two cells and the 2 x 2 table), Log Ratio, Cohen's d of the per-part rates and
the chi-squared p-value. Each is written once; every entry point calls it."""

from __future__ import annotations

import math

import numpy as np


def _observed_terms(observed: np.ndarray, expected: np.ndarray) -> np.ndarray:
    """O ln(O / E), 0 where O is 0 (the term is dropped)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        terms = observed * np.log(observed / expected)
    return np.where(observed > 0, terms, 0.0)


def _signed(g2: np.ndarray, a: np.ndarray, b: np.ndarray, n1: float, n2: float) -> np.ndarray:
    # The exact G2 is >= 0; rounding can leave a sum of opposite terms just
    # below. Negative when b / E2 > a / E1, that is b n1 > a n2.
    g2 = np.maximum(g2, 0.0)
    return np.where(b * n1 > a * n2, -g2, g2)


def signed_g2(a: np.ndarray, b: np.ndarray, n1: float, n2: float) -> np.ndarray:
    """Dunning's G2 of counts a out of n1 against b out of n2:
    2 (a ln(a / E1) + b ln(b / E2)), E1 = n1 (a + b) / (n1 + n2), E2 likewise,
    negative when b is relatively the larger."""
    total = n1 + n2
    both = a + b
    g2 = 2.0 * (_observed_terms(a, n1 * both / total) + _observed_terms(b, n2 * both / total))
    return _signed(g2, a, b, n1, n2)


def signed_g2_four_cell(a: np.ndarray, b: np.ndarray, n1: float, n2: float) -> np.ndarray:
    """G2 over the 2 x 2 table (a, n1 - a; b, n2 - b), its four terms added in
    that order, with the sign of signed_g2."""
    total = n1 + n2
    present = a + b
    absent = (n1 - a) + (n2 - b)
    terms = (_observed_terms(a, n1 * present / total)
             + _observed_terms(n1 - a, n1 * absent / total)
             + _observed_terms(b, n2 * present / total)
             + _observed_terms(n2 - b, n2 * absent / total))
    return _signed(2.0 * terms, a, b, n1, n2)


def log_ratio(a: np.ndarray, b: np.ndarray, n1: float, n2: float) -> np.ndarray:
    """log2((a / n1) / (b / n2)) with 0.5 in place of a zero count; 0 for a
    word in neither corpus."""
    shown = np.where(a > 0, a, 0.5)
    other = np.where(b > 0, b, 0.5)
    ratio = np.log2((shown / n1) / (other / n2))
    return np.where((a > 0) | (b > 0), ratio, 0.0)


def mean_difference_d(mean1: np.ndarray, variance1: np.ndarray, mean2: np.ndarray,
                      variance2: np.ndarray) -> np.ndarray:
    """Cohen's d: (mean1 - mean2) / sqrt((variance1 + variance2) / 2), the
    variances being population ones (sd^2); 0 where that root is 0."""
    pooled = np.sqrt((variance1 + variance2) / 2.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        d = (mean1 - mean2) / pooled
    return np.where(pooled > 0, d, 0.0)


def chi_squared_p(g2: np.ndarray) -> np.ndarray:
    """The chi-squared (1 df) upper tail at |g2|: erfc(sqrt(|g2| / 2))."""
    roots = np.sqrt(np.abs(g2) / 2.0)
    return np.fromiter(map(math.erfc, roots.tolist()), dtype=np.float64, count=roots.size)
