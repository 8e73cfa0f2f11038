"""What the table functions' input funnel refuses and how it reads what it
takes: a malformed sparse matrix of any format is one ValueError (SciPy's
compiled routines crashed on some before), every sparse format reads as its
toarray() (duplicates, unsorted indices, stored -0.0), pandas' sparse columns
with a NaN fill, and check=True naming the first bad count, size or total."""

import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

import lexispan_table as lt
from test_table_exact import assert_same, record_bits

TIMEOUT = 120

# Each case builds a matrix whose structure is broken; every one must end in
# one ValueError whose message contains the text given. They run in a child
# interpreter: a fault that reaches compiled code may end the process.
MALFORMED = textwrap.dedent("""
    import numpy as np, scipy.sparse as sp, lexispan_table as lt

    def csr(data, indices, indptr, shape, kind=sp.csr_matrix):
        m = kind(shape)
        m.data, m.indices, m.indptr = (np.asarray(data), np.asarray(indices),
                                       np.asarray(indptr))
        return m

    def lil_longer_data():
        m = sp.lil_matrix((2, 3)); m[0, 1] = 1; m.data[0] = [1.0] * 1000
        return m

    def coo(row, col, data, shape=(2, 3)):
        m = sp.coo_matrix((np.ones(1), ([0], [0])), shape=shape)
        if hasattr(m, "coords"):
            m.coords = (np.asarray(row), np.asarray(col))
        else:
            m.row, m.col = np.asarray(row), np.asarray(col)
        m.data = np.asarray(data)
        return m

    def bsr_indptr():
        m = sp.bsr_matrix(np.ones((4, 4)), blocksize=(2, 2))
        m.indptr = np.array([0, 2, 1]); return m

    def dia_rows():
        m = sp.dia_matrix(np.eye(3)); m.data = np.ones((5, 3)); return m

    def dok_key():
        m = sp.dok_matrix((2, 3))
        dict.__setitem__(getattr(m, "_dict", m), "x", 1.0)
        return m

    CASES = {
        "indptr decreases": lambda: csr([1., 1, 1], [0, 1, 2], [0, 3, 1], (2, 3)),
        "indptr beyond the entries": lambda: csr([1., 1, 1], [0, 1, 2], [0, 10**9, 3], (2, 3)),
        "indptr not from 0": lambda: csr([1., 1, 1], [0, 1, 2], [1, 2, 3], (2, 3)),
        "indptr too short": lambda: csr([1., 1, 1], [0, 1, 2], [0, 3], (2, 3)),
        "index past the axis": lambda: csr([1., 1, 1], [2, 1, 2_000_000_000], [0, 1, 3], (2, 3)),
        "negative index": lambda: csr([1., 1, 1], [0, -1, 2], [0, 1, 3], (2, 3)),
        "float indices": lambda: csr([1., 1, 1], [0., 1, 2], [0, 1, 3], (2, 3)),
        "csc index past the axis": lambda: csr([1., 1, 1], [0, 7, 1], [0, 1, 2, 3], (2, 3),
                                               sp.csc_matrix),
        "csc unsorted and past": lambda: csr([1., 1, 1], [1, 0, 9], [0, 2, 2, 3], (2, 3),
                                             sp.csc_array),
        "coo row past": lambda: coo([0, 5], [0, 1], [1., 2]),
        "coo lengths": lambda: coo([0, 1], [0], [1., 2]),
        "lil data longer": lil_longer_data,
        "bsr indptr": bsr_indptr,
        "dia data rows": dia_rows,
        "dok key": dok_key,
    }
    for name, make in CASES.items():
        try:
            lt.dispersion_arrays(make(), np.ones(3), 3.0)
            print(f"{name}|accepted")
        except ValueError as error:
            print(f"{name}|{error}")
    print("done")
""")

EXPECTED = {
    "indptr decreases": "indptr decreases from 3 to 1",
    "indptr beyond the entries": "indptr decreases from 1000000000 to 3",
    "indptr not from 0": "indptr starts at 1",
    "indptr too short": "indptr has 2 values, expected 3",
    "index past the axis": "indices[2] is 2000000000, out of range (0 to 2)",
    "negative index": "indices[1] is -1, out of range",
    "float indices": "indices must hold integers, not float64",
    "csc index past the axis": "indices[1] is 7, out of range (0 to 1)",
    "csc unsorted and past": "indices[2] is 9, out of range (0 to 1)",
    "coo row past": "row[1] is 5, out of range (0 to 1)",
    "coo lengths": "row, col and data have different lengths (2, 1, 2)",
    "lil data longer": "row 0 has 1 indices and 1000 values",
    "bsr indptr": "indptr decreases from 2 to 1",
    "dia data rows": "data of shape (5, 3) for 1 offsets",
    "dok key": "key 'x' is not a (row, column) pair",
}


def test_a_malformed_sparse_matrix_of_any_format_is_one_value_error():
    run = subprocess.run([sys.executable, "-c", MALFORMED], capture_output=True, text=True,
                         timeout=TIMEOUT)
    assert run.returncode == 0, run.stderr[-2000:]
    outcome = dict(line.split("|", 1) for line in run.stdout.splitlines()[:-1])
    assert run.stdout.splitlines()[-1] == "done"
    for name, text in EXPECTED.items():
        assert outcome[name].startswith("malformed sparse matrix"), (name, outcome[name])
        assert text in outcome[name], (name, outcome[name])


def messy(rng, words, parts, dtype):
    """COO entries with duplicates, in shuffled order, with stored +0.0, -0.0
    and special values (floats), or values that wrap when added (int8)."""
    n = int(rng.integers(0, words * parts + 2))
    row = rng.integers(0, words, n)
    col = rng.integers(0, parts, n)
    if np.dtype(dtype).kind == "f":
        pool = np.array([-0.0, 1.0, 2.5, -0.0, 3.0, 0.0, 2.0**-1074, 1e16, np.nan, -2.0])
        # Some calls without NaN or negative values, whose rows take the exact sums.
        data = pool[rng.integers(0, pool.size - 2 * (words % 2), n)].astype(dtype)
        # Word 0 stores -0.0 in every part (toarray() gives +0.0 cells).
        data[row == 0] = -0.0
        row, col = np.append(row, np.zeros(parts, int)), np.append(col, np.arange(parts))
        data = np.append(data, np.full(parts, -0.0, dtype))
    elif np.dtype(dtype).kind == "b":
        data = rng.random(n) < 0.7
    else:
        data = rng.integers(60, 127, n).astype(dtype)
    return sp.coo_matrix((data, (row, col)), shape=(words, parts))


def grouped(coo, by_rows):
    """CSR (or CSC) arrays holding the COO entries as stored: unsorted inside
    each slice, duplicates kept."""
    major, minor = (coo.row, coo.col) if by_rows else (coo.col, coo.row)
    slices = coo.shape[0 if by_rows else 1]
    order = np.argsort(major, kind="stable")
    indptr = np.concatenate(([0], np.cumsum(np.bincount(major, minlength=slices))))
    kind = sp.csr_matrix if by_rows else sp.csc_matrix
    matrix = kind(coo.shape, dtype=coo.dtype)
    matrix.data, matrix.indices, matrix.indptr = coo.data[order], minor[order], indptr
    return matrix


def every_format(coo):
    forms = {"coo": coo, "coo array": sp.coo_array(coo), "csr": grouped(coo, True),
             "csc": grouped(coo, False)}
    for name in ("bsr", "dia", "lil", "dok"):
        forms[name] = getattr(coo, "to" + name)()
    return forms


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int8, np.bool_])
@pytest.mark.parametrize("seed", range(6))
def test_every_sparse_format_reads_as_its_toarray(seed, dtype):
    rng = np.random.default_rng(seed)
    words, parts = int(rng.integers(1, 9)), int(rng.integers(1, 40))
    coo = messy(rng, words, parts, dtype)
    sizes = rng.integers(0, 5, parts).astype(np.float64) + (seed % 2)
    total = float(sizes.sum()) + 1.0
    for name, matrix in every_format(coo).items():
        dense = matrix.toarray().astype(np.float64)
        expected = record_bits(dense, sizes, total)
        for axis, given in ((0, matrix), (1, matrix.T)):
            out = lt.dispersion_arrays(given, sizes, total, words_axis=axis, measures="all",
                                       da="pairwise", check=False)
            assert_same(out, expected), (name, axis)


def test_sparse_dataframe_columns_with_a_nan_fill():
    dense = np.array([[1.0, 0.0, 2.0], [0.0, 3.0, 0.0], [0.0, 0.0, 0.0]])
    frame = pd.DataFrame(dense, index=["a", "b", "c"], columns=["p", "q", "r"])
    expected = lt.dispersion_arrays(dense, measures="all")
    for fill in (np.nan, -0.0):  # every cell stored; -0.0 fills, and stays, dense
        given = frame.astype(pd.SparseDtype(np.float64, fill))
        out = lt.dispersion(given, measures="all")
        assert list(out.index) == ["a", "b", "c"]
        assert_same({k: v.to_numpy() for k, v in out.items()},
                    record_bits(given.to_numpy(), dense.sum(axis=0), 6.0))
        assert out["frequency"].to_numpy().tobytes() == (
            expected["frequency"] if np.isnan(fill) else np.array([3.0, 3.0, -0.0])).tobytes()
    frame.loc["b", "q"] = np.nan
    with pytest.raises(ValueError, match=r"DataFrame column 'q' is sparse with fill value nan, "
                                         r"which fills 1 of its 3 cells"):
        lt.dispersion(frame.astype(pd.SparseDtype(np.float64, np.nan)), check=False)


def planted(kind, bad):
    """Counts with two bad cells, the first in word order at word 2, part 7."""
    counts = np.arange(1, 55).reshape(6, 9) % 4
    counts = counts.astype(np.int8 if isinstance(bad, int) else np.float64)
    counts[4, 1] = counts[2, 7] = bad
    words = [f"w{i}" for i in range(6)]
    if kind == "dense":
        return counts, 0
    if kind == "words on columns":
        return np.asfortranarray(counts.T), 1
    if kind == "frame":
        return pd.DataFrame(counts, index=words), 0
    if kind == "sparse frame":
        return pd.DataFrame(counts.T, columns=words).astype(pd.SparseDtype(counts.dtype, 0)), 1
    if kind == "csc by parts":
        return sp.csc_array(counts), 0
    return {"csr": sp.csr_matrix, "coo": sp.coo_array}[kind](counts), 0


@pytest.mark.parametrize("kind", ["dense", "words on columns", "frame", "sparse frame", "csr",
                                  "coo", "csc by parts"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, -2.5, -3])
def test_check_names_the_first_bad_count(kind, bad):
    counts, axis = planted(kind, bad)
    word = "'w2'" if "frame" in kind else "2"
    shown = repr(float(bad)) if isinstance(bad, float) else str(bad)
    with pytest.raises(ValueError, match=rf"counts must be finite and not negative: word {word} "
                                         rf"has {shown} in part 7 \(check=False computes"):
        lt.dispersion(counts, np.ones(9), 9.0, words_axis=axis)
    sizes = np.arange(1.0, 10.0)
    unchecked = lt.dispersion_arrays(counts, sizes, 45.0, words_axis=axis, da="pairwise",
                                     check=False)
    dense = planted("dense", bad)[0].astype(np.float64)
    assert_same(unchecked, record_bits(dense, sizes, 45.0))


@pytest.mark.parametrize("sizes, total, message", [
    ([1.0, np.nan, 1.0], None, r"part sizes must be finite and not negative: part 1 has nan "
                               r"\(check=False"),
    ([1.0, 2.0, -1.0], 5.0, "part 2 has -1.0"),
    ([np.inf, 2.0, 1.0], 5.0, "part 0 has inf"),
    ([1.0, 0.0, 1.0], 0.0, r"total must be finite and positive, not 0.0 \(check=False"),
    ([1.0, 0.0, 1.0], np.nan, "not nan"),
    ([1.0, 0.0, 1.0], -np.inf, "not -inf"),
    ([0.0, 0.0, 0.0], None, r"not 0.0 \(the sum of the part sizes\)"),
    (None, None, r"not 0.0 \(the sum of the part sizes\)"),
])
def test_check_refuses_sizes_and_totals_that_are_not_finite_and_positive(sizes, total, message):
    counts = np.zeros((2, 3)) if sizes is None else np.eye(2, 3)
    with pytest.raises(ValueError, match=message):
        lt.dispersion_arrays(counts, sizes, total)


def test_check_lets_zero_size_parts_and_empty_matrices_through():
    out = lt.dispersion_arrays(np.eye(2, 3), [1.0, 0.0, 2.0], 3.0, measures=["dp"])
    assert out["dp"].shape == (2,)
    assert lt.dispersion_arrays(np.zeros((0, 3)))["dp"].shape == (0,)
