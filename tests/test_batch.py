"""Batch evaluation: validation order, messages, and equality with the one-word path."""

import math
import os
import random
import subprocess
import sys
import textwrap

import pytest

from conftest import IMPORT_RECORD_BITS, record_bits
from lexispan import CorpusWordAnalyzer, DispersionMetrics

batch = CorpusWordAnalyzer.calculate_batch_metrics

def random_case(rng, rows, parts):
    values = [0, 0, 0, 1, 2, 3, 7, 0.5, -1, -0.0, float("nan"), float("inf"), 1e-300, 1e300]
    sizes = [rng.choice([0, -5, 1, 10, 1e12, float("nan")]) if rng.random() < 0.1
             else rng.randint(1, 1000) for _ in range(parts)]
    total = rng.choice([sum(s for s in sizes if s == s) or 1.0, float("nan"), float("inf")])
    matrix = [[rng.choice(values) if rng.random() < 0.3 else rng.randint(0, 9)
               for _ in range(parts)] for _ in range(rows)]
    return matrix, sizes, total


@pytest.mark.parametrize("seed", range(12))
def test_every_row_equals_the_single_word_record(seed):
    rng = random.Random(seed)
    # Row counts around the 16-row DA groups and part counts around vector widths.
    rows = rng.choice([1, 2, 15, 16, 17, 33, 70])
    parts = rng.choice([1, 2, 3, 8, 9, 31])
    matrix, sizes, total = random_case(rng, rows, parts)
    result = batch(matrix, sizes, total)
    assert len(result) == rows
    for row, record in zip(matrix, result):
        expected = CorpusWordAnalyzer(row, sizes, total).calculate_all_metrics()
        assert record_bits(record) == record_bits(expected)


def test_results_are_new_objects_in_a_new_list():
    matrix = [[1, 2], [1, 2]]
    first = batch(matrix, [10, 20], 30)
    second = batch(matrix, [10, 20], 30)
    assert first is not second
    assert all(type(r) is DispersionMetrics for r in first)
    assert len({id(r) for r in first + second}) == 4


@pytest.mark.parametrize(
    "args",
    [([], [], -5), ([], [1, 2], 0), ((), [], float("nan")), (range(0), b"", 1)],
)
def test_empty_matrix_returns_empty_list_without_validation(args):
    assert batch(*args) == []


@pytest.mark.parametrize(
    "matrix, sizes, message",
    [
        ([[1, 2], [3]], [10, 20], "Row 1 has length 1, expected 2"),
        ([[1, 2, 3], [4, 5, 6]], [10, 20], "Row 0 has length 3, expected 2"),
        ([[1, 2]] * 2 + [[1]] + [[1, 2]] * 2 + [[1, 2, 3]], [10, 20],
         "Row 2 has length 1, expected 2"),
        ([[]], [1], "Row 0 has length 0, expected 1"),
        ([[1]], [], "Row 0 has length 1, expected 0"),
    ],
)
def test_row_length_check_reports_the_lowest_bad_row(matrix, sizes, message):
    with pytest.raises(ValueError) as caught:
        batch(matrix, sizes, 30)
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "matrix, sizes, total, message",
    [
        ([[], []], [], 10, "Input vectors cannot be empty."),
        ([[1, 2]], [10, 20], 0, "Total corpus words must be positive."),
        ([[1, 2]] * 100, [10, 20], -0.0, "Total corpus words must be positive."),
        ([[1, 2]], [10, 20], float("-inf"), "Total corpus words must be positive."),
    ],
)
def test_row_validation_errors(matrix, sizes, total, message):
    with pytest.raises(ValueError) as caught:
        batch(matrix, sizes, total)
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "sizes, total, message",
    [([], 1.0, "Input vectors cannot be empty."),
     ([1.0], 0.0, "Total corpus words must be positive.")],
)
def test_failure_of_every_row_is_found_before_any_record_is_reserved(sizes, total, message):
    # A hundred million rows: a record reserved per row would need tens of GB.
    np = pytest.importorskip("numpy")
    with pytest.raises(ValueError) as caught:
        batch(np.empty((10**8, len(sizes))), sizes, total)
    assert caught.value.args == (message,)


def test_nan_total_is_accepted():
    (record,) = batch([[1, 2]], [10, 10], float("nan"))
    assert math.isnan(record.dp) and record.evenness_da == 0.6666666666666667


@pytest.mark.parametrize(
    "args, message",
    [
        (([], "ab", 1), "argument 'corpus_part_sizes': Can't extract `str` to `Vec`"),
        ((["12"], [1, 2], 1), "argument 'frequency_matrix': Can't extract `str` to `Vec`"),
        (([[1], 7], [1], 1),
         "argument 'frequency_matrix': 'int' object cannot be converted to 'Sequence'"),
        (("ab", [1], 1), "argument 'frequency_matrix': Can't extract `str` to `Vec`"),
        (({1: 2}, [1], 1),
         "argument 'frequency_matrix': 'dict' object cannot be converted to 'Sequence'"),
    ],
)
def test_conversion_errors_name_the_parameter(args, message):
    with pytest.raises(TypeError) as caught:
        batch(*args)
    assert str(caught.value) == message


def test_mixed_row_types_and_tuple_of_tuples():
    expected = [record_bits(r) for r in batch([[1, 2], [3, 4]], [10, 20], 30)]
    for matrix in [((1, 2), (3, 4)), [(1, 2), range(3, 5)], [b"\x01\x02", [3.0, 4.0]]]:
        assert [record_bits(r) for r in batch(matrix, (10, 20), 30)] == expected


def test_called_through_an_instance_ignores_it():
    analyzer = CorpusWordAnalyzer([9, 9, 9], [1, 1, 1], 3)
    via_instance = analyzer.calculate_batch_metrics([[1, 2]], [10, 20], 30)
    assert [record_bits(r) for r in via_instance] == [
        record_bits(r) for r in batch([[1, 2]], [10, 20], 30)]


WORKER_SCRIPT = IMPORT_RECORD_BITS + textwrap.dedent(
    """
    import random
    from lexispan import CorpusWordAnalyzer
    rng = random.Random(7)
    sizes = [rng.randint(1, 500) for _ in range(40)]
    matrix = [[rng.choice([0, 0, 1, 2, 5, 0.5, -1]) for _ in sizes] for _ in range(301)]
    out = CorpusWordAnalyzer.calculate_batch_metrics(matrix, sizes, sum(sizes))
    digest = [record_bits(r) for r in out]
    with open("/proc/self/status") as status:
        threads = next(int(l.split()[1]) for l in status if l.startswith("Threads:"))
    print(threads)
    print(digest)
    """
)


def run_with_env(**env):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment.update(env)
    done = subprocess.run([sys.executable, "-c", WORKER_SCRIPT], env=environment,
                          capture_output=True, text=True, timeout=120, check=True)
    threads, digest = done.stdout.splitlines()
    return int(threads) - 1, digest  # minus the main thread


def test_results_do_not_depend_on_the_worker_count():
    digests = {workers: run_with_env(RAYON_NUM_THREADS=str(workers))[1]
               for workers in (1, 2, 7, 64)}
    assert len(set(digests.values())) == 1


default_count = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts threads in /proc")
@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+4"}, 4),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "+"}, "default"),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "default"),
        ({"RAYON_NUM_THREADS": "1000"}, 255),
    ],
)
def test_worker_count_from_environment(env, expected):
    threads, _ = run_with_env(**env)
    if expected == "default":
        assert 1 <= threads <= (default_count or threads)
    else:
        assert threads == expected
