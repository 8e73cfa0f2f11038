#!/usr/bin/env python3
"""Times the DA pair-sum kernels in cycles per pair, against the kernels of an earlier revision.

Run from the repository root:  python bench/bench_da_kernels.py [--lengths 500,2000,...]

Builds bench/da_kernels.cpp with the core's DA sources (the flags of the Release build), and, when
this is a git checkout, the same sources at --previous (default: the revision before the kernels
were rewritten) with their namespace renamed, so both run in one process on the same rows. Every
timing is checked first: each kernel's sums must have the bits of the scalar sum (n <= 4,000) or
of the first kernel timed. A full group of rows is timed per call (24 now, 16 for the previous
kernels), best of 3 for n <= 8,000 and one run above.

The clock is measured, not assumed: a chain of dependent one-cycle integer adds (0.05 s, best of
3) gives the frequency the core actually runs at, right after each timing, since it moves with the
load on the other core (perf's cycle counter is not available in this guest: `perf stat -e cycles`
says "not supported"). Times are the thread's CPU time, so slices spent descheduled on the shared
machine do not count. The limit is the one the three vector operations per pair allow on two vector adders
(subtract, sign clear, add: 3 x 8 lanes over 2 ports = 5.33 pairs per cycle with 8 lanes; 2.67
with 4; 1.33 with 2).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PREVIOUS = "58935a5"
SOURCES = [
    "src/analyzer/sums/da_pair_sums.cpp",
    "src/analyzer/sums/da_sums.cpp",
    "src/analyzer/sums/zero_run_sums.cpp",
]
FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-fno-fast-math", "-ffp-contract=off"]
WIDTH = {"avx512": 8, "avx2": 4, "baseline": 2}


def compiler() -> str:
    found = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if found is None:
        sys.exit("no C++ compiler")
    return found


def build(work: Path, previous: str | None) -> tuple[Path, bool]:
    objects = []
    with_previous = False
    if previous is not None and (ROOT / ".git").exists():
        old = work / "previous" / "analyzer"
        old.mkdir(parents=True)
        try:
            for name in ("da_pair_sums.cpp", "da_pair_sums.hpp"):
                text = subprocess.run(
                    ["git", "-C", str(ROOT), "show", f"{previous}:src/analyzer/{name}"],
                    check=True, capture_output=True, text=True).stdout
                (old / name).write_text(text)
        except subprocess.CalledProcessError as error:
            print(f"previous kernels not available ({error.stderr.strip()}); timing only these")
        else:
            obj = work / "previous.o"
            subprocess.run([compiler(), *FLAGS, "-Dlexispan=lexispan_previous",
                            "-I", str(work / "previous"), "-c", str(old / "da_pair_sums.cpp"),
                            "-o", str(obj)], check=True)
            objects.append(str(obj))
            with_previous = True
    binary = work / "da_kernels"
    subprocess.run([compiler(), *FLAGS, *(["-DLEXISPAN_BENCH_PREVIOUS"] if with_previous else []),
                    "-I", str(ROOT / "src"), str(ROOT / "bench/da_kernels.cpp"),
                    *(str(ROOT / s) for s in SOURCES), *objects, "-o", str(binary)], check=True)
    return binary, with_previous


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--lengths", default="500,2000,4000,8000,16000,32000",
                        help="row lengths (parts), comma-separated")
    parser.add_argument("--previous", default=PREVIOUS,
                        help="git revision whose kernels are the baseline ('' for none)")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    lengths = [int(x) for x in args.lengths.split(",") if x]

    with tempfile.TemporaryDirectory() as tmp:
        binary, with_previous = build(Path(tmp), args.previous or None)
        run = subprocess.run([str(binary), *(["--previous"] if with_previous else []),
                              "--repeats", str(args.repeats), *map(str, lengths)],
                             capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(run.stdout + run.stderr)

    hz = after = tsc = 0.0
    times: dict[tuple[str, int], tuple[int, float, int, float]] = {}
    for line in run.stdout.splitlines():
        key, *rest = line.split()
        if key == "clock_hz":
            hz = float(rest[0])
        elif key == "clock_hz_after":
            after = float(rest[0])
        elif key == "tsc_hz":
            tsc = float(rest[0])
        elif key == "time":
            name, n, rows, seconds, rss, clock = rest
            times[(name, int(n))] = (int(rows), float(seconds), int(rss), float(clock))

    clocks = [t[3] for t in times.values()]
    print(f"clock: {hz / 1e9:.3f} GHz at the start, {after / 1e9:.3f} GHz at the end, "
          f"{min(clocks) / 1e9:.3f}-{max(clocks) / 1e9:.3f} GHz beside the timings "
          f"(TSC {tsc / 1e9:.3f} GHz)")
    print("| kernel | n | rows | seconds / call | clock GHz | pairs / cycle | cycles / pair "
          "| of limit | vs previous (same ISA) | peak RSS |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for n in lengths:
        for name in ("avx512", "avx2", "baseline", "previous_avx512", "previous_avx2",
                     "previous_baseline", "scalar"):
            if (name, n) not in times:
                continue
            rows, seconds, rss, clock = times[(name, n)]
            pairs = rows * n * (n - 1) / 2
            per_cycle = pairs / (seconds * clock)
            width = WIDTH.get(name.removeprefix("previous_"), 1)
            limit = 2 * width / 3 if name != "scalar" else 0.5
            ratio = ""
            if not name.startswith("previous") and (f"previous_{name}", n) in times:
                old_rows, old_seconds, _, _ = times[(f"previous_{name}", n)]
                old_pairs = old_rows * n * (n - 1) / 2
                ratio = f"{(old_seconds / old_pairs) / (seconds / pairs):.2f}x faster"
            print(f"| {name} | {n:,} | {rows} | {seconds:.6f} | {clock / 1e9:.2f} | {per_cycle:.2f} | "
                  f"{1 / per_cycle:.3f} | {per_cycle / limit:.0%} | {ratio} | {rss / 1024:.0f} MiB |")
    print("\nLimit: 2/3 x lanes pairs per cycle (subtract, sign clear, add on two ports); scalar: "
          "one add per 2-cycle latency.")


if __name__ == "__main__":
    main()
