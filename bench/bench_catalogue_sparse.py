#!/usr/bin/env python3
"""Times the table with the catalogue columns against the record's columns alone, on a Zipf CSR.

Run from the repository root:  python bench/bench_catalogue_sparse.py [--words N] [--parts N]

Each way (measures=None, the record's columns: the baseline; measures="all", with the twelve
catalogue columns) runs in a subprocess of its own, so its peak resident memory (ru_maxrss,
which includes the corpus) belongs to it alone. Before the times are printed, the columns the two
ways share are checked to be the same bits.
"""

from __future__ import annotations

import argparse
import json
import platform
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from sparse_corpus import make_sparse_case  # noqa: E402

SEED = 20261208


def run_one(words: int, parts: int, way: str, out: str) -> None:
    import lexispan_table

    case = make_sparse_case(words, parts, SEED)
    measures = None if way == "record" else "all"
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = lexispan_table.dispersion_arrays(case.counts, measures=measures, threads=2)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    np.savez(out, **result)
    print(json.dumps({"wall": wall, "cpu": cpu, "peak_mib": after.ru_maxrss / 1024}))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--words", type=int, default=20_000)
    parser.add_argument("--parts", type=int, default=2_000)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--one", nargs=2, metavar=("WAY", "OUT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        run_one(args.words, args.parts, *args.one)
        return
    figures: dict[str, list[dict[str, float]]] = {"record": [], "all": []}
    outputs = {}
    for _ in range(args.repeats):
        for way in figures:
            out = f"/tmp/bench_catalogue_sparse_{way}.npz"
            line = subprocess.run([sys.executable, __file__, "--words", str(args.words),
                                   "--parts", str(args.parts), "--one", way, out],
                                  check=True, capture_output=True, text=True).stdout
            figures[way].append(json.loads(line.strip().splitlines()[-1]))
            outputs[way] = out
    record = np.load(outputs["record"])
    every = np.load(outputs["all"])
    for name in record.files:
        if record[name].tobytes() != every[name].tobytes():
            raise SystemExit(f"{name} differs between the two ways")
    print(f"{args.words} words x {args.parts} parts, {platform.machine()}, "
          f"{platform.python_version()}, 2 threads")
    base_wall = min(f["wall"] for f in figures["record"])
    base_cpu = min(f["cpu"] for f in figures["record"])
    for way, label in (("record", "measures=None (baseline)"), ("all", 'measures="all"')):
        walls = " / ".join(f"{f['wall']:.2f}" for f in figures[way])
        cpus = " / ".join(f"{f['cpu']:.2f}" for f in figures[way])
        peaks = " / ".join(f"{f['peak_mib']:.0f}" for f in figures[way])
        wall_ratio = min(f["wall"] for f in figures[way]) / base_wall
        cpu_ratio = min(f["cpu"] for f in figures[way]) / base_cpu
        print(f"{label:26s} wall s {walls} (best {wall_ratio:.2f}x)  "
              f"CPU s {cpus} (best {cpu_ratio:.2f}x)  peak MiB {peaks}")


if __name__ == "__main__":
    main()
