#!/usr/bin/env python3
"""Times lexispan_table.keyness_arrays on two Zipf corpora against the NumPy/SciPy code a user would
write for the same twelve columns, with the peak memory of each.

Run from the repository root:  python bench/bench_keyness.py [--quick] [--repeats N]

Each method runs in a subprocess of its own on the same two CSR corpora (words x parts, float64,
the vocabulary shared row by row), so that its resident-memory growth (sampled every 2 ms) and
tracemalloc peak (NumPy's arrays, not the engine's C++ buffers) belong to it alone. Methods:
keyness_arrays on the CSR matrices; the same on parts x words CSR with words_axis=1 (the
CountVectorizer layout, each corpus regrouped by word on the way); the peer, which sums and counts
with SciPy, takes the rates' squared deviations from the stored entries plus the absent parts in
closed form, and its p-values from scipy.stats.chi2. Before any figure is printed, the peer is
within a relative 1e-9 of keyness_arrays on every column (an absolute 1e-9 where a G2 is near 0)
and the two layouts give the same bits.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import tempfile
from pathlib import Path

import numpy as np
import scipy.sparse as sp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_table import measured, mib, print_timings, spawn_all  # noqa: E402
from sparse_corpus import make_sparse_case  # noqa: E402

SEED = 20261209
CASES = {"200000 words, 4000 + 6000 parts": (200_000, 4_000, 6_000)}
QUICK_CASES = {"20000 words, 500 + 800 parts": (20_000, 500, 800)}
METHODS = ("keyness", "keyness, parts x words", "peer")
CACHE = Path(tempfile.gettempdir()) / "lexispan-bench-corpora"


def corpus_path(shape: tuple[int, int, int]) -> Path:
    path = CACHE / f"keyness-{shape[0]}-{shape[1]}-{shape[2]}-{SEED}.npz"
    if not path.exists():
        CACHE.mkdir(exist_ok=True)
        target = make_sparse_case(shape[0], shape[1], SEED).counts
        reference = make_sparse_case(shape[0], shape[2], SEED + 1).counts
        np.savez(path, **{f"{side}_{key}": getattr(matrix, key) for side, matrix in
                          (("t", target), ("r", reference)) for key in ("data", "indices", "indptr")},
                 shape=np.array(shape))
    return path


def load(path: Path) -> tuple[sp.csr_array, sp.csr_array]:
    with np.load(path) as z:
        words, parts1, parts2 = z["shape"].tolist()
        return tuple(sp.csr_array((z[f"{side}_data"], z[f"{side}_indices"], z[f"{side}_indptr"]),
                                  shape=(words, parts)) for side, parts in (("t", parts1), ("r", parts2)))


def peer(target: sp.csr_array, reference: sp.csr_array) -> dict[str, np.ndarray]:
    """The twelve columns as a careful NumPy/SciPy user computes them."""
    from scipy.stats import chi2  # imported before the clock starts (worker)

    def summary(x: sp.csr_array):
        sizes = np.asarray(x.sum(axis=0)).ravel()
        n = x.shape[1]
        rates = x.multiply(1.0 / sizes).tocsr()
        mean = np.asarray(rates.sum(axis=1)).ravel() / n
        rows = np.repeat(np.arange(x.shape[0]), np.diff(rates.indptr))
        squares = np.bincount(rows, (rates.data - mean[rows]) ** 2, minlength=x.shape[0])
        present = np.diff(x.indptr)
        variance = (squares + (n - present) * mean**2) / n
        return (np.asarray(x.sum(axis=1)).ravel(), present.astype(np.float64), float(n),
                sizes.sum(), mean, variance)

    a, big_a, n1, t1, m1, v1 = summary(target)
    b, big_b, n2, t2, m2, v2 = summary(reference)

    def term(o, e):
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(o > 0, o * np.log(o / e), 0.0)

    def g2(x, y, s1, s2, four=False):
        both, total = x + y, s1 + s2
        value = term(x, s1 * both / total) + term(y, s2 * both / total)
        if four:
            rest = s1 + s2 - both
            value += term(s1 - x, s1 * rest / total) + term(s2 - y, s2 * rest / total)
        return np.where(y * s1 > x * s2, -2.0, 2.0) * np.maximum(value, 0.0)

    def ratio(x, y, s1, s2):
        value = np.log2((np.where(x > 0, x, 0.5) / s1) / (np.where(y > 0, y, 0.5) / s2))
        return np.where((x > 0) | (y > 0), value, 0.0)

    pooled = np.sqrt((v1 + v2) / 2)
    with np.errstate(divide="ignore", invalid="ignore"):
        d = np.where(pooled > 0, (m1 - m2) / pooled, 0.0)
    ll, tdk = g2(a, b, t1, t2), g2(big_a, big_b, n1, n2)
    return {"target_frequency": a, "reference_frequency": b, "target_range": big_a,
            "reference_range": big_b, "log_likelihood": ll, "log_ratio": ratio(a, b, t1, t2),
            "text_dispersion_keyness": tdk,
            "text_dispersion_keyness_4cell": g2(big_a, big_b, n1, n2, four=True),
            "text_log_ratio": ratio(big_a, big_b, n1, n2), "mean_text_frequency_d": d,
            "p_log_likelihood": chi2.sf(np.abs(ll), 1),
            "p_text_dispersion_keyness": chi2.sf(np.abs(tdk), 1)}


def run_method(method: str, target, reference) -> dict[str, np.ndarray]:
    import lexispan_table

    if method == "peer":
        return peer(target, reference)
    if method == "keyness, parts x words":
        return lexispan_table.keyness_arrays(target, reference, words_axis=1)
    return lexispan_table.keyness_arrays(target, reference)


def worker(path: Path, method: str, repeats: int, out_path: Path) -> None:
    import lexispan_table  # noqa: F401 - both methods' imports, outside the clock
    import scipy.stats  # noqa: F401

    target, reference = load(path)
    if method == "keyness, parts x words":
        target, reference = sp.csr_array(target.T), sp.csr_array(reference.T)
    measured(lambda: run_method(method, target, reference), repeats, out_path)


def check(outputs: dict[str, dict[str, np.ndarray]]) -> float:
    ours, theirs = outputs["keyness"], outputs["peer"]
    for name, column in outputs["keyness, parts x words"].items():
        assert column.tobytes() == ours[name].tobytes(), name
    worst = 0.0
    for name, column in ours.items():
        mine, other = column.astype(np.float64), theirs[name]
        error = float(np.max(np.abs(mine - other) / np.maximum(np.abs(mine), 1.0)))
        assert error <= 1e-9, (name, error)
        worst = max(worst, error)
    return worst


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller pair of corpora")
    parser.add_argument("--repeats", type=int, default=1, help="best of N runs per method")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        path, method, repeats, out = args.worker
        worker(Path(path), method, int(repeats), Path(out))
        return
    print(f"# {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}, NumPy {np.__version__}")
    for case, shape in (QUICK_CASES if args.quick else CASES).items():
        path = corpus_path(shape)
        target, reference = load(path)
        stored = sum(m.data.nbytes + m.indices.nbytes + m.indptr.nbytes
                     for m in (target, reference))
        dense = shape[0] * (shape[1] + shape[2]) * 8
        print(f"\n## {case}: {target.nnz:,} + {reference.nnz:,} stored counts, CSR "
              f"{mib(stored)} MiB (dense: {mib(dense)} MiB), output {mib(12 * shape[0] * 8)} MiB")
        timings, outputs = spawn_all(path, METHODS, args.repeats, script=__file__)
        worst = check(outputs)
        print(f"checked: the two layouts give the same bits; the peer is within {worst:.1e} "
              f"(relative, absolute below 1)")
        print_timings(timings)


if __name__ == "__main__":
    main()
