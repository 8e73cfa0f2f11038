"""Time lexispan_table.dispersion on a Dask array against the in-memory call on
the same counts, with each process's peak memory.

    python bench/bench_dask.py            # 200,000 words x 20,000 parts
    python bench/bench_dask.py --quick    # 20,000 words x 2,000 parts

Each way runs in a process of its own, so each peak is its own:
- memory: the whole CSR matrix in one process, dispersion_arrays with 2 threads
  (the baseline);
- threads: the same matrix as a dask array in blocks of words, Dask's threaded
  scheduler with 2 threads;
- cluster: a LocalCluster of 2 single-threaded worker processes; each worker
  makes its own blocks of words (nothing is shipped from the client) and keeps
  them, then dispersion gives a Dask DataFrame that is computed to the client;
- untrimmed: the same, without the MALLOC_TRIM_THRESHOLD_ that Dask's nanny
  sets for its workers by default.
Every way must give the baseline's values bit for bit before a time is shown.
DA is computed by the sorted method: the pairwise one costs a word time in
proportion to the square of the number of parts (44 ms a word at 20,000 parts).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

SEED = 20261208
PHASES = ("memory", "threads", "cluster", "untrimmed")


def part_weights(parts: int) -> np.ndarray:
    rng = np.random.default_rng(SEED)
    sizes = np.maximum(rng.lognormal(mean=6.5, sigma=1.0, size=parts), 20.0)
    return sizes / sizes.sum()


def word_frequencies(words: int, tokens: int) -> np.ndarray:
    ranks = np.arange(1, words + 1, dtype=np.float64)
    zipf = (1.0 / (ranks + 2.7)) ** 1.07
    return np.maximum(np.rint(tokens * zipf / zipf.sum()), 1).astype(np.int64)


def word_block(start: int, stop: int, words: int, parts: int, tokens: int):
    """Counts of words start..stop-1 (int64 CSR): each token of a word falls in
    a part with probability in proportion to the part's size."""
    import scipy.sparse as sparse

    rng = np.random.default_rng([SEED, start])
    frequencies = word_frequencies(words, tokens)[start:stop]
    rows = np.repeat(np.arange(stop - start, dtype=np.int32), frequencies)
    columns = rng.choice(parts, size=rows.size, p=part_weights(parts)).astype(np.int32)
    matrix = sparse.coo_matrix((np.ones(rows.size, dtype=np.int64), (rows, columns)),
                               shape=(stop - start, parts))
    return matrix.tocsr()


def bounds(words: int, block: int) -> list[tuple[int, int]]:
    return [(start, min(start + block, words)) for start in range(0, words, block)]


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def warm_up(lazy: bool) -> None:
    """One small call first, so imports and first-use costs stay out of the times."""
    import lexispan_table

    counts = word_block(0, 300, 300, 50, 5_000)
    if lazy:
        import dask
        import dask.array as da

        counts = da.from_array(counts, chunks=(100, 20), asarray=False)
        dask.compute(*lexispan_table.dispersion_arrays(counts, da="sorted").values())
    else:
        lexispan_table.dispersion_arrays(counts, da="sorted")


def run_memory(args, out):
    import scipy.sparse as sparse

    import lexispan_table

    warm_up(lazy=False)

    started = time.perf_counter()
    matrix = sparse.vstack([word_block(a, b, args.words, args.parts, args.tokens)
                            for a, b in bounds(args.words, args.block)], format="csr")
    made = time.perf_counter() - started
    started, cpu = time.perf_counter(), cpu_seconds()
    columns = lexispan_table.dispersion_arrays(matrix, da="sorted", threads=2)
    seconds, cpu = time.perf_counter() - started, cpu_seconds() - cpu
    for name, values in columns.items():
        np.save(os.path.join(out, f"{name}.npy"), values)
    return {"make": made, "seconds": seconds, "cpu": cpu, "peak": peak_mib(),
            "nnz": int(matrix.nnz)}


def run_threads(args, out):
    import dask
    import dask.array as da
    import scipy.sparse as sparse

    import lexispan_table

    matrix = sparse.vstack([word_block(a, b, args.words, args.parts, args.tokens)
                            for a, b in bounds(args.words, args.block)], format="csr")
    counts = da.from_array(matrix, chunks=(args.block, -1), asarray=False)
    with dask.config.set(scheduler="threads", num_workers=2):
        warm_up(lazy=True)
    started, cpu = time.perf_counter(), cpu_seconds()
    lazy = lexispan_table.dispersion_arrays(counts, da="sorted")
    with dask.config.set(scheduler="threads", num_workers=2):
        values = dask.compute(*lazy.values())
    seconds, cpu = time.perf_counter() - started, cpu_seconds() - cpu
    check(out, dict(zip(lazy, values)))
    return {"seconds": seconds, "cpu": cpu, "peak": peak_mib()}


def run_cluster(args, out, trim=True):
    import dask
    import dask.array as da
    import scipy.sparse as sparse
    from dask.delayed import delayed
    from distributed import Client, LocalCluster, wait

    import lexispan_table

    # Dask's nanny starts workers with MALLOC_TRIM_THRESHOLD_ set, which also
    # stops glibc from raising its mmap threshold: every buffer of a word that
    # is larger than 128 KiB is then mapped and unmapped again.
    environment = {} if trim else {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_":
                                   None}
    with dask.config.set(environment), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=None, silence_logs=40) as cluster, \
            Client(cluster) as client:
        warm_up(lazy=True)
        client.run(warm_up, False)
        make = delayed(word_block, pure=True)
        empty = sparse.csr_matrix((0, 0), dtype=np.int64)
        counts = da.concatenate([
            da.from_delayed(make(a, b, args.words, args.parts, args.tokens),
                            shape=(b - a, args.parts), dtype=np.int64, meta=empty)
            for a, b in bounds(args.words, args.block)
        ])
        started = time.perf_counter()
        counts = counts.persist()
        wait(counts)
        made = time.perf_counter() - started
        started, cpu = time.perf_counter(), cpu_seconds()
        before = client.run(cpu_seconds)
        frame = lexispan_table.dispersion(counts, da="sorted").compute()
        seconds = time.perf_counter() - started
        after = client.run(cpu_seconds)
        cpu = cpu_seconds() - cpu + sum(after[w] - before[w] for w in after)
        workers = client.run(peak_mib)
    check(out, {name: frame[name].to_numpy() for name in frame.columns})
    return {"make": made, "seconds": seconds, "cpu": cpu, "peak": peak_mib(),
            "workers": sorted(workers.values())}


def check(out, columns):
    for name, values in columns.items():
        expected = np.load(os.path.join(out, f"{name}.npy"))
        if values.dtype != expected.dtype or values.tobytes() != expected.tobytes():
            raise SystemExit(f"{name} differs from the in-memory call")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--phase", choices=PHASES)
    parser.add_argument("--out")
    args = parser.parse_args()
    args.words, args.parts, args.block = ((20_000, 2_000, 2_000) if args.quick
                                          else (200_000, 20_000, 10_000))
    args.tokens = args.parts * 1_000
    if args.phase:
        result = {"memory": run_memory, "threads": run_threads, "cluster": run_cluster,
                  "untrimmed": lambda *a: run_cluster(*a, trim=False)}[args.phase](args, args.out)
        print(json.dumps(result))
        return

    results = {}
    with tempfile.TemporaryDirectory() as out:
        for phase in PHASES:
            command = [sys.executable, __file__, "--phase", phase, "--out", out]
            if args.quick:
                command.append("--quick")
            done = subprocess.run(command, capture_output=True, text=True, check=False)
            if done.returncode != 0:
                sys.exit(f"{phase} failed:\n{done.stderr}")
            results[phase] = json.loads(done.stdout.strip().splitlines()[-1])
    base = results["memory"]["seconds"]
    print(f"{args.words:,} words x {args.parts:,} parts, {results['memory']['nnz']:,} stored "
          f"counts, blocks of {args.block:,} words, DA sorted; {platform.processor() or '?'}, "
          f"{os.cpu_count()} CPUs, Python {platform.python_version()}")
    print("every way gave the in-memory values bit for bit")
    base_cpu = results["memory"]["cpu"]
    print(f"{'way':<45} {'wall s':>7} {'ratio':>6} {'CPU s':>7} {'ratio':>6}  "
          f"peak memory (MiB)")
    rows = (("in memory, dispersion_arrays, 2 threads", "memory"),
            ("dask array, threaded scheduler, 2 threads", "threads"),
            ("LocalCluster, 2 worker processes x 1 thread", "cluster"),
            ("the same, MALLOC_TRIM_THRESHOLD_ not set", "untrimmed"))
    for title, phase in rows:
        result = results[phase]
        peak = f"{result['peak']:.0f}"
        if phase in ("cluster", "untrimmed"):
            workers = ", ".join(f"{value:.0f}" for value in result["workers"])
            peak = f"workers {workers}; client {peak}"
        print(f"{title:<45} {result['seconds']:7.1f} {result['seconds'] / base:6.2f} "
              f"{result['cpu']:7.1f} {result['cpu'] / base_cpu:6.2f}  {peak}")
    cluster = results["cluster"]
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    print(f"making the counts: in one process {results['memory']['make']:.1f} s, on the "
          f"cluster {cluster['make']:.1f} s (not in the times above)")


if __name__ == "__main__":
    main()
