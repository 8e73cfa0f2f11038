#!/usr/bin/env python3
"""Times the recent measures against DP alone on a Zipf corpus given as CSR.

Run from the repository root:
    python bench/bench_recent.py [--quick] [--repeats N] [--rounds R] [--each]

Methods, each in a subprocess of its own (peak resident memory growth over the loaded corpus
beside each time, as in bench_table.py): measures=["dp"] (the baseline); every new column but
egbert_dp_nofreq together; egbert_dp_nofreq alone (its extremes cost O(n log n) per distinct
frequency, shared by the words of that frequency); with --each, also every new column alone
beside DP. Every run uses the pool's workers. The methods run in R rounds, one after the
other in each, and each figure is its method's best over the rounds (on a shared machine a
slow spell then spoils no method's figure alone). Before the figures are printed, the DP
column of every run is checked to be the same bits.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_table import ensure_corpus, load_corpus, measured, mib, spawn_all  # noqa: E402

RECENT = ("egbert_dp", "dkl_o2p", "dkl_base2", "dkl_base_e", "range_by_size", "dmb", "dmb_low",
          "dmb_high", "dp_nofreq", "dkl_nofreq", "rosengren_s_nofreq", "range_nofreq")
METHODS = {"dp": ("dp",), "recent but egbert_dp_nofreq": ("dp", *RECENT),
           "egbert_dp_nofreq": ("dp", "egbert_dp_nofreq")}
CASE, QUICK_CASE = ("100000x10000", (100_000, 10_000)), ("10000x2500", (10_000, 2_500))


EACH = {name: ("dp", name) for name in RECENT}


def run_method(method: str, counts, sizes, total) -> dict[str, np.ndarray]:
    import lexispan_table

    columns = METHODS.get(method) or EACH[method]
    return lexispan_table.dispersion_arrays(counts, sizes, total, measures=list(columns))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help=f"the {QUICK_CASE[0]} case")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--each", action="store_true", help="also each new column alone with dp")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        path, method, repeats, out = args.worker
        counts, sizes, total = load_corpus(Path(path))
        measured(lambda: run_method(method, counts, sizes, total), int(repeats), Path(out))
        return
    case, shape = QUICK_CASE if args.quick else CASE
    path = ensure_corpus(case, shape)
    counts, _, _ = load_corpus(path)
    distinct = len(np.unique(np.asarray(counts.sum(axis=1)).ravel()))
    print(f"# {case}: {counts.nnz:,} stored counts, {distinct:,} distinct frequencies; "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}")
    methods = {**METHODS, **EACH} if args.each else METHODS
    results, outputs = spawn_all(path, methods, args.repeats, script=str(Path(__file__)))
    for _ in range(args.rounds - 1):
        again, _ = spawn_all(path, methods, args.repeats, script=str(Path(__file__)))
        for method, t in again.items():
            results[method] = {key: min(value, t[key]) for key, value in results[method].items()}
    for method, saved in outputs.items():
        assert saved["dp"].tobytes() == outputs["dp"]["dp"].tobytes(), method
    base = results["dp"]
    print("| columns | wall s | CPU s | x DP (wall) | RSS growth |")
    print("|---|---|---|---|---|")
    for method, t in results.items():
        print(f"| {method} | {t['wall']:.2f} | {t['cpu']:.2f} | {t['wall'] / base['wall']:.2f} "
              f"| {mib(t['rss_growth'])} |")


if __name__ == "__main__":
    main()
