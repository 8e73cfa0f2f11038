"""The table API's contract around the numbers: defaults, orientation, labels,
measure selection, argument errors, threads, the interpreter lock, Ctrl-C and
progress. (Bit-for-bit agreement with the record batch on every input kind is
in test_table_exact.py.)"""

import subprocess
import sys
import textwrap
import threading
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

import lexispan_table as lt
from conftest import FIELDS, bits
from lexispan import CorpusWordAnalyzer
from lexispan_table import _native

TIMEOUT = 120


def column_bits(array):
    return array.astype(np.float64).tobytes() if array.dtype != np.int32 else array.tobytes()


def same_columns(a, b):
    assert list(a) == list(b)
    for name in a:
        assert a[name].dtype == b[name].dtype, name
        assert column_bits(a[name]) == column_bits(b[name]), name


@pytest.fixture(scope="module")
def counts():
    rng = np.random.default_rng(7)
    matrix = rng.poisson(0.7, (37, 11)).astype(np.int64)
    matrix[5] = 0
    matrix[6] = rng.integers(1, 9, 11)
    return matrix


def test_the_engine_and_the_package_name_the_same_columns():
    assert _native.column_names() == lt.MEASURE_NAMES
    assert lt.MEASURE_NAMES[0] == "frequency"
    assert lt.MEASURE_NAMES[1:17] == FIELDS
    assert lt.MEASURE_NAMES[:17] == lt.DEFAULT_MEASURE_NAMES


def test_defaults_are_column_sums_and_their_ordered_total(counts):
    sizes = counts.sum(axis=0).astype(np.float64)
    total = 0.0
    for size in sizes:
        total += size
    same_columns(lt.dispersion_arrays(counts), lt.dispersion_arrays(counts, sizes, total))
    same_columns(lt.dispersion_arrays(counts, sizes),
                 lt.dispersion_arrays(counts, sizes, total))


def test_default_part_sizes_add_words_in_order_from_positive_zero():
    # Non-integer counts whose sum depends on the order of the words.
    counts = np.array([[1e16, -0.0], [3.0, -0.0], [-1e16, -0.0], [2.0, -0.0]])
    expected_sizes = np.array([(((0.0 + 1e16) + 3.0) - 1e16) + 2.0, 0.0])
    assert expected_sizes[0] == 6.0  # an exact sum would give 5
    explicit = lt.dispersion_arrays(counts, expected_sizes, measures=["dp", "juilland_d"],
                                    check=False)
    for kind in (counts, sp.csr_array(counts), sp.csc_array(counts)):
        same_columns(lt.dispersion_arrays(kind, measures=["dp", "juilland_d"], check=False),
                     explicit)


@pytest.mark.parametrize("measures", [["dp"], ["evenness_da", "range", "frequency"],
                                      ("juilland_d",), "dp_norm"])
def test_only_the_named_measures_in_the_order_given(counts, measures):
    full = lt.dispersion_arrays(counts)
    chosen = lt.dispersion_arrays(counts, measures=measures)
    names = [measures] if isinstance(measures, str) else list(measures)
    assert list(chosen) == names
    for name in names:
        assert column_bits(chosen[name]) == column_bits(full[name])


def test_column_types(counts):
    result = lt.dispersion_arrays(counts, measures="all")
    assert list(result) == list(lt.MEASURE_NAMES)
    assert list(lt.dispersion_arrays(counts)) == list(lt.DEFAULT_MEASURE_NAMES)
    assert lt.DEFAULT_MEASURE_NAMES == ("frequency", *FIELDS)
    for name, column in result.items():
        assert column.shape == (counts.shape[0],)
        assert column.dtype == (np.int32 if name == "range" else np.float64)


def test_words_on_columns_give_the_same_table(counts):
    same_columns(lt.dispersion_arrays(counts.T, words_axis=1), lt.dispersion_arrays(counts))
    same_columns(lt.dispersion_arrays(sp.csr_matrix(counts.T), words_axis=1),
                 lt.dispersion_arrays(counts))


def test_dataframe_labels_and_index(counts):
    words = [f"w{i}" for i in range(counts.shape[0])]
    parts = [f"p{j}" for j in range(counts.shape[1])]
    frame = pd.DataFrame(counts, index=words, columns=parts)
    table = lt.dispersion(frame)
    assert list(table.index) == words
    assert list(table.columns) == list(lt.DEFAULT_MEASURE_NAMES)
    assert table["range"].dtype == np.int32
    by_columns = lt.dispersion(frame.T, words_axis=1, measures=["dp"])
    assert list(by_columns.index) == words
    relabelled = lt.dispersion(frame, words=list("abcdefghijklmnopqrstuvwxyz0123456789!"))
    assert relabelled.index[0] == "a"
    assert isinstance(lt.dispersion(counts).index, pd.RangeIndex)
    sparse_frame = pd.DataFrame.sparse.from_spmatrix(sp.csr_matrix(counts), index=words)
    from_sparse = lt.dispersion(sparse_frame)
    assert list(from_sparse.index) == words
    same_columns({k: v.to_numpy() for k, v in from_sparse.items()},
                 {k: v.to_numpy() for k, v in table.items()})


def test_words_from_count_vectorizer_style_input(counts):
    documents_by_words = sp.csr_matrix(counts.T)
    vocabulary = np.array([f"t{i}" for i in range(counts.shape[0])], dtype=object)
    table = lt.dispersion(documents_by_words, words=vocabulary, words_axis=1)
    assert list(table.index) == list(vocabulary)
    same_columns({k: v.to_numpy() for k, v in table.items()}, lt.dispersion_arrays(counts))


@pytest.mark.parametrize("call, error, text", [
    (lambda c: lt.dispersion_arrays(np.zeros((2, 3, 4))), ValueError, "two-dimensional"),
    (lambda c: lt.dispersion_arrays(np.zeros(4)), ValueError, "two-dimensional"),
    (lambda c: lt.dispersion_arrays(c.astype(complex)), TypeError, "complex"),
    (lambda c: lt.dispersion_arrays(c.astype(object).astype(str)), TypeError, "numbers"),
    (lambda c: lt.dispersion_arrays([[1, 2], [3]]), ValueError, "same length"),
    (lambda c: lt.dispersion_arrays([["1", 2]]), TypeError, "numbers"),
    (lambda c: lt.dispersion_arrays("abc"), TypeError, "string"),
    (lambda c: lt.dispersion_arrays(c, np.ones(3)), ValueError, "expected 11"),
    (lambda c: lt.dispersion_arrays(c, np.ones((11, 1))), ValueError, "one-dimensional"),
    (lambda c: lt.dispersion_arrays(c, ["a"] * 11), TypeError, "part_sizes"),
    (lambda c: lt.dispersion_arrays(c, None, "10"), TypeError, "total"),
    (lambda c: lt.dispersion_arrays(c, None, 0.0, check=False), ValueError,
     "Total corpus words must be positive."),
    (lambda c: lt.dispersion_arrays(c, None, -3, check=False), ValueError,
     "Total corpus words must be positive."),
    (lambda c: lt.dispersion_arrays(np.zeros((3, 0))), ValueError,
     "Input vectors cannot be empty."),
    (lambda c: lt.dispersion_arrays(c, measures=["dp", "nope"]), ValueError, "'nope'"),
    (lambda c: lt.dispersion_arrays(c, measures=["dp", "dp"]), ValueError, "twice"),
    (lambda c: lt.dispersion_arrays(c, measures=[]), ValueError, "at least one"),
    (lambda c: lt.dispersion_arrays(c, measures=[3]), TypeError, "strings"),
    (lambda c: lt.dispersion_arrays(c, da="exact"), ValueError, "'pairwise' or 'sorted'"),
    (lambda c: lt.dispersion_arrays(c, threads=-1), ValueError, "at least 1"),
    (lambda c: lt.dispersion_arrays(c, threads=0), ValueError, "at least 1"),
    (lambda c: lt.dispersion_arrays(c, threads=1.5), TypeError, "threads"),
    (lambda c: lt.dispersion_arrays(c, words_axis=2), ValueError, "words_axis"),
    (lambda c: lt.dispersion_arrays(c, words_axis="rows"), TypeError, "words_axis"),
    (lambda c: lt.dispersion(c, words=["a", "b"]), ValueError, "expected 37"),
    (lambda c: lt.dispersion(pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})), TypeError,
     "column 'b'"),
])
def test_bad_arguments_say_what_was_expected(counts, call, error, text):
    with pytest.raises(error) as raised:
        call(counts)
    assert text in str(raised.value)


def test_unknown_measure_lists_the_valid_names(counts):
    with pytest.raises(ValueError) as raised:
        lt.dispersion_arrays(counts, measures=["juiland_d"])
    assert "juilland_d" in str(raised.value) and "evenness_da" in str(raised.value)


@pytest.mark.parametrize("matrix, message", [
    (sp.csr_array((np.ones(2), np.array([0, 5]), np.array([0, 1, 2])), shape=(2, 3)),
     "out of range"),
    (sp.csr_array((np.ones(2), np.array([0, -1]), np.array([0, 1, 2])), shape=(2, 3)),
     "out of range"),
])
def test_broken_sparse_structure_is_refused_not_read(matrix, message):
    # A matrix whose indices point outside its shape must never be followed.
    matrix.has_canonical_format = True
    with pytest.raises(ValueError, match=message):
        lt.dispersion_arrays(matrix, np.ones(3), 3.0)


def test_no_words_gives_empty_columns():
    result = lt.dispersion_arrays(np.zeros((0, 4)), np.ones(4), 4.0)
    assert all(column.shape == (0,) for column in result.values())
    assert lt.dispersion(sp.csr_array((0, 4)), np.ones(4), 4.0).shape == (0, 17)


@pytest.mark.parametrize("threads", [1, 2, 7])
def test_thread_counts_agree(threads):
    rng = np.random.default_rng(threads)
    matrix = sp.random(301, 53, density=0.2, random_state=rng, format="csr") * 10
    reference = lt.dispersion_arrays(matrix.toarray(), threads=1)
    same_columns(lt.dispersion_arrays(matrix, threads=threads), reference)
    same_columns(lt.dispersion_arrays(matrix, threads=threads, da="sorted"),
                 lt.dispersion_arrays(matrix, threads=1, da="sorted"))


def exact_da(row, sizes):
    """DA with the pair sum in exact rational arithmetic over the double q_i."""
    q = sorted(Fraction(float(v) / float(c)) for v, c in zip(row, sizes))
    n = len(q)
    pair_sum = sum((2 * k - n - 1) * x for k, x in enumerate(q, start=1))
    mean = Fraction(sum(float(v) / float(c) for v, c in zip(row, sizes))) / n
    return float(1 - (pair_sum / (n * (n - 1) // 2)) / (2 * mean))


def test_sorted_da_is_the_same_measure_with_another_rounding():
    rng = np.random.default_rng(3)
    matrix = rng.poisson(0.4, (400, 300)) * rng.integers(1, 50, (400, 300))
    sizes = rng.integers(1, 10_000, 300).astype(np.float64)
    pairwise = lt.dispersion_arrays(matrix, sizes, measures=["evenness_da", "dp"], da="pairwise")
    by_sort = lt.dispersion_arrays(matrix, sizes, measures=["evenness_da", "dp"], da="sorted")
    assert by_sort["dp"].tobytes() == pairwise["dp"].tobytes()
    # The pairwise sum drifts by up to about 1e-12 relative over 45,000 pairs;
    # the compensated sorted sum stays within an ulp or two of exact.
    np.testing.assert_allclose(by_sort["evenness_da"], pairwise["evenness_da"], rtol=1e-11)
    for row in range(0, 400, 23):
        assert abs(by_sort["evenness_da"][row] - exact_da(matrix[row], sizes)) <= 4e-16


def test_sorted_da_keeps_the_pairwise_sum_where_values_are_not_finite():
    matrix = np.array([[1.0, np.inf, 2.0, 0.0], [np.nan, 1.0, 0.0, 3.0]])
    sizes = np.array([3.0, 4.0, 5.0, 6.0])
    same_columns(lt.dispersion_arrays(matrix, sizes, 18.0, da="sorted",
                                      measures=["evenness_da"], check=False),
                 lt.dispersion_arrays(matrix, sizes, 18.0, measures=["evenness_da"],
                                      da="pairwise", check=False))


def test_the_interpreter_lock_is_released_during_a_call():
    rng = np.random.default_rng(5)
    matrix = rng.poisson(2.0, (600, 2500)).astype(np.int32)
    ticks = 0
    running = threading.Event()
    finished = threading.Event()

    def call():
        running.set()
        lt.dispersion_arrays(matrix, measures=["evenness_da"], threads=1)
        finished.set()

    worker = threading.Thread(target=call)
    worker.start()
    running.wait(TIMEOUT)
    while not finished.is_set():
        ticks += 1
        sum(range(100))
    worker.join(TIMEOUT)
    # With the lock held for the whole call the loop could run only between
    # the interpreter's switch intervals around it: a handful of turns.
    assert ticks > 1000


CTRL_C_SCRIPT = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    import lexispan_table as lt
    from lexispan import CorpusWordAnalyzer

    rng = np.random.default_rng(1)
    matrix = rng.integers(0, 3, (WORDS, PARTS), dtype=np.int8)
    done = [0]
    def progress(n):
        done[0] = n
    sent = [0.0]
    def interrupt():
        time.sleep(1.0)
        sent[0] = time.monotonic()
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    from lexispan_table import _engine
    original = _engine.progress_callback
    import contextlib
    @contextlib.contextmanager
    def spy(total, enabled, description="words"):
        yield progress
    _engine.progress_callback = spy
    try:
        lt.dispersion_arrays(matrix, da="pairwise")
        print("completed")
    except KeyboardInterrupt:
        latency = time.monotonic() - sent[0]
        print(f"interrupted latency={latency:.3f} rows={done[0]}/{matrix.shape[0]}")
    _engine.progress_callback = original
    small = rng.integers(0, 4, (40, 30)).astype(float)
    sizes = small.sum(axis=0) + 1
    total = float(sizes.sum())
    records = CorpusWordAnalyzer.calculate_batch_metrics(small, sizes, total)
    table = lt.dispersion_arrays(small, sizes, total, measures=["evenness_da"], da="pairwise")
    assert [r.evenness_da for r in records] == table["evenness_da"].tolist()
    print("usable")
""")


# Many words of moderate length, and few long ones whose DA pair sums of one
# group alone take seconds on the dense kernel.
@pytest.mark.parametrize("words, parts", [(20000, 3000), (240, 24000)])
def test_ctrl_c_stops_a_long_call_and_leaves_the_module_usable(words, parts):
    script = CTRL_C_SCRIPT.replace("WORDS", str(words)).replace("PARTS", str(parts))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True,
                         text=True, timeout=TIMEOUT)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.split()
    assert lines[0] == "interrupted", run.stdout
    rows_done, rows = (int(x) for x in lines[2].removeprefix("rows=").split("/"))
    assert rows_done < rows
    assert lines[-1] == "usable"
    print(run.stdout)


@pytest.mark.parametrize("blocked, expect", [("tqdm", "words: 50/50"), (None, "50/50")])
def test_progress_goes_to_standard_error(blocked, expect):
    block = f"import sys; sys.modules[{blocked!r}] = None\n" if blocked else ""
    script = block + textwrap.dedent("""
        import numpy as np, lexispan_table as lt
        lt.dispersion_arrays(np.ones((50, 4)), progress=True)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=TIMEOUT)
    assert run.returncode == 0, run.stderr
    assert expect in run.stderr
    assert run.stdout == ""


def test_without_pandas_the_arrays_still_work_and_the_table_names_the_extra():
    script = textwrap.dedent("""
        import sys
        sys.modules["pandas"] = None
        import numpy as np, lexispan_table as lt
        assert list(lt.dispersion_arrays(np.ones((2, 3)), measures=["dp"])) == ["dp"]
        try:
            lt.dispersion(np.ones((2, 3)))
        except ImportError as error:
            print(error)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=TIMEOUT)
    assert run.returncode == 0, run.stderr
    assert "pip install 'lexispan[table]'" in run.stdout


def test_buffers_stay_alive_while_the_engine_reads_them():
    # The caller drops its only reference while another thread runs the call.
    rng = np.random.default_rng(11)
    holder = {"m": sp.csr_array(rng.poisson(1.0, (300, 400)).astype(np.float32))}
    expected = lt.dispersion_arrays(holder["m"].toarray(), measures=["dp", "evenness_da"])
    results = []
    worker = threading.Thread(target=lambda: results.append(
        lt.dispersion_arrays(holder.pop("m"), measures=["dp", "evenness_da"])))
    worker.start()
    worker.join(TIMEOUT)
    same_columns(results[0], expected)


def test_bits_of_frequency_are_the_record_total(counts):
    sizes = counts.sum(axis=0) + 1.0
    result = lt.dispersion_arrays(counts, sizes, 1000.0, measures=["frequency"])
    for row, value in zip(counts, result["frequency"]):
        f = -0.0
        for x in row:
            f += float(x)
        assert bits(f) == bits(value)
    record = CorpusWordAnalyzer.calculate_batch_metrics([[0.0, 0.0]], [1.0, 1.0], 2.0)[0]
    assert record.range == lt.dispersion_arrays([[0.0, 0.0]], [1.0, 1.0], 2.0)["range"][0]
