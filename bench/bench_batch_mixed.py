#!/usr/bin/env python3
"""Times the record batch on rows of mixed density against the NumPy peer and an earlier build.

Run from the repository root:

    python bench/bench_batch_mixed.py [--repeats N] [--threads T] [--before PYTHON]

Cases, 2,000 words x 500 parts as an ndarray:
  zipf     Zipf-like word totals spread burstily over log-normal parts: about 900 rows found in
           at most a third of the parts and 1,100 in more, so the row engine's two walks and its
           two DA pair sums (from the nonzeros, or on the multi-row kernel) all take part;
  poisson  every row Poisson in every part with its own mean (0.2 to 20): nearly every row found
           in most parts.

--before names a Python whose `lexispan` is another build, e.g. of 5d23d91, the commit before
the sparse engine joined the batch (git worktree add /tmp/before 5d23d91; python -m venv
/tmp/before-venv; /tmp/before-venv/bin/pip install /tmp/before). This script then runs a child
of itself there; the child and this process take turns run by run, so both see the same load.

Before any time is reported: the batch's records equal the single-word analyzer's bit for bit
on sampled rows (the sparsest and densest included), the earlier build's records equal them bit
for bit, and the NumPy peer (DA by the sorted identity) is within a relative 1e-9 of every field.
Times are CPU seconds of the process (all its threads; NumPy's BLAS on one thread), best of the
runs, with wall seconds and the growth of the resident size over the run beside them.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import lexispan  # noqa: E402
import reference_numpy  # noqa: E402
from bench_table import RssPeak  # noqa: E402

SEED = 20261208
WORDS, PARTS = 2_000, 500
FIELDS = ("range",) + reference_numpy.FIELDS


def zipf_case(seed: int) -> tuple[np.ndarray, np.ndarray, float]:
    """Word totals Zipf-Mandelbrot; a word's share of a part is the part's size times a gamma
    factor whose shape grows with the word's frequency (frequent words spread evenly)."""
    rng = np.random.default_rng(seed)
    sizes = np.maximum(np.rint(rng.lognormal(mean=8.0, sigma=1.0, size=PARTS)), 50.0)
    ranks = np.arange(1, WORDS + 1, dtype=np.float64)
    totals = np.maximum(np.rint(1.9e5 * (3.7 / (ranks + 2.7)) ** 1.07), 1.0).astype(np.int64)
    shape = np.exp(rng.normal(np.log(0.4) + 0.25 * np.log1p(totals / 100.0), 0.8))
    shape = np.clip(shape, 0.03, 50.0)[:, None]
    weights = sizes[None, :] * (rng.gamma(shape, 1.0 / shape, size=(WORDS, PARTS)) + 1e-12)
    weights /= weights.sum(axis=1, keepdims=True)
    return rng.multinomial(totals, weights).astype(np.float64), sizes, float(sizes.sum())


def poisson_case(seed: int) -> tuple[np.ndarray, np.ndarray, float]:
    rng = np.random.default_rng(seed)
    sizes = np.maximum(np.rint(rng.lognormal(mean=8.0, sigma=1.0, size=PARTS)), 50.0)
    means = rng.uniform(0.2, 20.0, size=WORDS)
    return rng.poisson(means[:, None], size=(WORDS, PARTS)).astype(np.float64), sizes, float(
        sizes.sum())


CASES: dict[str, Callable[[int], tuple[np.ndarray, np.ndarray, float]]] = {
    "zipf": zipf_case, "poisson": poisson_case}


def batch(matrix: np.ndarray, sizes: np.ndarray, total: float) -> list[Any]:
    return lexispan.CorpusWordAnalyzer.calculate_batch_metrics(matrix, sizes, total)


def record_bits(records: list[Any]) -> np.ndarray:
    return np.array([[getattr(r, f) for f in FIELDS] for r in records],
                    dtype=np.float64).view(np.uint64)


def timed(fn: Callable[[], Any]) -> tuple[dict[str, float], Any]:
    with RssPeak() as peak:
        rss_before = peak.peak
        wall, cpu = time.perf_counter(), time.process_time()
        result = fn()
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return {"cpu": cpu, "wall": wall, "rss": max(0, peak.peak - rss_before)}, result


def child(case: str, seed: int) -> None:
    """Answers "bits" with a digest of the batch's records and "time" with one timed run."""
    matrix, sizes, total = CASES[case](seed)
    batch(np.ones((1, 1)), np.ones(1), 1.0)  # start the pool outside the timing
    for request in sys.stdin:
        if request.strip() == "bits":
            digest = hashlib.sha256(record_bits(batch(matrix, sizes, total)).tobytes())
            print(json.dumps(digest.hexdigest()), flush=True)
        else:
            print(json.dumps(timed(lambda: batch(matrix, sizes, total))[0]), flush=True)


class Before:
    """The child of this script under the other build's Python."""

    def __init__(self, python: str, case: str, seed: int, threads: int) -> None:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        # The child must import the other build, not this checkout's sources.
        env.pop("PYTHONPATH", None)
        self.proc = subprocess.Popen(
            [python, str(Path(__file__).resolve()), "--child", case, "--seed", str(seed)],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, what: str) -> Any:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(what + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline()
        if not answer:
            raise SystemExit("the --before child ended early")
        return json.loads(answer)

    def close(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def check(matrix: np.ndarray, sizes: np.ndarray, total: float, records: list[Any]) -> float:
    """Asserts the batch against the analyzer and the peer; returns the peer's largest
    relative difference."""
    ours = record_bits(records)
    k = (matrix > 0).sum(axis=1)
    rows = set(np.linspace(0, len(matrix) - 1, 40).round().astype(int))
    rows |= {int(np.argmin(k)), int(np.argmax(k)), int(np.argmin(np.abs(3 * k - PARTS)))}
    for w in sorted(rows):
        one = lexispan.CorpusWordAnalyzer(matrix[w].tolist(), sizes.tolist(), total)
        want = record_bits([one.calculate_all_metrics()])[0]
        assert np.array_equal(ours[w], want), f"row {w} differs from the analyzer"
    peer = reference_numpy.all_metrics(matrix, sizes, total, "sorted")
    worst = 0.0
    values = ours.view(np.float64)
    for j, name in enumerate(FIELDS):
        a, b = values[:, j], np.asarray(peer[name], dtype=np.float64)
        scale = np.maximum(np.maximum(np.abs(a), np.abs(b)), 1e-9)
        worst = max(worst, float(np.max(np.abs(a - b) / scale)))
    assert worst <= 1e-9, f"NumPy peer differs by {worst:.2e}"
    return worst


def best(runs: list[dict[str, float]]) -> dict[str, float]:
    return {key: min(run[key] for run in runs) for key in runs[0]}


def run_case(case: str, args: argparse.Namespace) -> None:
    matrix, sizes, total = CASES[case](args.seed)
    k = (matrix > 0).sum(axis=1)
    before = Before(args.before, case, args.seed, args.threads) if args.before else None
    try:
        batch(np.ones((1, 1)), np.ones(1), 1.0)
        records = batch(matrix, sizes, total)
        worst = check(matrix, sizes, total, records)
        if before is not None:
            digest = hashlib.sha256(record_bits(records).tobytes()).hexdigest()
            assert before.ask("bits") == digest, "the --before build's records differ"
        runs: dict[str, list[dict[str, float]]] = {"batch": [], "numpy": [], "before": []}
        for _ in range(args.repeats):
            runs["batch"].append(timed(lambda: batch(matrix, sizes, total))[0])
            runs["numpy"].append(timed(lambda: reference_numpy.all_metrics(
                matrix, sizes, total, "sorted"))[0])
            if before is not None:
                runs["before"].append(before.ask("time"))
    finally:
        if before is not None:
            before.close()
    print(f"\n== {case}: {WORDS:,} x {PARTS:,}, {int((3 * k <= PARTS).sum())} rows in at most a"
          f" third of the parts, {int((3 * k > PARTS).sum())} in more;"
          f" load average {', '.join(f'{x:.2f}' for x in os.getloadavg())} ==")
    print(f"  checks: batch == analyzer on sampled rows (bits); NumPy peer within {worst:.1e}"
          + ("; --before build == batch (bits)" if before is not None else ""))
    numpy_best = best(runs["numpy"])
    print(f"  {'method':<34}{'cpu s':>9}{'wall s':>9}{'RSS MiB':>9}{'x NumPy cpu':>13}")
    for label, key in (("batch, this build", "batch"), ("NumPy peer, sorted DA", "numpy"),
                       ("batch, --before build", "before")):
        if not runs[key]:
            continue
        t = best(runs[key])
        print(f"  {label:<34}{t['cpu']:>9.4f}{t['wall']:>9.4f}{t['rss'] / 2**20:>9.1f}"
              f"{t['cpu'] / numpy_best['cpu']:>13.2f}")
    if runs["before"]:
        ratio = best(runs["batch"])["cpu"] / best(runs["before"])["cpu"]
        print(f"  this build / --before build (cpu): {ratio:.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7, help="best of N runs per method")
    parser.add_argument("--threads", type=int, default=1, help="RAYON_NUM_THREADS of both builds")
    parser.add_argument("--before", help="a Python whose lexispan is the build to compare with")
    parser.add_argument("--cases", default="zipf,poisson")
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.seed)
        return
    if os.environ.get("RAYON_NUM_THREADS") != str(args.threads):
        # The pool reads its size once, at its start: rerun with it set.
        env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads))
        sys.exit(subprocess.call([sys.executable, *sys.argv], env=env))
    for case in args.cases.split(","):
        run_case(case.strip(), args)


if __name__ == "__main__":
    main()
