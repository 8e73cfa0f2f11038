"""The sixteen dispersion values for a whole word x part matrix, vectorised with NumPy.

Written the way a NumPy user would: whole-array operations over a block of rows, with the
degenerate cases (zero frequency, near-zero means) masked by np.where. DA comes in two forms:
the pairwise definition (all |q_i - q_j| of one row as an n x n array, row by row) and the
sorted form, which gets the same pair sum in O(n log n) from the sorted row,
sum_{i<j} |x_i - x_j| = sum_k x_(k) (2k - n + 1) for x_(0) <= ... <= x_(n-1).
"""

from __future__ import annotations

import numpy as np

# The field order, the near-zero threshold and ln 2 are those of the plain-Python reference.
from reference_python import EPS, FIELDS, LN2

DA_METHODS = ("pairwise", "sorted")


def _safe(x: np.ndarray, bad: np.ndarray) -> np.ndarray:
    return np.where(bad, 1.0, x)


def _pair_sums_pairwise(q: np.ndarray) -> np.ndarray:
    out = np.empty(q.shape[0])
    for k, row in enumerate(q):
        out[k] = np.abs(row[:, None] - row[None, :]).sum() / 2.0
    return out


def _pair_sums_sorted(q: np.ndarray) -> np.ndarray:
    n = q.shape[1]
    weights = 2.0 * np.arange(n) - (n - 1)
    return np.sort(q, axis=1) @ weights


def _evenness_da(q: np.ndarray, f: np.ndarray, mu: np.ndarray, method: str) -> np.ndarray:
    n = q.shape[1]
    if n == 1:
        return np.where(f == 0, 0.0, 1.0)
    tiny_mean = np.abs(mu) < EPS
    all_at_mean = (np.abs(q - mu[:, None]) < EPS).all(axis=1)
    # Rows whose answer is fixed by a guard are left out of the pair sums.
    live = ~(tiny_mean | (f == 0))
    pair_sum = np.zeros(q.shape[0])
    if live.any():
        summer = _pair_sums_pairwise if method == "pairwise" else _pair_sums_sorted
        pair_sum[live] = summer(q[live])
    pairs = float(n * (n - 1) // 2)
    da = np.clip(1.0 - (pair_sum / pairs) / _safe(mu + mu, ~live), 0.0, 1.0)
    da = np.where(tiny_mean, np.where(all_at_mean, 1.0, 0.0), da)
    return np.where(f == 0, 0.0, da)


def _block(v: np.ndarray, c: np.ndarray, total: float, da: str | None) -> dict[str, np.ndarray]:
    n = v.shape[1]
    s = c / total
    positive = c > 0
    q = np.where(positive, v / np.where(positive, c, 1.0), 0.0)

    f = v.sum(axis=1)
    f_zero = f == 0
    f_safe = _safe(f, f_zero)
    r = (v > 0).sum(axis=1)
    mu = q.sum(axis=1) / n
    out: dict[str, np.ndarray] = {"range": r}

    mean = f / n
    sd = np.where(f_zero, 0.0, np.sqrt(((v - mean[:, None]) ** 2).sum(axis=1) / n))
    tiny = np.abs(mean) < EPS
    out["sd_population"] = sd
    out["vc_population"] = np.where(tiny, 0.0, sd / _safe(mean, tiny))

    if n < 2:
        out["juilland_d"] = out["carroll_d2"] = np.where(f > 0, 1.0, 0.0)
    else:
        tiny_mu = np.abs(mu) < EPS
        spread = np.sqrt(((q - mu[:, None]) ** 2).sum(axis=1) / n)
        juilland = 1.0 - (spread / _safe(mu, tiny_mu)) / np.sqrt(n - 1)
        out["juilland_d"] = np.where(f_zero | tiny_mu, 0.0, juilland)
        q_sum = q.sum(axis=1)
        tiny_q = np.abs(q_sum) < EPS
        p = q / _safe(q_sum, tiny_q)[:, None]
        kept = p > EPS
        entropy = -np.where(kept, p * np.log(np.where(kept, p, 1.0)), 0.0).sum(axis=1)
        out["carroll_d2"] = np.where(tiny_q, 0.0, entropy / (np.log(n) / LN2 * LN2))

    amplitude = np.sqrt(s * v).sum(axis=1)
    out["roschengren_s_adj"] = np.where(f_zero, 0.0, amplitude * amplitude / f_safe)

    p = v / f_safe[:, None]
    dp = np.where(f_zero, 0.0, 0.5 * np.abs(p - s).sum(axis=1))
    d = 1.0 - s.min()
    out["dp"] = dp
    out["dp_norm"] = np.zeros_like(dp) if abs(d) < EPS else dp / d

    kept = (s > 0) & (p > 0)
    kl_terms = np.where(kept, p * np.log(np.where(kept, p / np.where(s > 0, s, 1.0), 1.0)), 0.0)
    out["kl_divergence"] = np.where(f > 0, kl_terms.sum(axis=1) / LN2, 0.0)

    m = (p + s) * 0.5
    m_safe = np.where(m > EPS, m, 1.0)
    kept_p = (p > EPS) & (m > EPS)
    kept_s = (s > EPS) & (m > EPS)
    a = np.where(kept_p, p * np.log(np.where(kept_p, p / m_safe, 1.0)), 0.0).sum(axis=1)
    b = np.where(kept_s, s * np.log(np.where(kept_s, s / m_safe, 1.0)), 0.0).sum(axis=1)
    j = (a + b) * 0.5 / LN2
    out["jsd_dispersion"] = np.where(f_zero, 0.0, 1.0 - np.minimum(j, 1.0))

    bc = np.clip(np.sqrt(p * s).sum(axis=1), 0.0, 1.0)
    out["hellinger_dispersion"] = np.where(f_zero, 0.0, 1.0 - np.sqrt(1.0 - bc))

    pt = r / n
    out["mean_text_frequency_ft"] = mu
    out["pervasiveness_pt"] = pt
    out["ft_adjusted_by_pt"] = mu * pt
    if da is not None:
        evenness = _evenness_da(q, f, mu, da)
        out["evenness_da"] = evenness
        out["ft_adjusted_by_da"] = evenness * mu
    return out


def all_metrics(
    matrix: np.ndarray,
    sizes: np.ndarray,
    total: float,
    da: str | None = "sorted",
    block_rows: int = 1024,
) -> dict[str, np.ndarray]:
    """One array per field, one entry per row; da=None leaves out DA and DA x FT.

    Rows go through in blocks so that the temporaries stay a few tens of MB.
    Inputs must be finite and non-negative, with total > 0.
    """
    if da is not None and da not in DA_METHODS:
        raise ValueError(f"unknown DA method {da!r}")
    v = np.asarray(matrix, dtype=np.float64)
    c = np.asarray(sizes, dtype=np.float64)
    blocks = []
    with np.errstate(divide="ignore", invalid="ignore"):
        for start in range(0, v.shape[0], block_rows):
            blocks.append(_block(v[start : start + block_rows], c, total, da))
    return {
        name: np.concatenate([blk[name] for blk in blocks])
        for name in FIELDS
        if name in blocks[0]
    }
