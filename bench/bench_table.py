#!/usr/bin/env python3
"""Times the table API on Zipf corpora given as CSR against a vectorised SciPy peer.

Run from the repository root:  python bench/bench_table.py [--quick] [--cases A,B] [--repeats N]

Every (case, method) runs in a subprocess of its own, so that its peak resident memory (growth
over the loaded corpus, sampled every 2 ms) and its Python-side peak (tracemalloc, which sees NumPy's arrays
but not the engine's C++ buffers) belong to that method alone. Methods: the table with
da="pairwise" (the record's bits), da="sorted", and without the two DA columns; the peer with all
17 columns (DA by the sorted identity) and without DA. Before any figure is printed: sampled rows
of the pairwise table equal the single-word analyzer bit for bit, the columns shared by the three
table modes are the same bits, sorted DA is within 1e-9 of pairwise DA, and the peer is within a
relative 1e-8 of the table on every column (1e-6 for its DA, whose sorted identity cancels).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from pathlib import Path

import numpy as np
import scipy.sparse as sp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import scipy_peer  # noqa: E402
from sparse_corpus import make_sparse_case  # noqa: E402

SEED = 20261208
CASES = {"20000x2000": (20_000, 2_000), "2000x32000": (2_000, 32_000),
         "12000x30000": (12_000, 30_000), "100000x10000": (100_000, 10_000)}
QUICK_CASES = {"4000x1000": (4_000, 1_000), "500x8000": (500, 8_000),
               "2000x6000": (2_000, 6_000), "10000x2500": (10_000, 2_500)}
METHODS = ("table pairwise", "table sorted", "table no DA", "peer", "peer no DA")
DA_COLUMNS = ("evenness_da", "ft_adjusted_by_da")
CACHE = Path(tempfile.gettempdir()) / "lexispan-bench-corpora"


def corpus_path(case: str, shape: tuple[int, int]) -> Path:
    return CACHE / f"{case}-{SEED}.npz"


def ensure_corpus(case: str, shape: tuple[int, int]) -> Path:
    path = corpus_path(case, shape)
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        built = make_sparse_case(*shape, seed=SEED)
        tmp = path.with_suffix(".part.npz")
        np.savez(tmp, data=built.counts.data, indices=built.counts.indices,
                 indptr=built.counts.indptr, shape=np.array(built.counts.shape),
                 sizes=built.sizes, total=np.array(built.total))
        tmp.rename(path)
    return path


def load_corpus(path: Path) -> tuple[sp.csr_matrix, np.ndarray, float]:
    with np.load(path) as z:
        counts = sp.csr_matrix((z["data"], z["indices"], z["indptr"]), shape=tuple(z["shape"]))
        return counts, z["sizes"], float(z["total"])


def run_method(method: str, counts, sizes, total) -> dict[str, np.ndarray]:
    import lexispan_table

    if method.startswith("table"):
        names = None
        da = "pairwise"
        if method == "table sorted":
            da = "sorted"
        elif method == "table no DA":
            names = [m for m in lexispan_table.DEFAULT_MEASURE_NAMES if m not in DA_COLUMNS]
        return lexispan_table.dispersion_arrays(counts, sizes, total, measures=names, da=da)
    return scipy_peer.dispersion(counts, sizes, total, da=method == "peer")


def current_rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class RssPeak:
    """The largest resident size seen every 2 ms while the block runs (ru_maxrss also counts
    the corpus loading, which may have peaked higher than the method)."""

    def __enter__(self):
        self.peak = current_rss_bytes()
        self.running = True
        self.thread = threading.Thread(target=self._poll, daemon=True)
        self.thread.start()
        return self

    def _poll(self):
        while self.running:
            self.peak = max(self.peak, current_rss_bytes())
            time.sleep(0.002)

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()
        self.peak = max(self.peak, current_rss_bytes())


def worker(path: Path, method: str, repeats: int, out_path: Path) -> None:
    counts, sizes, total = load_corpus(path)
    measured(lambda: run_method(method, counts, sizes, total), repeats, out_path)


def measured(run, repeats: int, out_path: Path) -> None:
    """Runs `run` `repeats` times, saves its arrays to out_path and prints, as JSON, the best
    wall and CPU times and the first run's RSS growth and tracemalloc peak."""
    rss_before = current_rss_bytes()
    walls, cpus = [], []
    traced = 0
    rss_growth = 0
    result = None
    for r in range(repeats):
        if r == 0:
            tracemalloc.start()
        with RssPeak() as peak:
            wall, cpu = time.perf_counter(), time.process_time()
            result = run()
            walls.append(time.perf_counter() - wall)
            cpus.append(time.process_time() - cpu)
        if r == 0:
            traced = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            rss_growth = max(0, peak.peak - rss_before)
    np.savez(out_path, **result)
    print(json.dumps({"wall": min(walls), "cpu": min(cpus), "rss_growth": rss_growth,
                      "traced_peak": traced}))


def spawn(path: Path, method: str, repeats: int, out_path: Path, script: str = __file__) -> dict:
    """Runs `script --worker` on one (corpus, method) in a fresh interpreter."""
    run = subprocess.run([sys.executable, script, "--worker", str(path), method,
                          str(repeats), str(out_path)], capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit(f"{method} failed:\n{run.stdout}\n{run.stderr}")
    return json.loads(run.stdout.strip().splitlines()[-1])


def spawn_all(path: Path, methods, repeats: int, script: str = __file__
              ) -> tuple[dict[str, dict], dict[str, dict[str, np.ndarray]]]:
    """Each method's timings and saved columns, every method in a fresh
    interpreter of its own (spawn), in order."""
    timings, outputs = {}, {}
    with tempfile.TemporaryDirectory() as scratch:
        for number, method in enumerate(methods):
            out = Path(scratch) / f"{number}.npz"
            timings[method] = spawn(path, method, repeats, out, script=script)
            with np.load(out) as saved:
                outputs[method] = {name: saved[name] for name in saved.files}
    return timings, outputs


def print_timings(timings: dict[str, dict], base: str = "peer") -> None:
    """The timings as a Markdown table, each method's wall time also as a
    ratio to `base`'s."""
    print(f"| method | wall s | cpu s | wall / {base} | RSS growth MiB | traced peak MiB |")
    print("|---|---|---|---|---|---|")
    for method, t in timings.items():
        print(f"| {method} | {t['wall']:.2f} | {t['cpu']:.2f} | "
              f"{t['wall'] / timings[base]['wall']:.2f} | {mib(t['rss_growth'])} | "
              f"{mib(t['traced_peak'])} |")


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint8)


def check(case: str, counts, sizes, total, outputs: dict[str, dict], samples: int) -> list[str]:
    """Asserts agreement; returns lines describing what was checked."""
    from lexispan import CorpusWordAnalyzer

    pairwise = outputs["table pairwise"]
    lines = []
    # Sampled rows, the densest ones included, against the plain single-word walk.
    k = np.diff(counts.indptr)
    rng = np.random.default_rng(SEED)
    rows = set(rng.choice(counts.shape[0], size=min(samples, counts.shape[0]), replace=False))
    rows |= {int(np.argmax(k)), int(np.argmin(np.abs(k * 3 - counts.shape[1])))}
    for w in sorted(rows):
        record = CorpusWordAnalyzer(counts[w].toarray().ravel().tolist(), sizes.tolist(),
                                    total).calculate_all_metrics()
        for name, column in pairwise.items():
            if name == "frequency":
                continue
            want = np.array([getattr(record, name)], dtype=column.dtype)
            assert bits(column[w:w + 1]).tobytes() == bits(want).tobytes(), (case, w, name)
    lines.append(f"{len(rows)} rows (densest and the one nearest the DA switch included) "
                 f"== single-word analyzer, bit for bit")
    for method in ("table sorted", "table no DA"):
        for name, column in outputs[method].items():
            if method == "table sorted" and name in DA_COLUMNS:
                assert np.max(np.abs(column - pairwise[name])) <= 1e-9, (case, name)
                continue
            assert bits(column).tobytes() == bits(pairwise[name]).tobytes(), (case, method, name)
    lines.append("table sorted / no DA: shared columns == pairwise, bit for bit; sorted DA "
                 "within 1e-9")
    worst = 0.0
    for method in ("peer", "peer no DA"):
        for name, column in outputs[method].items():
            ours = pairwise[name].astype(np.float64)
            theirs = column.astype(np.float64)
            scale = np.maximum(np.abs(ours), 1e-3)
            error = float(np.max(np.abs(theirs - ours) / scale))
            # The sorted identity weighs q by coefficients up to n and cancels.
            assert error <= (1e-6 if name in DA_COLUMNS else 1e-8), (case, method, name, error)
            worst = max(worst, error)
    lines.append(f"peer vs table: largest relative difference {worst:.1e}")
    return lines


def mib(n: float) -> str:
    return f"{n / 2**20:.0f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller corpora")
    parser.add_argument("--cases", help="comma-separated case names")
    parser.add_argument("--repeats", type=int, default=1, help="best of N runs per method")
    parser.add_argument("--samples", type=int, default=8, help="rows checked bit for bit")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        path, method, repeats, out = args.worker
        worker(Path(path), method, int(repeats), Path(out))
        return

    cases = QUICK_CASES if args.quick else CASES
    chosen = args.cases.split(",") if args.cases else list(cases)
    print(f"# {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}, NumPy {np.__version__}")
    summary = []
    for case in chosen:
        shape = cases[case]
        path = ensure_corpus(case, shape)
        counts, sizes, total = load_corpus(path)
        k = np.diff(counts.indptr)
        input_bytes = counts.data.nbytes + counts.indices.nbytes + counts.indptr.nbytes
        output_bytes = 17 * counts.shape[0] * 8
        print(f"\n## {case}: nnz {counts.nnz:,}, median word in {int(np.median(k))} parts, "
              f"{int(np.sum(k * 2 > counts.shape[1]))} words in most parts; CSR {mib(input_bytes)}"
              f" MiB, output {mib(output_bytes)} MiB")
        timings, outputs = spawn_all(path, METHODS, args.repeats)
        for line in check(case, counts, sizes, total, outputs, args.samples):
            print(f"checked: {line}")
        peer, peer_no_da = timings["peer"], timings["peer no DA"]
        print("| method | wall s | cpu s | wall / peer | wall / peer no DA | RSS growth MiB "
              "| traced peak MiB |")
        print("|---|---|---|---|---|---|---|")
        for method in METHODS:
            t = timings[method]
            print(f"| {method} | {t['wall']:.2f} | {t['cpu']:.2f} | {t['wall'] / peer['wall']:.2f} "
                  f"| {t['wall'] / peer_no_da['wall']:.2f} | {mib(t['rss_growth'])} "
                  f"| {mib(t['traced_peak'])} |")
        summary.append((case, timings))
    print("\n## Ratios against the 17-column peer, wall (CPU); no DA also against the peer "
          "without DA")
    for case, t in summary:
        def ratio(method, base="peer"):
            return (f"{t[method]['wall'] / t[base]['wall']:.2f} "
                    f"({t[method]['cpu'] / t[base]['cpu']:.2f})")
        print(f"{case}: pairwise {ratio('table pairwise')}, sorted {ratio('table sorted')}, "
              f"no DA {ratio('table no DA')} / {ratio('table no DA', 'peer no DA')}")


if __name__ == "__main__":
    main()
