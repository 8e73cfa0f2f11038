"""Threads, re-entry, fork and process pools: same results as a serial run, and no hang.

Everything that could hang runs in a subprocess with a timeout, or in threads
joined with a timeout, so a deadlock fails the test instead of stalling the
run. Forks happen only inside subprocesses: forking this (multi-threaded)
test process would itself warn.
"""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import IMPORT_RECORD_BITS, SINGLE_METRIC_NAMES, record_bits, value_bits
from lexispan import CorpusWordAnalyzer

A = CorpusWordAnalyzer
TIMEOUT = 120


def run_threads(threads):
    """Runs the threads to their end, switching between them as often as possible."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(TIMEOUT)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"

MEASURES = ["get_range", "get_sd_population", "get_vc_population", "get_juilland_d",
            "get_carroll_d2", "get_roschengren_s_adj", "get_dp", "get_dp_norm",
            "get_kl_divergence", "get_evenness_da", "get_jsd_dispersion",
            "get_hellinger_dispersion", "get_mean_text_frequency_ft", "get_pervasiveness_pt"]


def workload(seed):
    """One deterministic batch input; rows of odd counts and lengths."""
    parts = 3 + seed % 5
    rows = 17 + 23 * (seed % 4)
    sizes = [float(10 + (seed * 7 + i * 13) % 90) for i in range(parts)]
    matrix = [[float((seed + r * 3 + i * 5) % 7) for i in range(parts)] for r in range(rows)]
    return matrix, sizes, sum(sizes)


def evaluate(seed):
    """Every entry point on one input, as comparable bits."""
    matrix, sizes, total = workload(seed)
    analyzer = A(matrix[0], sizes, total)
    measures = [value_bits(getattr(analyzer, name)()) for name in MEASURES]
    singles = [value_bits(A.calculate_single_metric(matrix[1], sizes, total, name))
               for name in SINGLE_METRIC_NAMES]
    records = [record_bits(r) for r in A.calculate_batch_metrics(matrix, sizes, total)]
    return measures, singles, records, record_bits(analyzer.calculate_all_metrics())


def run_script(source, *args, timeout=TIMEOUT):
    try:
        completed = subprocess.run([sys.executable, "-c", textwrap.dedent(source), *args],
                                   capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"hung (killed after {timeout} s): {expired.stderr!r}")
    assert completed.returncode == 0, completed.stdout + completed.stderr
    return completed.stdout


def test_threads_agree_with_a_serial_run():
    seeds = range(8)
    expected = {seed: evaluate(seed) for seed in seeds}
    mismatches, errors = [], []

    def work(offset):
        try:
            for round_ in range(300):
                seed = (offset + round_) % len(seeds)
                if evaluate(seed) != expected[seed]:
                    mismatches.append(seed)
        except BaseException as error:  # reported below, on the main thread
            errors.append(repr(error))

    run_threads([threading.Thread(target=work, args=(i,), daemon=True) for i in range(6)])
    assert errors == []
    assert mismatches == []


def test_threads_converting_slow_inputs_share_one_analyzer():
    """Conversions that run Python code let other threads in mid-call."""
    ROUNDS = 150
    shared = A([2, 0, 3], [100, 50, 150], 300)
    expected = record_bits(shared.calculate_all_metrics())
    results, errors = [], []

    class Slow:
        def __init__(self, value):
            self.value = value

        def __float__(self):
            # Other threads run their own calls on the shared analyzer here.
            if record_bits(shared.calculate_all_metrics()) != expected:
                errors.append("shared analyzer changed")
            return self.value

    def work():
        try:
            for _ in range(ROUNDS):
                row = [Slow(1.0), Slow(2.0), 3.0]
                records = A.calculate_batch_metrics([row] * 20, [10, 20, 30], 60)
                results.append({record_bits(r) for r in records})
        except BaseException as error:
            errors.append(repr(error))

    run_threads([threading.Thread(target=work, daemon=True) for _ in range(4)])
    assert errors == []
    serial = record_bits(A([1.0, 2.0, 3.0], [10, 20, 30], 60).calculate_all_metrics())
    assert results == [{serial}] * (4 * ROUNDS)


REENTRY = """
    {import_record_bits}
    from lexispan import CorpusWordAnalyzer as A

    matrix = [[float((r * 3 + i) % 5) for i in range(4)] for r in range(40)]
    sizes, total = [10.0, 20.0, 30.0, 40.0], 100.0
    serial = [record_bits(A(row, sizes, total).calculate_all_metrics()) for row in matrix]
    nested = []

    class Reenters:
        # Converting this item runs the same batch again, on the same pool.
        def __init__(self, value, depth):
            self.value, self.depth = value, depth

        def __float__(self):
            inner = matrix if self.depth == 0 else wrap(self.depth - 1)
            nested.append([record_bits(r) for r in A.calculate_batch_metrics(inner, sizes, total)])
            return self.value

    def wrap(depth):
        rows = [list(row) for row in matrix]
        rows[7][2] = Reenters(rows[7][2], depth)
        return rows

    for where in ("matrix", "sizes", "total"):
        nested.clear()
        if where == "matrix":
            result = A.calculate_batch_metrics(wrap(2), sizes, total)
        elif where == "sizes":
            result = A.calculate_batch_metrics(matrix, [Reenters(10.0, 0)] + sizes[1:], total)
        else:
            result = A.calculate_batch_metrics(matrix, sizes, Reenters(total, 0))
        assert [record_bits(r) for r in result] == serial, where
        assert nested and all(n == serial for n in nested), where
    print("ok")
"""


def test_batch_called_from_inside_its_own_conversion():
    assert run_script(REENTRY.format(import_record_bits=IMPORT_RECORD_BITS)).strip() == "ok"


FORK = """
    {import_record_bits}
    import os, warnings
    from lexispan import CorpusWordAnalyzer as A

    warnings.simplefilter("ignore", DeprecationWarning)  # fork with the pool's threads alive
    matrix = [[float((r * 5 + i) % 9) for i in range(6)] for r in range(70)]
    sizes, total = [float(5 + i) for i in range(6)], 45.0
    serial = [record_bits(A(row, sizes, total).calculate_all_metrics()) for row in matrix]

    def batch_agrees():
        return [record_bits(r) for r in A.calculate_batch_metrics(matrix, sizes, total)] == serial

    def in_child(body):
        pid = os.fork()
        if pid == 0:
            status = 0 if body() else 1
            sys.stdout.flush()
            os._exit(status)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status) == 0

    assert batch_agrees()  # the pool exists before the fork
    assert in_child(batch_agrees), "child"
    assert in_child(lambda: batch_agrees() and in_child(batch_agrees)), "grandchild"
    assert batch_agrees(), "parent after the forks"
    print("ok")
"""


def test_batch_in_a_forked_child():
    assert run_script(FORK.format(import_record_bits=IMPORT_RECORD_BITS)).strip() == "ok"


POOL = """
    {import_record_bits}
    import multiprocessing, warnings
    from lexispan import CorpusWordAnalyzer as A

    def job(seed):
        matrix = [[float((seed + r * 3 + i) % 7) for i in range(5)] for r in range(33)]
        sizes = [float(3 + (seed + i) % 11) for i in range(5)]
        total = sum(sizes)
        batch = [record_bits(r) for r in A.calculate_batch_metrics(matrix, sizes, total)]
        serial = [record_bits(A(row, sizes, total).calculate_all_metrics()) for row in matrix]
        return seed, batch == serial, batch

    if __name__ == "__main__":
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with the pool's threads alive
        method = sys.argv[1]
        expected = {{seed: job(seed)[2] for seed in range(12)}}  # also creates the pool here
        context = multiprocessing.get_context(method)
        with context.Pool(2) as pool:
            results = pool.map(job, range(12), chunksize=1)
        assert all(agrees for _, agrees, _ in results), method
        assert all(batch == expected[seed] for seed, _, batch in results), method
        print("ok", method)
"""


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pool(tmp_path, method):
    script = tmp_path / "pool_script.py"
    script.write_text(textwrap.dedent(POOL.format(import_record_bits=IMPORT_RECORD_BITS)))
    try:
        completed = subprocess.run([sys.executable, str(script), method], capture_output=True,
                                   text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"hung (killed after {TIMEOUT} s): {expired.stderr!r}")
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert completed.stdout.split() == ["ok", method]


INTERRUPT = """
    {import_record_bits}
    import signal, time
    import numpy as np
    from lexispan import CorpusWordAnalyzer as A

    # About seven seconds of rows here, each short enough to end soon once stopped.
    columns = 16000
    matrix = np.random.default_rng(5).random((800, columns))
    sizes = np.full(columns, 100.0)
    total = 100.0 * columns
    idle = sys.getrefcount(matrix)
    seen = {{}}

    def on_interrupt(signum, frame):
        # While the batch runs it holds references to the matrix.
        seen["during_batch"] = sys.getrefcount(matrix) > idle
        signal.default_int_handler(signum, frame)

    signal.signal(signal.SIGINT, on_interrupt)
    print("started", flush=True)
    try:
        A.calculate_batch_metrics(matrix, sizes, total)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), seen["during_batch"], flush=True)
    else:
        print("finished", flush=True)

    # The pool is healthy afterwards.
    small = [[float((r * 5 + i) % 9) for i in range(6)] for r in range(70)]
    small_sizes = [float(5 + i) for i in range(6)]
    serial = [record_bits(A(row, small_sizes, 45.0).calculate_all_metrics()) for row in small]
    again = A.calculate_batch_metrics(small, small_sizes, 45.0)
    print("agrees", [record_bits(r) for r in again] == serial, flush=True)
"""


def test_interrupt_stops_a_long_batch_and_leaves_the_pool_healthy():
    pytest.importorskip("numpy")
    script = textwrap.dedent(INTERRUPT.format(import_record_bits=IMPORT_RECORD_BITS))
    child = subprocess.Popen([sys.executable, "-c", script],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().split() == ["started"]
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=TIMEOUT)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, out + err
    lines = out.splitlines()
    kind, raised, during_batch = lines[0].split()
    # The handler ran while the native call was still reading the matrix:
    # the interrupt was seen inside the batch, not after it had ended.
    assert (kind, during_batch) == ("interrupted", "True"), out + err
    print(f"KeyboardInterrupt {float(raised) - sent:.3f} s after SIGINT")
    assert lines[1:] == ["agrees True"], out + err
