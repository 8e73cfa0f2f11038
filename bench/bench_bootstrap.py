#!/usr/bin/env python3
"""Times lexispan_table.bootstrap_arrays (DP and DA, da="sorted") against the NumPy/SciPy loop a
user would write for the same intervals, with the peak memory of each.

Run from the repository root:  python bench/bench_bootstrap.py [--quick] [--repeats N]

Each method runs in a subprocess of its own on the same Zipf CSR matrix (words x parts, float64,
bench/sparse_corpus.py), so that its resident-memory growth (sampled every 2 ms) and tracemalloc
peak (NumPy's arrays, not the engine's C++ buffers) belong to it alone. Both draw replicate b as
numpy.random.default_rng(SEED) does in order: idx = rng.integers(0, n, size=n). The peer takes
counts[:, idx] and sizes[idx] (the same parts, in drawn order), DP from the stored entries plus
the absent parts' sizes in closed form, DA from each word's sorted normalised frequencies by the
rank identity, stacks the replicates and takes numpy.nanquantile with NaN where a word is absent.
Before any figure is printed, every column of the peer is within 1e-9 (relative, absolute below
1) of bootstrap_arrays, and the replicates_absent columns are equal.
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

SEED = 20261212
CASES = {"20000 words x 2000 parts, 500 replicates": (20_000, 2_000, 500)}
QUICK_CASES = {"5000 words x 500 parts, 100 replicates": (5_000, 500, 100)}
METHODS = ("bootstrap", "peer")
MEASURES = ("dp", "evenness_da")
LEVEL = 0.95
CACHE = Path(tempfile.gettempdir()) / "lexispan-bench-corpora"


def corpus_path(shape: tuple[int, int, int]) -> Path:
    path = CACHE / f"bootstrap-{shape[0]}-{shape[1]}-{shape[2]}-{SEED}.npz"
    if not path.exists():
        CACHE.mkdir(exist_ok=True)
        case = make_sparse_case(shape[0], shape[1], SEED)
        np.savez(path, data=case.counts.data, indices=case.counts.indices,
                 indptr=case.counts.indptr, shape=np.array(shape))
    return path


def load(path: Path) -> tuple[sp.csr_array, int]:
    with np.load(path) as z:
        words, parts, replicates = z["shape"].tolist()
        return sp.csr_array((z["data"], z["indices"], z["indptr"]), shape=(words, parts)), replicates


def replicate_measures(x: sp.csr_array, sizes: np.ndarray) -> tuple[np.ndarray, ...]:
    """DP, DA and whether each word occurs, for one replicate's matrix."""
    words, n = x.shape
    total = sizes.sum()
    relative = sizes / total
    f = np.asarray(x.sum(axis=1)).ravel()
    rows = np.repeat(np.arange(words), np.diff(x.indptr))
    cols = x.indices
    with np.errstate(divide="ignore", invalid="ignore"):
        p = x.data / f[rows]
    present = np.bincount(rows, np.abs(p - relative[cols]), minlength=words)
    covered = np.bincount(rows, relative[cols], minlength=words)
    dp = np.where(f > 0, 0.5 * (present + 1.0 - covered), 0.0)
    # DA: sum over pairs |q_i - q_j| = sum over ranks (2r - n - 1) q_(r), the zeros first.
    q = x.data / sizes[cols]
    order = np.lexsort((q, rows))
    k = np.diff(x.indptr)
    rank = np.arange(x.nnz) - x.indptr[rows] + 1 + (n - k)[rows]
    pair_sum = np.bincount(rows, (2 * rank - n - 1) * q[order], minlength=words)
    mean = np.bincount(rows, q, minlength=words) / n
    with np.errstate(divide="ignore", invalid="ignore"):
        da = 1.0 - (pair_sum / (n * (n - 1) / 2)) / (2 * mean)
    da = np.where(f > 0, np.clip(da, 0.0, 1.0), 0.0)
    return dp, da, f > 0


def peer(counts: sp.csr_array, replicates: int) -> dict[str, np.ndarray]:
    """The intervals as a careful NumPy/SciPy user computes them."""
    sizes = np.asarray(counts.sum(axis=0)).ravel()
    rng = np.random.default_rng(SEED)
    n = counts.shape[1]
    values = {name: np.empty((replicates, counts.shape[0])) for name in MEASURES}
    for b in range(replicates):
        idx = rng.integers(0, n, size=n)
        dp, da, occurs = replicate_measures(sp.csr_array(counts[:, idx]), sizes[idx])
        values["dp"][b] = np.where(occurs, dp, np.nan)
        values["evenness_da"][b] = np.where(occurs, da, np.nan)
    out: dict[str, np.ndarray] = {}
    qs = {"median": 0.5, "low": (1 - LEVEL) / 2, "high": (1 + LEVEL) / 2}
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN words
        for name in MEASURES:
            for what, q in qs.items():
                out[f"{name}_{what}"] = np.nanquantile(values[name], q, axis=0)
    out["replicates_absent"] = np.isnan(values["dp"]).sum(axis=0)
    return out


def run_method(method: str, counts: sp.csr_array, replicates: int) -> dict[str, np.ndarray]:
    import lexispan_table

    if method == "peer":
        return peer(counts, replicates)
    return lexispan_table.bootstrap_arrays(counts, measures=MEASURES, replicates=replicates,
                                           seed=SEED, da="sorted")


def worker(path: Path, method: str, repeats: int, out_path: Path) -> None:
    import lexispan_table  # noqa: F401 - outside the clock

    counts, replicates = load(path)
    measured(lambda: run_method(method, counts, replicates), repeats, out_path)


def check(outputs: dict[str, dict[str, np.ndarray]]) -> float:
    ours, theirs = outputs["bootstrap"], outputs["peer"]
    assert ours["replicates_absent"].tolist() == theirs["replicates_absent"].tolist()
    worst = 0.0
    for name, column in ours.items():
        if name == "replicates_absent":
            continue
        other = theirs[name]
        assert (np.isnan(column) == np.isnan(other)).all(), name
        finite = ~np.isnan(column)
        error = float(np.max(np.abs(column[finite] - other[finite])
                             / np.maximum(np.abs(column[finite]), 1.0), initial=0.0))
        assert error <= 1e-9, (name, error)
        worst = max(worst, error)
    return worst


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller corpus, fewer replicates")
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
        counts, replicates = load(path)
        stored = counts.data.nbytes + counts.indices.nbytes + counts.indptr.nbytes
        values = len(MEASURES) * replicates * shape[0] * 8
        print(f"\n## {case}: {counts.nnz:,} stored counts, CSR {mib(stored)} MiB, the "
              f"replicates' values {mib(values)} MiB")
        timings, outputs = spawn_all(path, METHODS, args.repeats, script=__file__)
        worst = check(outputs)
        print(f"checked: the peer is within {worst:.1e} of bootstrap_arrays (relative, absolute "
              f"below 1), the same replicates_absent")
        print_timings(timings)


if __name__ == "__main__":
    main()
