#!/usr/bin/env python3
"""Times lexispan's batch evaluation against a loop of single-word calls, plain Python and NumPy.

Run from the repository root:  python bench/bench_batch.py [--quick] [--cases small,large]

Batch calls, conversion and the NumPy runs over the whole matrix are the best of --repeats runs;
the loop of single-word calls runs once over every row; the slow baselines run once on a sample of
rows and are scaled to the whole case (labelled as such). Wall and CPU time are both reported:
CPU time counts all threads of the process, so it stays meaningful on a shared machine. Before any
time is reported the batch records are checked bit for bit against the single-word path, and the
Python and NumPy references against lexispan to a relative tolerance.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, NamedTuple

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import lexispan  # noqa: E402

import reference_numpy  # noqa: E402
import reference_python  # noqa: E402
from corpus_data import CASES, QUICK_CASES, Case, CaseShape, make_case  # noqa: E402

Analyzer = lexispan.CorpusWordAnalyzer
FIELDS = reference_python.FIELDS
SEED = 20261208
REL_TOLERANCE = 1e-9
# Below this magnitude a difference is taken as absolute: near-zero values such as Juilland's D of
# a word found in one part are rounding noise around 0, where a relative figure means nothing.
REL_FLOOR = 1e-9

# Rows timed for the slow baselines, per case; None means every row.
SAMPLE_ROWS: dict[str, dict[str, int | None]] = {
    "small": {"python": 100, "pairwise": None, "single": None},
    "large": {"python": 8, "pairwise": 100, "single": 2_000},
}
QUICK_SAMPLE_ROWS: dict[str, dict[str, int | None]] = {
    "small": {"python": 20, "pairwise": None, "single": None},
    "large": {"python": 5, "pairwise": 50, "single": 500},
}


class Timing(NamedTuple):
    """Wall-clock seconds and CPU seconds of this process (all its threads, the pool's too)."""

    wall: float
    cpu: float

    def __sub__(self, other: Timing) -> Timing:  # type: ignore[override]
        return Timing(self.wall - other.wall, self.cpu - other.cpu)

    def scaled(self, factor: float) -> Timing:
        return Timing(self.wall * factor, self.cpu * factor)


class Stopwatch:
    def __enter__(self) -> Stopwatch:
        self._wall, self._cpu = time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *exc: object) -> None:
        self.timing = Timing(time.perf_counter() - self._wall, time.process_time() - self._cpu)


def best_of(fn: Callable[[], Any], repeats: int) -> tuple[Timing, Any]:
    """Fastest wall time and smallest CPU time over the runs, taken separately."""
    wall = cpu = float("inf")
    result = None
    for _ in range(repeats):
        with Stopwatch() as watch:
            result = fn()
        wall, cpu = min(wall, watch.timing.wall), min(cpu, watch.timing.cpu)
    return Timing(wall, cpu), result


def spaced_rows(count: int, wanted: int | None) -> np.ndarray:
    """Evenly spaced row indices, so a sample covers frequent and rare words alike."""
    if wanted is None or wanted >= count:
        return np.arange(count)
    return np.unique(np.linspace(0, count - 1, wanted).round().astype(np.int64))


def record_arrays(records: list[Any]) -> dict[str, np.ndarray]:
    return {
        name: np.array([getattr(rec, name) for rec in records], dtype=np.float64)
        for name in FIELDS
    }


def bit_identical(a: dict[str, np.ndarray], b: dict[str, np.ndarray]) -> bool:
    return all(np.array_equal(a[k].view(np.int64), b[k].view(np.int64)) for k in FIELDS)


def max_rel_diff(ref: dict[str, np.ndarray], lex: dict[str, np.ndarray]) -> tuple[float, str]:
    worst, where = 0.0, FIELDS[0]
    for name in FIELDS:
        a, b = ref[name], lex[name]
        scale = np.maximum(np.abs(a), np.abs(b))
        diff = np.abs(a - b)
        rel = np.where(scale >= REL_FLOOR, diff / np.where(scale > 0, scale, 1.0), diff)
        both_nan = np.isnan(a) & np.isnan(b)
        rel = np.where(both_nan, 0.0, np.where(np.isnan(rel), np.inf, rel))
        if rel.size and rel.max() > worst:
            worst, where = float(rel.max()), name
    return worst, where


def fails_at_row_check(matrix: Any, sizes: Any, total: float) -> Callable[[], None]:
    """A call that converts all its inputs and then stops at the row-length check."""

    def call() -> None:
        try:
            Analyzer.calculate_batch_metrics(matrix, sizes, total)
        except ValueError as exc:
            if not str(exc).startswith("Row "):
                raise
        else:
            raise AssertionError("the malformed batch call did not fail")

    return call


def batch_call(case: Case, rows: list[list[float]], sizes: list[float], kind: str) -> Any:
    if kind == "list":
        return Analyzer.calculate_batch_metrics(rows, sizes, case.total)
    return Analyzer.calculate_batch_metrics(case.matrix, case.sizes, case.total)


def child_server(shape: CaseShape, seed: int, row_limit: int | None, cpus: str | None) -> None:
    """Times batch calls on request; the parent fixed this process's pool size in the environment.

    Reads "list" or "array" lines from stdin and answers each with one JSON line of timings, so
    that the parent can interleave these runs with its own and both see the same machine load.
    With `cpus`, the process (and so the pool's workers, which inherit it) runs on those CPUs only.
    """
    if cpus:
        os.sched_setaffinity(0, {int(cpu) for cpu in cpus.split(",")})
    case = make_case(shape, seed, rows=row_limit)
    rows: list[list[float]] = case.matrix.tolist()
    sizes: list[float] = case.sizes.tolist()
    Analyzer.calculate_batch_metrics([[1.0]], [1.0], 1.0)  # create the pool outside the timing
    print("ready", flush=True)
    for request in sys.stdin:
        kind = request.strip()
        if kind not in ("list", "array"):
            break
        with Stopwatch() as watch:
            batch_call(case, rows, sizes, kind)
        print(json.dumps(watch.timing), flush=True)


class Child:
    """A benchmark process of its own with RAYON_NUM_THREADS set, started before the parent's
    data generation so that both build the case at the same time."""

    def __init__(self, shape_name: str, args: argparse.Namespace, threads: int,
                 rows: int | None = None, cpus: str | None = None) -> None:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        cmd = [sys.executable, str(Path(__file__).resolve()), "--child", shape_name,
               "--seed", str(args.seed)]
        if args.quick:
            cmd.append("--quick")
        if rows is not None:
            cmd += ["--child-rows", str(rows)]
        if cpus is not None:
            cmd += ["--child-cpus", cpus]
        self._proc = subprocess.Popen(
            cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        self._ready = False

    def time(self, kind: str) -> Timing:
        stdin, stdout = self._proc.stdin, self._proc.stdout
        assert stdin is not None and stdout is not None
        if not self._ready:
            if stdout.readline().strip() != "ready":
                raise RuntimeError("the benchmark child process failed to start")
            self._ready = True
        stdin.write(kind + "\n")
        stdin.flush()
        answer = stdout.readline()
        if not answer:
            raise RuntimeError("the benchmark child process ended early")
        return Timing(*json.loads(answer))

    def close(self) -> None:
        if self._proc.stdin is not None:
            self._proc.stdin.close()
        try:
            self._proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()


@dataclass
class Line:
    label: str
    time: Timing
    note: str = ""


@dataclass
class CaseReport:
    name: str
    words: int
    parts: int
    lines: list[Line] = field(default_factory=list)
    extra: dict[str, Any] = field(default_factory=dict)
    checks: list[tuple[str, float, str, bool]] = field(default_factory=list)


def run_case(shape: CaseShape, args: argparse.Namespace) -> CaseReport:
    samples = (QUICK_SAMPLE_ROWS if args.quick else SAMPLE_ROWS)[shape.name]
    report = CaseReport(shape.name, shape.words, shape.parts)
    report.extra["load_before"] = load_average()
    child = Child(shape.name, args, threads=1)
    try:
        start = time.perf_counter()
        case = make_case(shape, args.seed)
        rows: list[list[float]] = case.matrix.tolist()
        sizes: list[float] = case.sizes.tolist()
        total = case.total
        report.extra["generate_s"] = time.perf_counter() - start
        report.extra["total_words"] = total
        count = shape.words
        print(f"  generated in {report.extra['generate_s']:.1f} s; timing ...", flush=True)

        # (a) batch on the default pool, created beforehand so that its start-up is not timed,
        # and with one worker in the child, the two taking turns run by run.
        Analyzer.calculate_batch_metrics([[1.0]], [1.0], 1.0)
        best: dict[str, Timing] = {}
        results: dict[str, Any] = {}
        for _ in range(args.repeats):
            for kind in ("list", "array"):
                with Stopwatch() as watch:
                    results[kind] = batch_call(case, rows, sizes, kind)
                for key, timing in ((kind, watch.timing), ("one " + kind, child.time(kind))):
                    old = best.get(key, Timing(float("inf"), float("inf")))
                    best[key] = Timing(min(old.wall, timing.wall), min(old.cpu, timing.cpu))
    finally:
        child.close()
    t_batch, t_batch_array = best["list"], best["array"]
    one = {"list": best["one list"], "array": best["one array"]}
    lex = record_arrays(results.pop("list"))
    report.checks.append(
        ("batch from ndarray == batch from lists (bits)", 0.0, "",
         bit_identical(lex, record_arrays(results.pop("array"))))
    )
    report.lines += [
        Line("(a) batch, default pool, list of lists", t_batch),
        Line("(a) batch, default pool, ndarray", t_batch_array),
        Line("(a) batch, RAYON_NUM_THREADS=1, list of lists", one["list"], "subprocess"),
        Line("(a) batch, RAYON_NUM_THREADS=1, ndarray", one["array"], "subprocess"),
    ]

    # Input conversion: calls that convert everything and then fail before any row is evaluated.
    bad_last_row = rows[:-1] + [rows[-1][:-1]]
    t_conv_list, _ = best_of(fails_at_row_check(bad_last_row, sizes, total), args.repeats)
    t_conv_list_sizes, _ = best_of(fails_at_row_check(rows, sizes + [1.0], total), args.repeats)
    t_conv_array, _ = best_of(
        fails_at_row_check(case.matrix, np.append(case.sizes, 1.0), total), args.repeats
    )
    del bad_last_row
    report.extra.update(
        conv_list=t_conv_list, conv_list_sizes=t_conv_list_sizes, conv_array=t_conv_array
    )

    # (b) one analyzer per row.
    with Stopwatch() as watch:
        loop_records = [Analyzer(row, sizes, total).calculate_all_metrics() for row in rows]
    t_loop = watch.timing
    report.checks.append(
        ("batch == loop of calculate_all_metrics (bits)", 0.0, "",
         bit_identical(lex, record_arrays(loop_records)))
    )
    del loop_records
    report.lines.append(Line("(b) loop of CorpusWordAnalyzer(...).calculate_all_metrics()", t_loop))

    # DA alone through the single-metric call, less a linear measure for the per-call overhead.
    picked = spaced_rows(count, samples["single"])
    sample = [rows[i] for i in picked]
    with Stopwatch() as watch:
        for row in sample:
            Analyzer.calculate_single_metric(row, sizes, total, "evenness_da")
    t_single_da = watch.timing
    with Stopwatch() as watch:
        for row in sample:
            Analyzer.calculate_single_metric(row, sizes, total, "dp")
    t_single_dp = watch.timing
    report.extra.update(
        single_rows=len(picked), single_da=t_single_da, single_dp=t_single_dp
    )

    # (c) plain Python on a sample of rows.
    picked = spaced_rows(count, samples["python"])
    with Stopwatch() as watch:
        py_records = [reference_python.all_metrics(rows[i], sizes, total) for i in picked]
    t_py = watch.timing.scaled(count / len(picked))
    py = {k: np.array([rec[k] for rec in py_records], dtype=np.float64) for k in FIELDS}
    worst, where = max_rel_diff(py, {k: lex[k][picked] for k in FIELDS})
    report.checks.append(
        (f"plain Python vs lexispan, {len(picked)} rows", worst, where, worst <= REL_TOLERANCE)
    )
    report.lines.append(Line("(c) plain Python", t_py, extrapolated(len(picked), count)))

    # (d) NumPy over the whole matrix with sorted DA, then pairwise DA.
    t_np_sorted, np_sorted = best_of(
        lambda: reference_numpy.all_metrics(case.matrix, case.sizes, total, "sorted"), args.repeats
    )
    worst, where = max_rel_diff(np_sorted, lex)
    report.checks.append(
        (f"NumPy (sorted DA) vs lexispan, {count} rows", worst, where, worst <= REL_TOLERANCE)
    )
    del np_sorted
    t_np_no_da, _ = best_of(
        lambda: reference_numpy.all_metrics(case.matrix, case.sizes, total, None), args.repeats
    )
    picked = spaced_rows(count, samples["pairwise"])
    block = case.matrix[picked]
    with Stopwatch() as watch:
        np_pairwise = reference_numpy.all_metrics(block, case.sizes, total, "pairwise")
    t_np_pairwise = watch.timing.scaled(count / len(picked))
    worst, where = max_rel_diff(np_pairwise, {k: lex[k][picked] for k in FIELDS})
    report.checks.append(
        (f"NumPy (pairwise DA) vs lexispan, {len(picked)} rows", worst, where,
         worst <= REL_TOLERANCE)
    )
    report.lines += [
        Line("(d) NumPy, DA by the sorted formula", t_np_sorted),
        Line("(d) NumPy, DA pairwise", t_np_pairwise, extrapolated(len(picked), count)),
        Line("    NumPy without DA (14 values, for scale)", t_np_no_da, "not a baseline"),
    ]
    report.extra.update(batch=t_batch, batch_array=t_batch_array, batch_one=one, loop=t_loop)
    report.extra["load_after"] = load_average()
    return report


def run_scaling(shape: CaseShape, args: argparse.Namespace) -> None:
    """The first rows of the large case in one process per (workers, CPUs) setting, taking turns."""
    usable = sorted(os.sched_getaffinity(0))
    rows = 500 if args.quick else 8_000
    settings = [(1, usable[:1]), (2, usable[:1])]
    if len(usable) >= 2:
        settings += [(1, usable[:2]), (2, usable[:2])]
    print(f"\n== pool scaling: first {rows:,} rows of the {shape.name} case, list input,"
          f" best of {args.repeats}; load average {load_average()} ==")
    children = [
        Child(shape.name, args, threads=workers, rows=rows,
              cpus=",".join(str(cpu) for cpu in cpus))
        for workers, cpus in settings
    ]
    best = [Timing(float("inf"), float("inf")) for _ in settings]
    try:
        for _ in range(args.repeats):
            for k, child in enumerate(children):
                t = child.time("list")
                best[k] = Timing(min(best[k].wall, t.wall), min(best[k].cpu, t.cpu))
    finally:
        for child in children:
            child.close()
    base = best[0]
    print(f"  {'setting':<28}{'wall s':>9}{'cpu s':>9}{'wall vs 1w/1cpu':>17}{'cpu vs 1w/1cpu':>16}")
    for (workers, cpus), t in zip(settings, best):
        label = f"{workers} worker(s) on CPU {','.join(map(str, cpus))}"
        print(f"  {label:<28}{t.wall:>9.3f}{t.cpu:>9.3f}{base.wall / t.wall:>16.2f}x"
              f"{t.cpu / base.cpu:>15.2f}x")
    print(f"  load average after: {load_average()}")


def extrapolated(rows: int, count: int) -> str:
    return "" if rows >= count else f"extrapolated from {rows} rows"


def print_report(report: CaseReport) -> None:
    x = report.extra
    base, base_one = x["batch"], x["batch_one"]["list"]
    count = report.words
    print(f"\n== {report.name}: {report.words:,} words x {report.parts:,} parts, "
          f"T = {x['total_words']:,.0f}; load average {x['load_before']}"
          f" before, {x['load_after']} after ==")
    print("checks (max relative difference; absolute below %g):" % REL_FLOOR)
    for label, worst, where, ok in report.checks:
        detail = f"{worst:.2e} ({where})" if worst > 0 else ("0" if where else "")
        print(f"  {'ok  ' if ok else 'FAIL'} {label} {detail}")
    print("  'x batch' = wall time / wall time of the batch on the default pool (list input);")
    print("  'x 1w cpu' = CPU time / CPU time of the batch with 1 worker (list input), the per-core"
          " work ratio, which a busy machine disturbs less")
    print(f"  {'method':<58}{'wall s':>9}{'cpu s':>9}{'ms/row':>9}{'x batch':>9}{'x 1w cpu':>9}")
    for line in report.lines:
        t = line.time
        print(f"  {line.label:<58}{t.wall:>9.3f}{t.cpu:>9.3f}{1e3 * t.wall / count:>9.4f}"
              f"{t.wall / base.wall:>9.2f}{t.cpu / base_one.cpu:>9.2f}  {line.note}")

    print("  input conversion (call that converts everything, then fails the row-length check):")
    for label, conv, full in (
        ("list of lists, short last row", x["conv_list"], base),
        ("list of lists, part sizes one too long", x["conv_list_sizes"], base),
        ("ndarray, part sizes one too long", x["conv_array"], x["batch_array"]),
    ):
        rest = full - conv
        print(f"    {label:<40} convert {conv.wall:7.3f} s wall ({conv.cpu:.3f} cpu)"
              f" = {100 * conv.wall / full.wall:5.1f}% of the batch call;"
              f" evaluate + build records {rest.wall:7.3f} s wall ({rest.cpu:.3f} cpu)")

    one_eval = base_one - x["conv_list"]
    loop = x["loop"]
    rows = x["single_rows"]
    da_row = (x["single_da"] - x["single_dp"]).scaled(1e3 / rows)
    print("  per core (cpu time, wall in brackets):")
    print(f"    batch, 1 worker: {1e3 * base_one.cpu / count:.4f} ms/row"
          f" ({1e3 * base_one.wall / count:.4f}); less input conversion:"
          f" {1e3 * one_eval.cpu / count:.4f} ms/row ({1e3 * one_eval.wall / count:.4f})")
    print(f"    loop (b): {1e3 * loop.cpu / count:.4f} ms/row ({1e3 * loop.wall / count:.4f}),"
          f" {loop.cpu / base_one.cpu:.2f}x the 1-worker batch ({loop.wall / base_one.wall:.2f}x),"
          f" {loop.cpu / one_eval.cpu:.2f}x it less conversion ({loop.wall / one_eval.wall:.2f}x)")
    print(f"    scalar DA alone, calculate_single_metric 'evenness_da' minus 'dp' over {rows} rows:"
          f" {da_row.cpu:.4f} ms/row ({da_row.wall:.4f})")
    array_one = x["batch_one"]["array"]
    print(f"    wall-time speed-up of the default pool over 1 worker: {base_one.wall / base.wall:.2f}x"
          f" (list input), {array_one.wall / x['batch_array'].wall:.2f}x (ndarray input)")


def load_average() -> str:
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def machine_line() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            for text in info:
                if text.startswith("model name"):
                    model = text.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0))
    try:
        # With autogroup on, a process's CPU share is its session's, whatever its thread count.
        autogroup = Path("/proc/sys/kernel/sched_autogroup_enabled").read_text().strip()
    except OSError:
        autogroup = "unknown"
    load = load_average()
    return (f"{model}; os.cpu_count() = {os.cpu_count()}, sched_getaffinity = {usable}; "
            f"sched_autogroup_enabled = {autogroup}; load average {load}; Python {platform.python_version()}, NumPy {np.__version__}; "
            f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small shapes, for a smoke run")
    parser.add_argument("--cases", default="small,large", help="comma-separated: small,large")
    parser.add_argument("--repeats", type=int, default=None, help="best of N (default 3; 1 quick)")
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--json", type=Path, help="also write the raw figures here")
    parser.add_argument("--scaling", action="store_true",
                        help="also time the pool with 1 and 2 workers pinned to 1 and 2 CPUs")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--child-rows", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--child-cpus", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.repeats is None:
        args.repeats = 1 if args.quick else 3
    shapes = QUICK_CASES if args.quick else CASES

    if args.child:
        child_server(shapes[args.child], args.seed, args.child_rows, args.child_cpus)
        return 0

    names = [name.strip() for name in args.cases.split(",") if name.strip()]
    unknown = [name for name in names if name not in shapes]
    if unknown:
        parser.error(f"unknown case(s): {', '.join(unknown)}")
    print("machine:", machine_line())
    print(f"batch, conversion and whole-matrix NumPy times are best of {args.repeats};"
          " the loop and the sampled baselines run once")
    started = time.perf_counter()
    reports = []
    for name in names:
        shape = shapes[name]
        print(f"\ncase {name}: {shape.words:,} x {shape.parts:,}", flush=True)
        report = run_case(shape, args)
        print_report(report)
        reports.append(report)
    if args.scaling:
        run_scaling(shapes["large"], args)
    print(f"\nwhole run {time.perf_counter() - started:.0f} s; machine: {machine_line()}")

    if args.json:
        args.json.write_text(json.dumps(
            [{"case": r.name, "words": r.words, "parts": r.parts,
              "lines": [{"label": ln.label, "wall": ln.time.wall, "cpu": ln.time.cpu,
                         "note": ln.note} for ln in r.lines],
              "extra": r.extra,
              "checks": r.checks} for r in reports], indent=2))
    failed = [label for r in reports for label, _, _, ok in r.checks if not ok]
    if failed:
        print("FAILED checks:", "; ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
