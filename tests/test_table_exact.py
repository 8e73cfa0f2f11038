"""The table entry point gives the record's bits on every input kind: each column equals, bit for
bit, the same field of calculate_batch_metrics and of the single-word analyzer on the row made
dense, whatever the layout, dtype, sparse format, thread count, and whether a row goes through the
sparse sums or the plain walk (NaN, infinite or negative cells, -0.0 entries, zero-size parts,
totals that are not the sum)."""

import math

import numpy as np
import pytest
import scipy.sparse as sp

import lexispan_table
from conftest import FIELDS, value_bits
from lexispan import CorpusWordAnalyzer

MEASURES = ("frequency",) + FIELDS


def column_bits(values):
    return [value_bits(float(x)) if isinstance(x, (float, np.floating)) else int(x)
            for x in values]


def table_bits(out):
    return {name: column_bits(out[name]) for name in MEASURES}


def record_bits(matrix, sizes, total):
    """The batch's records, checked against the single-word analyzer (the plain walk)."""
    rows = matrix.tolist()
    batch = CorpusWordAnalyzer.calculate_batch_metrics(rows, list(sizes), total)
    expected = {name: [] for name in MEASURES}
    for row, record in zip(rows, batch):
        single = CorpusWordAnalyzer(row, list(sizes), total)
        frequency = -0.0  # where the profile starts f
        for x in row:
            frequency += x
        expected["frequency"].append(value_bits(frequency))
        alone = single.calculate_all_metrics()
        for name in FIELDS:
            got = value_bits(getattr(record, name))
            assert got == value_bits(getattr(alone, name)), name
            expected[name].append(got)
    return expected


def assert_same(out, expected):
    got = table_bits(out)
    for name in MEASURES:
        bad = [w for w, (a, b) in enumerate(zip(got[name], expected[name])) if a != b]
        assert not bad, f"{name}: words {bad[:10]}"


def random_counts(rng, words, parts, density, *, specials=False, powers=False):
    """Counts with all-zero rows, full rows, rows at the dense/sparse DA switch, and optionally
    NaN, infinite, negative and -0.0 cells or power-of-two counts (ties)."""
    counts = rng.integers(1, 9, size=(words, parts)).astype(np.float64)
    counts *= rng.random((words, parts)) < density
    if powers:
        counts *= 2.0 ** rng.integers(-40, 40, size=(words, parts))
    counts[0] = 0.0
    if words > 1:
        counts[1] = rng.integers(1, 5, size=parts)
    if words > 3:
        for w, k in ((2, parts // 3), (3, parts // 3 + 1)):
            counts[w] = 0.0
            counts[w, rng.choice(parts, size=min(k, parts), replace=False)] = 3.0
    if words > 4:
        counts[4] = 0.0
        counts[4, rng.integers(parts)] = 7.0
    if specials:
        cells = rng.choice(words * parts, size=max(1, words * parts // 50), replace=False)
        kinds = np.array([np.nan, np.inf, -np.inf, -3.0, -0.0])
        counts.flat[cells] = kinds[rng.integers(0, len(kinds), size=cells.size)]
    return counts


def sizes_for(rng, counts, kind):
    column_sums = np.where(np.isfinite(counts) & (counts > 0), counts, 0.0).sum(axis=0)
    if kind == "sums":
        return column_sums + 1.0
    if kind == "zero parts":
        sizes = column_sums + rng.integers(0, 3, size=counts.shape[1])
        sizes[rng.random(counts.shape[1]) < 0.2] = 0.0
        return sizes
    if kind == "powers":
        return 2.0 ** rng.integers(-3, 20, size=counts.shape[1]).astype(np.float64)
    if kind == "wide":
        return 10.0 ** rng.uniform(-300, 300, size=counts.shape[1])
    raise AssertionError(kind)


SIZE_KINDS = ["sums", "zero parts", "powers", "wide"]


def total_for(sizes, kind):
    summed = math.fsum(sizes)
    return {"sum": summed if summed > 0 else 1.0, "not the sum": 1.5 * summed + 3.0,
            "nan": math.nan, "inf": math.inf}[kind]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("size_kind", SIZE_KINDS)
def test_sparse_rows_have_the_record_bits(seed, size_kind):
    rng = np.random.default_rng(seed)
    words, parts = 40, int(rng.choice([7, 64, 333, 1024]))
    counts = random_counts(rng, words, parts, float(rng.choice([0.003, 0.02, 0.1, 0.5])),
                           powers=seed % 2 == 1)
    sizes = sizes_for(rng, counts, size_kind)
    total = total_for(sizes, ["sum", "not the sum"][seed % 2])
    expected = record_bits(counts, sizes, total)
    assert_same(lexispan_table.dispersion_arrays(sp.csr_matrix(counts), sizes, total,
                                                 threads=1, da="pairwise"), expected)


@pytest.mark.parametrize("total_kind", ["sum", "not the sum", "nan", "inf"])
@pytest.mark.parametrize("seed", range(3))
def test_rows_with_special_cells_and_calls_with_special_totals(seed, total_kind):
    rng = np.random.default_rng(100 + seed)
    counts = random_counts(rng, 30, 200, 0.05, specials=True)
    sizes = sizes_for(rng, counts, SIZE_KINDS[seed % len(SIZE_KINDS)])
    if seed == 2:
        sizes[3] = -5.0  # a negative size sends the whole call down the plain path
    total = total_for(sizes, total_kind)
    expected = record_bits(counts, sizes, total)
    sparse = sp.csr_matrix(counts)
    assert_same(lexispan_table.dispersion_arrays(sparse, sizes, total, threads=2,
                                                 da="pairwise", check=False), expected)
    assert_same(lexispan_table.dispersion_arrays(counts, sizes, total, threads=2,
                                                 da="pairwise", check=False), expected)


def explicit_zeros(counts):
    """CSR of `counts` that also stores some +0.0 and -0.0 entries."""
    coo = sp.coo_matrix(counts)
    rows, cols = np.nonzero(counts == 0)
    pick = slice(0, None, 7)
    data = np.concatenate([coo.data, np.where(np.arange(rows[pick].size) % 2, 0.0, -0.0)])
    return sp.csr_matrix((data, (np.concatenate([coo.row, rows[pick]]),
                                 np.concatenate([coo.col, cols[pick]]))), shape=counts.shape)


def input_kinds(counts):
    """Every way of handing the matrix over, as (input, words_axis)."""
    f_order = np.asfortranarray(counts)
    return {
        "dense C": (np.ascontiguousarray(counts), 0),
        "dense F": (f_order, 0),
        "words on columns": (np.ascontiguousarray(counts.T), 1),
        "words on columns, F": (np.asfortranarray(counts.T), 1),
        "CSR": (sp.csr_matrix(counts), 0),
        "CSR, int64 indices": (_with_int64_indices(sp.csr_matrix(counts)), 0),
        "CSR array": (sp.csr_array(counts), 0),
        "CSC": (sp.csc_matrix(counts), 0),
        "COO": (sp.coo_matrix(counts), 0),
        "CSR of the transpose": (sp.csr_matrix(counts.T), 1),
        "CSC of the transpose": (sp.csc_matrix(counts.T), 1),
        "CSR with explicit zeros": (explicit_zeros(counts), 0),
        "list of rows": (counts.tolist(), 0),
    }


def _with_int64_indices(matrix):
    matrix.indices = matrix.indices.astype(np.int64)
    matrix.indptr = matrix.indptr.astype(np.int64)
    return matrix


KINDS = list(input_kinds(np.zeros((1, 1))))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("specials", [False, True])
def test_every_input_kind_gives_the_record_bits(kind, specials):
    rng = np.random.default_rng(7 + specials)
    counts = random_counts(rng, 37, 150, 0.04, specials=specials)
    sizes = sizes_for(rng, counts, "zero parts")
    total = total_for(sizes, "not the sum")
    expected = record_bits(counts, sizes, total)
    matrix, axis = input_kinds(counts)[kind]
    out = lexispan_table.dispersion_arrays(matrix, sizes, total, words_axis=axis, threads=2,
                                           da="pairwise", check=False)
    assert_same(out, expected)


@pytest.mark.parametrize("dtype", [np.float32, np.int32, np.int64, np.uint16, np.int8])
@pytest.mark.parametrize("layout", ["dense C", "dense F", "CSR", "CSC", "COO"])
def test_narrow_dtypes_give_the_bits_of_their_widened_values(dtype, layout):
    rng = np.random.default_rng(11)
    counts = random_counts(rng, 25, 120, 0.05)
    if np.dtype(dtype).kind == "f":
        counts *= 0.37
    if np.dtype(dtype).kind == "i":
        counts[5, :3] = -2  # negative counts take the plain path
    typed = counts.astype(dtype)
    widened = typed.astype(np.float64)
    sizes = sizes_for(rng, widened, "sums")
    total = total_for(sizes, "sum")
    expected = record_bits(widened, sizes, total)
    matrix, axis = input_kinds(typed)[layout]
    assert_same(lexispan_table.dispersion_arrays(matrix, sizes, total, words_axis=axis,
                                                 threads=1, da="pairwise", check=False), expected)


def test_default_sizes_and_total_are_the_column_sums():
    rng = np.random.default_rng(5)
    counts = random_counts(rng, 50, 500, 0.01)
    sizes = np.zeros(counts.shape[1])
    for row in counts:
        sizes += row
    total = 0.0
    for c in sizes:
        total += c
    expected = record_bits(counts, sizes, total)
    assert_same(lexispan_table.dispersion_arrays(sp.csr_matrix(counts), da="pairwise"), expected)


def test_thread_counts_agree_on_a_mixed_corpus():
    rng = np.random.default_rng(21)
    counts = random_counts(rng, 203, 900, 0.01, specials=True)
    counts[10:30] = rng.integers(0, 3, size=(20, 900))  # dense rows for the DA kernel
    sizes = sizes_for(rng, counts, "sums")
    total = total_for(sizes, "sum")
    expected = record_bits(counts, sizes, total)
    results = [table_bits(lexispan_table.dispersion_arrays(sp.csr_matrix(counts), sizes, total,
                                                           threads=t, da="pairwise", check=False))
               for t in (1, 2, 7)]
    assert results[0] == results[1] == results[2]
    assert results[0] == expected
