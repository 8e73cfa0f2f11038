#!/usr/bin/env python3
"""Times the distance-based word list: positions_from_tokens and position_dispersion (ARF alone
and all five measures) on Zipfian token streams of growing length, against a NumPy baseline
(per word: np.diff and np.minimum) measured in the same run, and extrapolates linearly to a
100-million-token corpus.

Run from the repository root:  python bench/bench_positions.py [--tokens 2000000,10000000]

Each step runs in a subprocess of its own; its peak memory is the rise of the peak resident size
(VmHWM, reset through /proc/self/clear_refs just before the step) over the resident size then. Before a time is reported the ARF of every word is
checked against the NumPy baseline to a relative 1e-12, and the values of 1 and 2 threads against
each other bit for bit.
"""

from __future__ import annotations

import argparse
import json
import platform
import subprocess
import sys
import time

import numpy as np

SEED = 20261208
EXTRAPOLATE_TO = 100_000_000


def zipf_tokens(count: int) -> list[str]:
    """A token stream whose frequencies follow Zipf's law (s = 1.1), about count / 60 types."""
    rng = np.random.default_rng(SEED)
    types = max(1000, count // 60)
    ranks = rng.zipf(1.1, size=count) % types
    vocabulary = np.array([f"w{i}" for i in range(types)], dtype=object)
    return vocabulary[ranks].tolist()


def numpy_arf(words: dict[str, np.ndarray], n: int) -> np.ndarray:
    out = np.empty(len(words))
    for w, positions in enumerate(words.values()):
        f = positions.shape[0]
        gaps = np.diff(positions, prepend=positions[-1] - n)
        v = n / f
        out[w] = np.minimum(gaps, v).sum() / v
    return out


def status_mib(field: str) -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak() -> None:
    """Makes the kernel's peak resident size (VmHWM) start again from the current size."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def step(name: str, tokens: int, threads: int) -> dict[str, float]:
    """One timed step in this (fresh) process."""
    import lexispan_table
    import pandas  # noqa: F401  (imported on first use; not part of any step's time)

    stream = zipf_tokens(tokens)
    lexispan_table.positions_from_tokens(stream[:1000])
    words = lexispan_table.positions_from_tokens(stream) if name != "tokens" else None
    if name != "tokens":
        del stream
    reset_peak()
    before = status_mib("VmRSS")
    start_wall, start_cpu = time.perf_counter(), time.process_time()
    if name == "tokens":
        result = lexispan_table.positions_from_tokens(stream)
        check = len(result)
    elif name == "numpy_arf":
        check = float(numpy_arf(words, tokens).sum())
    else:
        measures = ["arf"] if name == "arf" else None
        frame = lexispan_table.position_dispersion(words, tokens, measures=measures,
                                                   threads=threads)
        check = float(frame["arf"].sum())
    wall, cpu = time.perf_counter() - start_wall, time.process_time() - start_cpu
    return {"wall": wall, "cpu": cpu, "peak_mib": status_mib("VmHWM") - before, "check": check}


def verify(tokens: int) -> None:
    import lexispan_table

    words = lexispan_table.positions_from_tokens(zipf_tokens(tokens))
    one = lexispan_table.position_dispersion(words, tokens, threads=1)
    two = lexispan_table.position_dispersion(words, tokens, threads=2)
    for column in one.columns:
        assert one[column].to_numpy().tobytes() == two[column].to_numpy().tobytes(), column
    expected = numpy_arf(words, tokens)
    assert np.allclose(one["arf"].to_numpy(), expected, rtol=1e-12, atol=0), "ARF disagrees"
    stream = zipf_tokens(tokens)
    assert sum(p.shape[0] for p in words.values()) == len(stream)


def run_step(name: str, tokens: int, threads: int) -> dict[str, float]:
    output = subprocess.run([sys.executable, __file__, "--step", name, "--tokens", str(tokens),
                             "--threads", str(threads)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tokens", default="2000000,10000000")
    parser.add_argument("--step")
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    if args.step:
        print(json.dumps(step(args.step, int(args.tokens), args.threads)))
        return

    sizes = [int(t) for t in args.tokens.split(",")]
    verify(min(sizes))
    print(f"# {platform.processor() or platform.machine()}, Python {platform.python_version()},"
          f" NumPy {np.__version__}")
    print("tokens | step | threads | wall s | cpu s | positions/s per core | "
          "NumPy baseline / step, wall | same, cpu | peak MiB")
    for tokens in sizes:
        baseline = run_step("numpy_arf", tokens, 1)
        rows = [("numpy_arf", 1, baseline)]
        for name, threads in (("tokens", 1), ("arf", 1), ("arf", 2), ("all", 1), ("all", 2)):
            rows.append((name, threads, run_step(name, tokens, threads)))
        arf_values = {r[2]["check"] for r in rows if r[0] in ("arf", "all")}
        assert len(arf_values) == 1, "ARF sums differ between steps"
        for name, threads, timing in rows:
            rate = tokens / timing["cpu"] if timing["cpu"] > 0 else float("inf")
            wall_ratio = baseline["wall"] / timing["wall"]
            cpu_ratio = baseline["cpu"] / timing["cpu"] if timing["cpu"] > 0 else float("inf")
            print(f"{tokens} | {name} | {threads} | {timing['wall']:.3f} | {timing['cpu']:.3f} |"
                  f" {rate / 1e6:.1f} M | {wall_ratio:.1f} | {cpu_ratio:.1f} |"
                  f" {timing['peak_mib']:.0f}")
    largest = sizes[-1]
    factor = EXTRAPOLATE_TO / largest
    tokens_step = run_step("tokens", largest, 1)
    arf_step = run_step("arf", largest, 2)
    print(f"extrapolated to {EXTRAPOLATE_TO:,} tokens (x{factor:g}, linear), wall / cpu: "
          f"positions_from_tokens {tokens_step['wall'] * factor:.0f} / "
          f"{tokens_step['cpu'] * factor:.0f} s, ARF word list (2 threads) "
          f"{arf_step['wall'] * factor:.0f} / {arf_step['cpu'] * factor:.0f} s, peak memory "
          f"{tokens_step['peak_mib'] * factor / 1024:.1f} / {arf_step['peak_mib'] * factor / 1024:.1f}"
          f" GiB")


if __name__ == "__main__":
    main()
