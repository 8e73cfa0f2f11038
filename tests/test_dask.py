"""Dask array counts on a real process cluster: the lazy results carry the bits of
the in-memory call whatever the chunking, the scheduler and a worker lost on the
way."""

import importlib.util
import os
import pickle
import random
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
sparse = pytest.importorskip("scipy.sparse")
pd = pytest.importorskip("pandas")

import lexispan_table  # noqa: E402
from lexispan_table import MEASURE_NAMES  # noqa: E402



@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=":0", silence_logs=40) as cluster, \
            distributed.Client(cluster) as connected:
        yield connected


def counts_matrix(words, parts, seed, integer=True, density=0.15):
    rng = np.random.default_rng(seed)
    values = (lambda n: rng.integers(1, 9, n).astype(np.float64)) if integer else \
        (lambda n: rng.random(n) * 10.0 ** rng.integers(-3, 4, n))
    matrix = sparse.random(words, parts, density=density, format="csr", random_state=seed,
                           data_rvs=values)
    # A word found nowhere and a word found everywhere.
    matrix = matrix.tolil()
    matrix[3, :] = 0
    matrix[5, :] = 1
    return matrix.tocsr()


def same_arrays(actual, expected):
    assert list(actual) == list(expected)
    for name, values in expected.items():
        assert actual[name].dtype == values.dtype, name
        assert actual[name].tobytes() == values.tobytes(), name


def same_frame(actual, expected):
    assert list(actual.columns) == list(expected.columns)
    assert list(actual.index) == list(expected.index)
    for name in expected.columns:
        assert actual[name].dtype == expected[name].dtype, name
        assert actual[name].to_numpy().tobytes() == expected[name].to_numpy().tobytes(), name


MATRIX = counts_matrix(230, 90, seed=7)
FRACTIONS = counts_matrix(230, 90, seed=8, integer=False, density=0.4)
SIZES = np.random.default_rng(3).random(90) * 1000 + 1


@pytest.mark.parametrize("kind, chunks, words_axis", [
    ("csr", (37, -1), 0),          # sparse row chunks
    ("csr", (50, 40), 0),          # sparse chunks joined along the parts
    ("csr_array", (64, 40), 0),    # the same with scipy's sparse arrays
    ("dense", (41, 23), 0),        # dense, split along both axes
    ("csc", (40, 33), 1),          # words on columns, sparse
    ("dense", (29, 57), 1),        # words on columns, dense
    ("float32", (230, 30), 0),     # one block of words
])
@pytest.mark.parametrize("sizes", ["default", "given"])
def test_arrays_match_memory(client, kind, chunks, words_axis, sizes):
    matrix = {"csr": MATRIX, "csr_array": sparse.csr_array(MATRIX), "csc": MATRIX.T.tocsc(),
              "dense": MATRIX.toarray(),
              "float32": MATRIX.toarray().astype(np.float32)}[kind]
    if words_axis == 1 and kind == "dense":
        matrix = MATRIX.toarray().T.copy()
    arguments = {} if sizes == "default" else {"part_sizes": SIZES, "total": 12345.5}
    expected = lexispan_table.dispersion_arrays(matrix, words_axis=words_axis, **arguments)
    lazy = lexispan_table.dispersion_arrays(
        da.from_array(matrix, chunks=chunks, asarray=False), words_axis=words_axis,
        **arguments)
    assert all(isinstance(column, da.Array) for column in lazy.values())
    assert lazy["dp"].chunks[0] == da.from_array(matrix, chunks=chunks).chunks[words_axis]
    same_arrays(dict(zip(lazy, dask.compute(*lazy.values()))), expected)


@pytest.mark.parametrize("scheduler", ["distributed", "threads", "sync"])
@pytest.mark.parametrize("chunks", [(23, -1), (60, 19), (230, 90)])
def test_default_sizes_keep_word_order_for_fractions(client, scheduler, chunks):
    # With fractional counts of many magnitudes, a sum per block of words
    # then across blocks rounds differently from one sum in word order.
    lazy_counts = da.from_array(FRACTIONS, chunks=chunks, asarray=False)
    ordered = np.asarray(FRACTIONS.sum(axis=0, dtype=np.float64)).ravel()
    ordered[:] = 0.0
    for row in FRACTIONS.toarray():
        ordered += row
    blockwise = sum(np.asarray(FRACTIONS[i:i + 23].toarray().sum(axis=0))
                    for i in range(0, 230, 23))
    assert ordered.tobytes() != blockwise.tobytes()
    expected = lexispan_table.dispersion_arrays(FRACTIONS)
    lazy = lexispan_table.dispersion_arrays(lazy_counts)
    options = {} if scheduler == "distributed" else {"scheduler": scheduler}
    same_arrays(dict(zip(lazy, dask.compute(*lazy.values(), **options))), expected)


@pytest.mark.parametrize("measures, method", [
    (["dp", "range", "evenness_da"], "pairwise"),
    (["ft_adjusted_by_da", "frequency"], "sorted"),
    ("kl_divergence", "pairwise"),
])
def test_measure_selection_and_da_method(client, measures, method):
    lazy_counts = da.from_array(MATRIX, chunks=(31, 45), asarray=False)
    expected = lexispan_table.dispersion_arrays(MATRIX, measures=measures, da=method)
    lazy = lexispan_table.dispersion_arrays(lazy_counts, measures=measures, da=method,
                                            threads=2)
    same_arrays(dict(zip(lazy, dask.compute(*lazy.values()))), expected)


@pytest.mark.parametrize("words", [None, [f"w{i}" for i in range(230)]])
def test_dataframe_has_a_partition_per_block_of_words(client, words):
    lazy_counts = da.from_array(MATRIX, chunks=(50, 45), asarray=False)
    frame = lexispan_table.dispersion(lazy_counts, words=words, measures=["range", "dp"])
    assert frame.npartitions == 5
    assert list(frame.columns) == ["range", "dp"]
    if words is None:
        assert frame.divisions == (0, 50, 100, 150, 200, 229)
    expected = lexispan_table.dispersion(MATRIX, words=words, measures=["range", "dp"])
    same_frame(frame.compute(), expected)
    # The partitions line up with the words: the fourth holds words 150 to 199.
    same_frame(frame.get_partition(3).compute(), expected.iloc[150:200])


def test_part_sizes_may_be_lazy(client):
    lazy_counts = da.from_array(MATRIX.toarray(), chunks=(60, 30))
    expected = lexispan_table.dispersion_arrays(MATRIX, part_sizes=SIZES)
    lazy = lexispan_table.dispersion_arrays(lazy_counts,
                                            part_sizes=da.from_array(SIZES, chunks=40))
    same_arrays(dict(zip(lazy, dask.compute(*lazy.values()))), expected)


@pytest.mark.parametrize("make", [
    lambda x, sizes: lexispan_table.dispersion_arrays(x, part_sizes=sizes)["dp"],
    lambda x, sizes: lexispan_table.dispersion(x, part_sizes=sizes, measures=["dp"]),
])
def test_part_sizes_are_one_value_of_the_graph(make):
    # Twenty blocks of words read the same 400 kB of part sizes: the graph
    # holds them once, not once per task.
    sizes = np.arange(1.0, 50_001.0)
    lazy = make(da.ones((40, 50_000), chunks=(2, 10_000)), sizes)
    assert sizes.nbytes < len(pickle.dumps(dict(lazy.__dask_graph__()))) < 2 * sizes.nbytes


def _refuse(block):
    raise RuntimeError("a block was computed")


@pytest.mark.parametrize("chunks, words_axis", [((7, 5), 0), ((4, 40), 1)])
def test_groups_match_memory_as_arrays_and_in_long_form(client, chunks, words_axis):
    matrix = counts_matrix(30, 11, 9)
    given = matrix.T if words_axis else matrix
    lazy = da.from_array(given.toarray(), chunks=chunks)
    groups = ["b", "a", "b", "c", "a", "b", "c", "c", "a", "a", "b"]
    options = dict(words_axis=words_axis, measures=["dp", "range", "evenness_da"])
    memory = lexispan_table.group_dispersion_arrays(given, groups, **options)
    arrays = lexispan_table.group_dispersion_arrays(lazy, groups, **options)
    assert arrays.groups == memory.groups == ("b", "a", "c")
    same_arrays({k: v.compute() for k, v in arrays.within.items()}, memory.within)
    same_arrays({k: v.compute() for k, v in arrays.across.items()}, memory.across)
    words = [f"w{i}" for i in range(30)]
    long = lexispan_table.group_dispersion(lazy, groups, words=words, **options).compute()
    wide = lexispan_table.group_dispersion(given, groups, words=words, **options)
    assert long["group"].tolist() == ["b", "a", "c", "across"] * 30
    back = long.pivot(index="word", columns="group").loc[words]
    for name in options["measures"]:
        for group in ("b", "a", "c", "across"):
            assert back[(name, group)].to_numpy().tobytes() == \
                wide[(name, group)].to_numpy().tobytes(), (name, group)


def test_nothing_runs_before_compute(client):
    untouchable = da.from_array(MATRIX, chunks=(50, 45), asarray=False).map_blocks(
        _refuse, dtype=np.float64, meta=MATRIX[:0, :0])
    frame = lexispan_table.dispersion(untouchable)
    columns = lexispan_table.dispersion_arrays(untouchable, measures=["dp"])
    with pytest.raises(RuntimeError, match="a block was computed"):
        frame.compute()
    with pytest.raises(RuntimeError, match="a block was computed"):
        columns["dp"].compute()


@pytest.mark.parametrize("call, error, message", [
    (lambda x: lexispan_table.dispersion_arrays(x, part_sizes=np.ones(89)), ValueError,
     "part_sizes has 89 values, expected 90"),
    (lambda x: lexispan_table.dispersion_arrays(x, part_sizes=da.ones(91, chunks=50)),
     ValueError, "part_sizes has 91 values, expected 90"),
    (lambda x: lexispan_table.dispersion(x, words=["a", "b"]), ValueError,
     "words has 2 labels, expected 230"),
    (lambda x: lexispan_table.dispersion(x, words="ab"), TypeError, "not a string"),
    (lambda x: lexispan_table.dispersion_arrays(x[0]), ValueError, "two-dimensional"),
    (lambda x: lexispan_table.dispersion_arrays(x.astype(complex)), TypeError, "complex"),
    (lambda x: lexispan_table.dispersion_arrays(x[x[:, 0] > 0]), ValueError,
     "unknown size"),
])
def test_argument_errors_are_raised_before_compute(call, error, message):
    with pytest.raises(error, match=message):
        call(da.from_array(MATRIX.toarray(), chunks=(50, 45)))


@pytest.mark.parametrize("chunks, arguments", [((50, 45), {}), ((50, 20), {}),
                                              ((40, -1), {"total": 1e4}),
                                              ((100, 30), {"part_sizes": SIZES})])
def test_each_block_is_checked_and_names_the_word_of_the_whole_matrix(chunks, arguments):
    counts = MATRIX.toarray()
    counts[170, 31] = -1.0
    counts[171, 33] = np.nan  # in the same chunk of parts as the first bad cell
    lazy = da.from_array(sparse.csr_matrix(counts), chunks=chunks, asarray=False)
    with pytest.raises(ValueError, match="word 170 has -1.0 in part 31"):
        lexispan_table.dispersion_arrays(lazy, **arguments)["dp"].compute(scheduler="sync")
    unchecked = lexispan_table.dispersion_arrays(lazy, check=False, **arguments)["dp"]
    expected = lexispan_table.dispersion_arrays(counts, check=False, **arguments)["dp"]
    assert unchecked.compute(scheduler="sync").tobytes() == expected.tobytes()


EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "dask_folder.py")


def test_folder_of_text_files_example(client, tmp_path):
    # The README's way from text files to measures, on the cluster: the
    # workers import the example's functions from the uploaded file.
    if not os.path.exists(EXAMPLE):
        pytest.skip("examples not present")
    location = importlib.util.spec_from_file_location("dask_folder", EXAMPLE)
    example = importlib.util.module_from_spec(location)
    location.loader.exec_module(example)
    client.upload_file(EXAMPLE)
    chosen = random.Random(5)
    vocabulary = [f"w{i}" for i in range(150)] + ["Ünïcode", "tail"]
    weights = [1 / (rank + 1) for rank in range(len(vocabulary))]
    paths = []
    for number in range(23):
        path = tmp_path / f"text{number:02d}.txt"
        path.write_text(" ".join(chosen.choices(vocabulary, weights, k=chosen.randint(5, 300))),
                        encoding="utf-8")
        paths.append(str(path))

    frame = example.folder_measures(paths, files_per_block=6, words_per_block=40)
    # The same files counted at once in memory, the words in sorted order.
    counts = lexispan_table.count_files(paths)
    order = np.argsort(np.array(counts.words))
    words = [counts.words[i] for i in order]
    assert frame.npartitions == -(-len(words) // 40)
    same_frame(frame.compute(),
               lexispan_table.dispersion(counts.to_scipy()[order], words=words))


def _die_once(marker, original):
    def step(*args, **kwargs):
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return original(*args, **kwargs)
        os.kill(os.getpid(), signal.SIGKILL)
    return step


def _install(name, marker):
    import lexispan_table._dask as module
    original = getattr(module, "_original_" + name, getattr(module, name))
    setattr(module, "_original_" + name, original)
    setattr(module, name, _die_once(marker, original) if marker else original)


@pytest.mark.parametrize("step", ["_evaluate_block", "_add_part_sums"])
def test_a_worker_killed_mid_computation_changes_nothing(client, tmp_path, step):
    # Tasks name their function by module and name, so a worker whose module
    # holds the killing stand-in runs it; the nanny's replacement worker starts
    # clean and runs the real one when the scheduler retries the lost work.
    marker = str(tmp_path / "killed")
    client.run(_install, step, marker)
    try:
        lazy_counts = da.from_array(FRACTIONS, chunks=(20, 30), asarray=False)
        expected = lexispan_table.dispersion(FRACTIONS)
        frame = lexispan_table.dispersion(lazy_counts)
        same_frame(frame.compute(), expected)
        assert os.path.exists(marker)
    finally:
        client.run(_install, step, None)
        client.wait_for_workers(2, timeout=60)


def test_package_imports_without_dask():
    script = textwrap.dedent("""
        import sys

        class Block:
            def find_spec(self, name, path=None, target=None):
                if name == "dask" or name.startswith(("dask.", "distributed")):
                    raise ModuleNotFoundError(f"No module named {name!r}")
                return None

        sys.meta_path.insert(0, Block())
        import lexispan_table
        frame = lexispan_table.dispersion([[1, 2], [3, 0]], measures=["range"])
        assert list(frame["range"]) == [2, 1]
        assert not any(name == "dask" or name.startswith("dask.") for name in sys.modules)
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
