#!/usr/bin/env python3
"""What check=True costs the table API: each input kind called with and without the screening
(counts finite and not negative, sizes and total), in the same run, best of N.

Run from the repository root:  python bench/bench_checks.py [--quick] [--repeats N]

Each row gives the call's wall and CPU time (all threads) with check=False, its wall time with
check=True, and the screening alone (the two screen functions on the adapted input, CPU time of
the one thread that runs it) with its share of the call's CPU time, beside the Python-side peak
memory of the screening (tracemalloc). CPU times are the stable figures on a shared machine.
Before any figure is printed, the checked and unchecked calls return the same bits.
"""

from __future__ import annotations

import argparse
import platform
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np
import pandas as pd
import scipy.sparse as sp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from sparse_corpus import make_sparse_case  # noqa: E402

import lexispan_table as lt  # noqa: E402
from lexispan_table._engine import resolve_sizes  # noqa: E402
from lexispan_table._inputs import CountInput, adapt  # noqa: E402
from lexispan_table._values import screen_counts, screen_sizes  # noqa: E402


def inputs(words: int, parts: int, dense_words: int) -> dict[str, tuple[object, int]]:
    case = make_sparse_case(words, parts, seed=20261208)
    csr = case.counts
    dense = csr[:dense_words].toarray()
    return {
        f"CSR float64 {words}x{parts}": (csr, 0),
        f"CSR int32 {words}x{parts}": (sp.csr_matrix(csr, dtype=np.int32), 0),
        f"CSC words on columns {parts}x{words}": (csr.T.tocsc(), 1),
        f"dense float64 {dense_words}x{parts}": (dense, 0),
        f"dense int32 {dense_words}x{parts}": (dense.astype(np.int32), 0),
        f"DataFrame {dense_words}x{parts}": (pd.DataFrame(dense), 0),
    }


def best(call, repeats: int, clock=time.perf_counter) -> float:
    times = []
    for _ in range(repeats):
        start = clock()
        call()
        times.append(clock() - start)
    return min(times)


def screen(adapted: CountInput, sizes: np.ndarray, total: float) -> None:
    screen_counts(adapted.layout)
    screen_sizes(sizes, total, False, False)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs")
    parser.add_argument("--repeats", type=int, default=5, help="best of N runs")
    args = parser.parse_args()
    shape = (4_000, 1_000, 500) if args.quick else (20_000, 2_000, 2_000)
    print(f"# {platform.processor() or platform.machine()}, Python {platform.python_version()},"
          f" NumPy {np.__version__}; best of {args.repeats}")
    print("| input | measures | call, check=False (wall / CPU) | check=True (wall) | "
          "screening (CPU) | share of the call's CPU | screening peak |")
    print("|---|---|---|---|---|---|---|")
    for name, (counts, axis) in inputs(*shape).items():
        adapted = adapt(counts, axis)
        sizes, total = resolve_sizes(adapted, None, None)
        screen_cpu = best(lambda: screen(adapted, sizes, total), args.repeats, time.thread_time)
        tracemalloc.start()
        screen(adapted, sizes, total)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        for measures in (None, ["frequency"]):
            def call(check: bool) -> dict[str, np.ndarray]:
                return lt.dispersion_arrays(counts, words_axis=axis, measures=measures,
                                            check=check)
            plain, checked = call(False), call(True)
            assert all(plain[k].tobytes() == checked[k].tobytes() for k in plain)
            wall_off = best(lambda: call(False), args.repeats)
            cpu_off = best(lambda: call(False), args.repeats, time.process_time)
            wall_on = best(lambda: call(True), args.repeats)
            label = "default" if measures is None else "frequency"
            print(f"| {name} | {label} | {wall_off * 1e3:.1f} / {cpu_off * 1e3:.1f} ms | "
                  f"{wall_on * 1e3:.1f} ms | {screen_cpu * 1e3:.2f} ms | "
                  f"{100 * screen_cpu / cpu_off:.1f} % | {peak / 2**10:.0f} KiB |")

if __name__ == "__main__":
    main()
