"""lexispan_table.keyness: the worked values, every column against its definition
in exact arithmetic, the same bits from every input kind, and one clear error
for each kind of bad input."""

import doctest
import math
import os
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import lexispan_table as lt
from conftest import bits

pd = pytest.importorskip("pandas")
sparse = pytest.importorskip("scipy.sparse")
EPS = 2.0**-52


# Texts containing the word out of 100 target and 200 reference texts:
# two-cell and four-cell text dispersion keyness.
WORKED = [(30, 10, 29.0392, 34.0257), (90, 150, 1.8394, 10.2908), (3, 0, 6.5917, 6.6525),
          (5, 40, -12.0284, -13.7614)]


def test_worked_values():
    target = np.array([np.arange(100) < a for a, *_ in WORKED], dtype=float)
    reference = np.array([np.arange(200) < b for _, b, *_ in WORKED], dtype=float)
    table = lt.keyness_arrays(target, reference, target_sizes=np.full(100, 50.0),
                              reference_sizes=np.full(200, 50.0))
    assert table["text_dispersion_keyness"].round(4).tolist() == [w[2] for w in WORKED]
    assert table["text_dispersion_keyness_4cell"].round(4).tolist() == [w[3] for w in WORKED]
    if os.environ.get("LEXISPAN_SANITIZED") == "1":
        return  # scipy.stats loads f2py modules that keep memory LeakSanitizer reports
    chi2 = pytest.importorskip("scipy.stats").chi2
    for name in ("log_likelihood", "text_dispersion_keyness"):
        expected = chi2.sf(np.abs(table[name]), 1)
        np.testing.assert_allclose(table[f"p_{name}"], expected, rtol=1e-13, atol=1e-300)


def dec(x):
    return Decimal(x.numerator) / Decimal(x.denominator)


def g2_within_bound(actual, x, y, m1, m2, four_cells):
    """actual is the signed G2 of x out of m1 against y out of m2 (all
    Fractions), within the rounding of its float evaluation: a few ulps of
    each count and term."""
    cells = [(x, m1, x + y), (y, m2, x + y)]
    if four_cells:
        cells += [(m1 - x, m1, m1 + m2 - x - y), (m2 - y, m2, m1 + m2 - x - y)]
    terms = [(dec(o), dec(o) * dec(o * (m1 + m2) / (m * column)).ln())
             for o, m, column in cells if o]
    exact = 2 * sum((t for _, t in terms), Decimal(0))
    assert abs(abs(actual) - float(exact)) <= 64 * EPS * float(sum(o + abs(t) for o, t in terms))
    assert (actual < 0) == (y * m1 > x * m2 and actual != 0.0)


def check_word(row, a_row, b_row, a_sizes, b_sizes):
    """Every column of one word against its definition: Fractions, and logs
    and roots to 28 digits."""
    a, b, t1, t2 = (sum(map(Fraction, v), Fraction(0)) for v in (a_row, b_row, a_sizes, b_sizes))
    big_a, big_b = (Fraction(sum(v > 0 for v in r)) for r in (a_row, b_row))
    n1, n2 = Fraction(len(a_row)), Fraction(len(b_row))
    assert (row["target_frequency"], row["reference_frequency"]) == (a, b)
    assert (row["target_range"], row["reference_range"]) == (big_a, big_b)
    if not (a or b):  # in neither corpus: +0.0 in every effect column, p 1
        assert {bits(row[name]) for name in lt.KEYNESS_MEASURE_NAMES[4:10]} == {bits(0.0)}
        assert row["p_log_likelihood"] == row["p_text_dispersion_keyness"] == 1.0
    g2_within_bound(row["log_likelihood"], a, b, t1, t2, False)
    g2_within_bound(row["text_dispersion_keyness"], big_a, big_b, n1, n2, False)
    g2_within_bound(row["text_dispersion_keyness_4cell"], big_a, big_b, n1, n2, True)
    for name, (x, y, m1, m2) in {"log_ratio": (a, b, t1, t2),
                                 "text_log_ratio": (big_a, big_b, n1, n2)}.items():
        ratio = ((x or Fraction(1, 2)) / m1) / ((y or Fraction(1, 2)) / m2) if x or y else 1
        exact = float(dec(Fraction(ratio)).ln() / Decimal(2).ln())
        assert abs(row[name] - exact) <= 8 * EPS * (1 + abs(exact))

    def rates(values, sizes):
        q = [Fraction(v) / Fraction(c) if c > 0 else Fraction(0) for v, c in zip(values, sizes)]
        mean = sum(q, Fraction(0)) / len(q)
        return mean, sum(((x - mean) ** 2 for x in q), Fraction(0)) / len(q)

    (m1, v1), (m2, v2) = rates(a_row, a_sizes), rates(b_row, b_sizes)
    pooled = dec((v1 + v2) / 2).sqrt()
    exact = float(dec(m1 - m2) / pooled) if pooled else 0.0
    scale = float(dec(abs(m1) + abs(m2)) / pooled) if pooled else 0.0
    assert abs(row["mean_text_frequency_d"] - exact) <= 1e-12 * (abs(exact) + scale)


def plain_rates(row, sizes):
    """FT and the rates' variance, plainly in the stated order: the mean from
    -0.0 over every part; the absent parts' (n - k) mean^2, then the others'
    squared deviations in part order."""
    q = [v / c if c > 0 else 0.0 for v, c in zip(row, sizes)]
    total = -0.0
    for x in q:
        total += x
    mean = total / len(q)
    squares = float(sum(v <= 0 for v in row)) * (mean * mean)
    for v, x in zip(row, q):
        if v > 0:
            squares += (x - mean) * (x - mean)
    return mean, squares / len(q)


def random_corpora(seed, words, parts1, parts2, density, given_sizes):
    rng = np.random.default_rng(seed)
    t = rng.integers(1, 9, (words, parts1)) * (rng.random((words, parts1)) < density)
    r = rng.integers(1, 9, (words, parts2)) * (rng.random((words, parts2)) < density)
    t = t / rng.choice([1, 2], (words, parts1))  # some halves
    t[0], r[1], t[2], r[2] = 0, 0, 0, 0          # absent from one corpus, from both
    if not given_sizes:
        return t, r, None, None
    sizes1 = rng.integers(0, 60, parts1) + t.sum(axis=0)
    sizes1[-1] = 0 if parts1 > 1 else sizes1[-1]  # a part of size 0: its rates count 0
    return t, r, sizes1.astype(float), (rng.integers(1, 60, parts2) + r.sum(axis=0)) * 1.0


@pytest.mark.parametrize("seed, words, parts1, parts2, density, given_sizes", [
    (1, 30, 7, 11, 0.4, False), (2, 30, 40, 3, 0.15, True), (3, 20, 1, 25, 0.6, True),
    (4, 25, 60, 60, 0.05, False)])
def test_columns_against_their_definitions(seed, words, parts1, parts2, density, given_sizes):
    t, r, s1, s2 = random_corpora(seed, words, parts1, parts2, density, given_sizes)
    table = lt.keyness_arrays(sparse.csr_array(t), r, target_sizes=s1, reference_sizes=s2)
    s1 = t.sum(axis=0) if s1 is None else s1
    s2 = r.sum(axis=0) if s2 is None else s2
    # frequency and range: the bits dispersion gives
    for side, counts, sizes in (("target", t, s1), ("reference", r, s2)):
        same = lt.dispersion_arrays(counts, sizes, measures=["frequency", "range"])
        assert table[f"{side}_frequency"].tobytes() == same["frequency"].tobytes()
        assert table[f"{side}_range"].tolist() == same["range"].tolist()
    for w in range(words):
        row = {name: values[w].item() for name, values in table.items()}
        a_row, b_row = t[w].tolist(), r[w].tolist()
        check_word(row, a_row, b_row, s1.tolist(), s2.tolist())
        (m1, v1), (m2, v2) = plain_rates(a_row, s1.tolist()), plain_rates(b_row, s2.tolist())
        pooled = math.sqrt((v1 + v2) / 2)
        plain_d = (m1 - m2) / pooled if pooled > 0 else 0.0
        assert bits(row["mean_text_frequency_d"]) == bits(plain_d), w


def column_bits(table):
    return {name: values.tobytes() for name, values in table.items()}


def test_every_input_kind_gives_the_same_bits():
    rng = np.random.default_rng(7)
    stored_zeros = sparse.csr_array(rng.poisson(0.7, (60, 23)).astype(float))
    stored_zeros.data[::5] = 0.0  # explicit zeros count as absent parts
    t = stored_zeros.toarray()
    r = rng.poisson(0.5, (60, 31)).astype(float)
    want = column_bits(lt.keyness_arrays(t.tolist(), r.tolist()))
    kinds = [
        (stored_zeros, r, 0), (np.asfortranarray(t), r.astype(np.int64), 0), (t.T.copy(), r.T, 1),
        (sparse.csr_array(t), sparse.csc_array(r), 0), (sparse.coo_array(t), r, 0),
        (sparse.csr_array(t.T), sparse.csr_array(r.T), 1),      # CountVectorizer's layout
        (pd.DataFrame(t), pd.DataFrame(r).astype(pd.SparseDtype(float, 0.0)), 0),
        (t.T.astype(np.float32), sparse.csc_array(r).T, 1)]
    for threads in (1, 2):
        for target, reference, axis in kinds:
            got = lt.keyness_arrays(target, reference, words_axis=axis, threads=threads)
            assert column_bits(got) == want


def test_dataframes_align_by_label():
    t = pd.DataFrame({"t1": [1, 2, 0], "t2": [3, 0, 1]}, index=["x", "y", "z"])
    r = pd.DataFrame({"r1": [5, 1, 1], "r2": [0, 4, 2], "r3": [1, 1, 0]}, index=["z", "w", "x"])
    table = lt.keyness(t, r)
    assert table.index.tolist() == ["x", "y", "z", "w"]
    aligned = lt.keyness(t.reindex(table.index, fill_value=0),
                         r.reindex(table.index, fill_value=0))
    assert column_bits({c: table[c].to_numpy() for c in table}) == \
        column_bits({c: aligned[c].to_numpy() for c in aligned})
    named = lt.keyness(t.to_numpy(), t.to_numpy(), words=["p", "q", "s"], measures="all")
    assert named.index.tolist() == ["p", "q", "s"] and list(named) == list(lt.KEYNESS_MEASURE_NAMES)


@pytest.mark.parametrize("target, reference, options, error, message", [
    ([[1, 2]], [[1, 2], [3, 4]], {}, ValueError, "cannot align the words: the target has 1"),
    (np.zeros((2, 0)), [[1], [2]], {}, ValueError, "the target corpus has no parts"),
    ([[1], [2]], [[0, 0], [0, 0]], {}, ValueError, "the reference corpus's part sizes add up"),
    ([[1, -1]], [[1, 1]], {}, ValueError, "target counts must be finite and not negative, "
                                          "found -1.0"),
    ([[1, 1]], sparse.csr_array([[math.nan, 1.0]]), {}, ValueError, "found nan"),
    ([[1, math.inf]], [[1, 1]], {}, ValueError, "found inf"),
    ([[1, 1]], [[1, 1]], {"target_sizes": [1, -2]}, ValueError, "target_sizes must be finite"),
    ([[1, 1]], [[1, 1]], {"reference_sizes": [1, 2, 3]}, ValueError,
     "reference_sizes has 3 values, expected 2"),
    (pd.DataFrame([[1], [2]], index=["a", "a"]), pd.DataFrame([[1]], index=["a"]), {},
     ValueError, "the target word labels repeat 'a'"),
    (pd.DataFrame([[1]], index=["a"]), pd.DataFrame([[1]], index=["b"]), {"words": ["c"]},
     ValueError, "two DataFrames are aligned by their own labels"),
    ([[1]], [[1]], {"measures": ["log_ratio", "dp"]}, ValueError, "unknown measure 'dp'"),
    ([["a"]], [[1]], {}, TypeError, "counts must be numbers"),
])
def test_bad_input_is_one_clear_error(target, reference, options, error, message):
    with pytest.raises(error) as caught:
        lt.keyness(target, reference, **options)
    assert message in str(caught.value)


def test_docstring_examples_run():
    import lexispan_table._keyness as module
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted >= 8 and result.failed == 0


@pytest.mark.skipif(os.environ.get("LEXISPAN_SANITIZED") == "1",
                    reason="ASan's shadow memory cannot live under an address-space limit")
def test_a_large_vocabulary_takes_memory_of_its_nonzeros():
    """200,000 words over 2,000 and 3,000 parts, 600,000 counts each, under a
    1.2 GB address-space limit: the smaller corpus made dense would need 3.2 GB."""
    script = """if True:
        import resource, numpy as np, scipy.sparse as sp, lexispan_table as lt
        resource.setrlimit(resource.RLIMIT_AS, (1_200_000_000, 1_200_000_000))
        rng = np.random.default_rng(3)
        def corpus(parts):
            words = rng.integers(0, 200_000, 600_000)
            return sp.csr_array((rng.integers(1, 5, 600_000).astype(float),
                                 (words, rng.integers(0, parts, 600_000))), (200_000, parts))
        table = lt.keyness_arrays(corpus(2_000), corpus(3_000))
        print(int(table["target_range"].sum()) > 500_000, table["mean_text_frequency_d"].size)
    """
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", MALLOC_ARENA_MAX="2", RAYON_NUM_THREADS="2")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "200000"]
