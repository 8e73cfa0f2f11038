#!/usr/bin/env python3
"""Times the DA pair-sum kernels in cycles per pair, against the kernels of an earlier revision.

Run from the repository root:  python bench/bench_da_kernels.py [--lengths 500,2000,...]
                                [--compilers g++,clang++]

Builds bench/da_kernels.cpp with the core's DA sources (the flags of the Release build), and, when
this is a git checkout, the same sources at --previous (default: the revision before the kernels
were rewritten) with their namespace renamed, so both run in one process on the same rows. With
several --compilers, one program per compiler (the previous kernels with the first only, when it
can build them), run in turn for each length; every kernel's time is also given as a ratio to the
first compiler's. Every
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
import re
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
    "src/platform/cpu_dispatch.cpp",
    "src/platform/system.cpp",
]
FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-fno-fast-math", "-ffp-contract=off"]
WIDTH = {"avx512": 8, "avx2": 4, "baseline": 2}


def default_compiler() -> str:
    found = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if found is None:
        sys.exit("no C++ compiler")
    return found


def build(work: Path, previous: str | None, compiler: str) -> tuple[Path, list[str]]:
    """The timing program, and its arguments for the previous kernels (none without them)."""
    work.mkdir(parents=True, exist_ok=True)
    objects = []
    with_previous: list[str] = []
    if previous is not None and (ROOT / ".git").exists():
        try:
            # The kernels moved from src/analyzer/ to src/analyzer/sums/; the
            # file keeps its path under previous/ so that its include resolves.
            for name in ("da_pair_sums.cpp", "da_pair_sums.hpp"):
                for folder in ("analyzer/sums", "analyzer"):
                    shown = subprocess.run(
                        ["git", "-C", str(ROOT), "show", f"{previous}:src/{folder}/{name}"],
                        capture_output=True, text=True)
                    if shown.returncode == 0:
                        (work / "previous" / folder).mkdir(parents=True, exist_ok=True)
                        (work / "previous" / folder / name).write_text(shown.stdout)
                        old = work / "previous" / folder
                        break
                else:
                    raise subprocess.CalledProcessError(1, "git show", stderr=shown.stderr)
        except subprocess.CalledProcessError as error:
            print(f"previous kernels not available ({error.stderr.strip()}); timing only these")
        else:
            obj = work / "previous.o"
            built = subprocess.run([compiler, *FLAGS, "-Dlexispan=lexispan_previous",
                                    "-I", str(work / "previous"), "-c",
                                    str(old / "da_pair_sums.cpp"), "-o", str(obj)],
                                   capture_output=True, text=True)
            if built.returncode == 0:
                objects.append(str(obj))
                lanes = re.search(r"da_lanes = (\d+)", (old / "da_pair_sums.hpp").read_text())
                with_previous = ["--previous", "--previous-rows", lanes.group(1) if lanes else "16"]
            else:
                print(f"previous kernels do not build with {compiler}; timing only these")
    binary = work / "da_kernels"
    subprocess.run([compiler, *FLAGS, *(["-DLEXISPAN_BENCH_PREVIOUS"] if with_previous else []),
                    "-I", str(ROOT / "src"), str(ROOT / "bench/da_kernels.cpp"),
                    *(str(ROOT / s) for s in SOURCES), *objects, "-o", str(binary)], check=True)
    return binary, with_previous


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--lengths", default="500,2000,4000,8000,16000,32000",
                        help="row lengths (parts), comma-separated")
    parser.add_argument("--previous", default=PREVIOUS,
                        help="git revision whose kernels are the baseline ('' for none)")
    parser.add_argument("--compilers", default="",
                        help="C++ compilers, comma-separated (default: $CXX, else c++)")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    lengths = [int(x) for x in args.lengths.split(",") if x]
    compilers = [c for c in args.compilers.split(",") if c] or [default_compiler()]

    hz: list[float] = []
    tsc = 0.0
    # (compiler, kernel, n) -> (rows, seconds, peak RSS KiB, clock Hz)
    times: dict[tuple[str, str, int], tuple[int, float, int, float]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        binaries = []
        for index, compiler in enumerate(compilers):
            previous = args.previous if index == 0 else ""
            binaries.append(build(Path(tmp) / str(index), previous or None, compiler))
        for n in lengths:
            for compiler, (binary, with_previous) in zip(compilers, binaries):
                run = subprocess.run([str(binary), *with_previous,
                                      "--repeats", str(args.repeats), str(n)],
                                     capture_output=True, text=True)
                if run.returncode != 0:
                    sys.exit(run.stdout + run.stderr)
                for line in run.stdout.splitlines():
                    key, *rest = line.split()
                    if key in ("clock_hz", "clock_hz_after"):
                        hz.append(float(rest[0]))
                    elif key == "tsc_hz":
                        tsc = float(rest[0])
                    elif key == "time":
                        name, length, rows, seconds, rss, clock = rest
                        times[(compiler, name, int(length))] = (int(rows), float(seconds),
                                                                int(rss), float(clock))

    clocks = [t[3] for t in times.values()]
    print(f"clock: {min(hz) / 1e9:.3f}-{max(hz) / 1e9:.3f} GHz between the runs, "
          f"{min(clocks) / 1e9:.3f}-{max(clocks) / 1e9:.3f} GHz beside the timings "
          f"(TSC {tsc / 1e9:.3f} GHz); compilers: {', '.join(compilers)}")
    print("| kernel | compiler | n | rows | seconds / call | clock GHz | pairs / cycle | cycles / pair "
          f"| of limit | vs previous (same ISA) | vs {compilers[0]} | peak RSS |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")

    def pairs_per_second(key: tuple[str, str, int]) -> float:
        rows, seconds, _, _ = times[key]
        return rows * key[2] * (key[2] - 1) / 2 / seconds

    for n in lengths:
        for name in ("avx512", "avx2", "baseline", "previous_avx512", "previous_avx2",
                     "previous_baseline", "scalar"):
            for compiler in compilers:
                key = (compiler, name, n)
                if key not in times:
                    continue
                rows, seconds, rss, clock = times[key]
                pairs = rows * n * (n - 1) / 2
                per_cycle = pairs / (seconds * clock)
                width = WIDTH.get(name.removeprefix("previous_"), 1)
                limit = 2 * width / 3 if name != "scalar" else 0.5
                ratio = ""
                old = (compiler, f"previous_{name}", n)
                if not name.startswith("previous") and old in times:
                    ratio = f"{pairs_per_second(key) / pairs_per_second(old):.2f}x faster"
                first = (compilers[0], name, n)
                versus = (f"{pairs_per_second(key) / pairs_per_second(first):.2f}x"
                          if compiler != compilers[0] and first in times else "")
                print(f"| {name} | {Path(compiler).name} | {n:,} | {rows} | {seconds:.6f} | "
                      f"{clock / 1e9:.2f} | {per_cycle:.2f} | {1 / per_cycle:.3f} | "
                      f"{per_cycle / limit:.0%} | {ratio} | {versus} | {rss / 1024:.0f} MiB |")
    print("\nLimit: 2/3 x lanes pairs per cycle (subtract, sign clear, add on two ports); scalar: "
          "one add per 2-cycle latency.")


if __name__ == "__main__":
    main()
