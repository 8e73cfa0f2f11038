"""The catalogue measures of the table API: bit for bit against plain-Python
formulas summed in the same order, exact values on Gries' five-part example,
Kromer's harmonic numbers against exact rationals, the guards, and the sparse
forms against the dense ones (native test)."""

import math
import random
from decimal import Decimal, getcontext
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import scipy.sparse

from conftest import INF, NAN, bits, exact
import lexispan_table
from lexispan_table import _native
from lexispan_table._measures import MEASURE_NAMES

ROOT = Path(__file__).resolve().parent.parent
CATALOGUE = ("idf", "maxmin", "engwall_fm", "juilland_u", "juilland_d_eq", "carroll_um",
             "rosengren_kf", "zhang_dc", "chi_squared", "lyne_d3", "kromer_ur",
             "frequency_per_million")
# The columns before the recent measures: the record's fields, then the catalogue.
ESTABLISHED = MEASURE_NAMES[:MEASURE_NAMES.index("egbert_dp")]


def table(rows, sizes, total=None, measures=CATALOGUE, **options):
    total = float(sum(sizes)) if total is None else total
    columns = lexispan_table.dispersion_arrays(np.asarray(rows, dtype=np.float64), sizes,
                                               total, measures=measures,
                                               **{"check": False, **options})
    return [{name: float(columns[name][w]) for name in measures} for w in range(len(rows))]


def test_the_engine_and_the_name_table_list_the_same_columns_in_the_same_order():
    assert _native.column_names() == MEASURE_NAMES
    assert ESTABLISHED[-len(CATALOGUE):] == CATALOGUE


# Plain-Python formulas, every sum in index order from the start value the
# engine uses, so that the results must agree to the bit.

def frequency(v):
    f = -0.0
    for x in v:
        f += x
    return f


def reference(v, sizes, total, d, d2):
    n = len(v)
    f = frequency(v)
    rel = [c / total for c in sizes]
    occupied = sum(1 for x in v if x > 0)
    out = {"idf": math.log2(n / occupied) if occupied else INF,
           "maxmin": (max(v) - min(v)) + 0.0,
           "engwall_fm": (f * occupied) / n,
           "juilland_u": d * f,
           "carroll_um": f * d2 + ((1.0 - d2) * f) / n,
           "frequency_per_million": (f / total) * 1e6}
    if n < 2:
        out["juilland_d_eq"] = 1.0 if f > 0 else 0.0
    elif f == 0 or abs(f / n) < 1e-12:
        out["juilland_d_eq"] = 0.0
    else:
        m = f / n
        squares = 0.0
        for x in v:
            squares += (x - m) * (x - m)
        out["juilland_d_eq"] = 1.0 - (math.sqrt(squares / n) / m) / math.sqrt(n - 1)
    if f == 0:
        out.update(rosengren_kf=0.0, zhang_dc=0.0, chi_squared=0.0, lyne_d3=0.0)
        return out
    roots = 0.0
    for s, x in zip(rel, v):
        roots += math.sqrt(s * x)
    out["rosengren_kf"] = roots * roots
    roots = 0.0
    for x in v:
        roots += math.sqrt(x)
    mean_root = roots / n
    out["zhang_dc"] = (mean_root * mean_root) / (f / n)
    chi = 0.0
    for s, x in zip(rel, v):
        expected = s * f
        if expected == 0 and x == 0:
            continue
        chi += ((x - expected) * (x - expected)) / expected if expected else INF
    out["chi_squared"] = chi
    out["lyne_d3"] = 1.0 - chi / (4.0 * f)
    return out


def random_case(rng):
    n = rng.choice([1, 2, 3, 5, 8, 17, 40])
    sizes = [float(rng.choice([rng.randint(1, 5000), rng.randint(1, 5000), 0]))
             if rng.random() < 0.1 else float(rng.randint(1, 5000)) for _ in range(n)]
    if not any(sizes):
        sizes[0] = 7.0
    rows = []
    for _ in range(12):
        density = rng.random()
        rows.append([0.0 if rng.random() > density else
                     (rng.randint(1, 60) if rng.random() < 0.8 else rng.randint(1, 900) / 7)
                     for _ in range(n)])
    # Parts of size 0 may hold counts too (chi-squared is then infinite).
    return rows, sizes


@pytest.mark.parametrize("seed", range(40))
def test_every_column_has_the_bits_of_the_plain_formula(seed):
    rng = random.Random(seed)
    rows, sizes = random_case(rng)
    total = float(sum(sizes)) if seed % 3 else float(sum(sizes)) * 1.5
    got = table(rows, sizes, total, measures=CATALOGUE + ("juilland_d", "carroll_d2"))
    for v, values in zip(rows, got):
        expected = reference(v, sizes, total, values["juilland_d"], values["carroll_d2"])
        for name in expected:
            assert exact(values[name], expected[name]), (name, v, sizes, values[name],
                                                         expected[name])


def test_sparse_and_dense_input_and_every_thread_count_give_the_same_bits():
    rng = np.random.default_rng(5)
    counts = rng.integers(0, 4, size=(301, 23)) * (rng.random((301, 23)) < 0.2)
    counts[7] = 0
    sizes = rng.integers(1, 1000, size=23).astype(float)
    base = lexispan_table.dispersion_arrays(counts, sizes, measures=CATALOGUE, threads=1)
    for other in (lexispan_table.dispersion_arrays(scipy.sparse.csr_array(counts), sizes,
                                                   measures=CATALOGUE, threads=2),
                  lexispan_table.dispersion_arrays(scipy.sparse.csc_array(counts), sizes,
                                                   measures=CATALOGUE, threads=7)):
        for name in CATALOGUE:
            assert base[name].tobytes() == other[name].tobytes(), name


def test_asking_for_the_catalogue_changes_no_bit_of_the_other_columns():
    rng = np.random.default_rng(9)
    counts = rng.integers(0, 6, size=(120, 11)) * (rng.random((120, 11)) < 0.4)
    sizes = rng.integers(1, 300, size=11).astype(float)
    others = ESTABLISHED[:-len(CATALOGUE)]
    alone = lexispan_table.dispersion_arrays(counts, sizes, measures=others)
    together = lexispan_table.dispersion_arrays(counts, sizes, measures=CATALOGUE[::-1] + others)
    for name in others:
        assert alone[name].tobytes() == together[name].tobytes(), name


def sparse_path_rows(rng, n):
    """Rows the sparse path takes: all zero, one nonzero, all but one part, random densities,
    power-of-two counts (ties) and fractional ones; each has an absent part."""
    rows = [np.zeros(n)]
    one = np.zeros(n)
    one[rng.integers(n)] = float(rng.integers(1, 1000))
    rows.append(one)
    for density in (0.02, 0.3, 0.9, 1.0):
        for kind in ("counts", "powers", "fractions"):
            if kind == "counts":
                row = rng.integers(1, 60, size=n).astype(np.float64)
            elif kind == "powers":
                row = np.ldexp(1.0, rng.integers(-8, 30, size=n))
            else:
                row = rng.integers(1, 900, size=n) / 7.0
            row *= rng.random(n) < density
            row[rng.integers(n)] = 0.0
            rows.append(row)
    return np.array(rows)


@pytest.mark.parametrize("seed", range(12))
def test_the_sparse_path_gives_the_bits_of_the_plain_walk(seed):
    # A -0.0 where a word is absent sends its row through the plain walk
    # over the profile without changing any value; the same row with +0.0
    # there takes the sparse path. Both, from CSR and from a dense array,
    # in one call, must agree on every column to the bit.
    rng = np.random.default_rng(seed)
    n = int(rng.choice([2, 3, 7, 40, 300]))
    sizes = rng.integers(1, 5000, size=n).astype(np.float64)
    if seed % 3 == 1:
        sizes[rng.integers(n)] = 0.0  # a part of size 0: chi-squared is infinite there
    total = float(sizes.sum()) * (1.0 if seed % 2 else 1.5)
    sparse_rows = sparse_path_rows(rng, n)
    plain_rows = sparse_rows.copy()
    for row in plain_rows:
        row[int(rng.choice(np.flatnonzero(row == 0.0)))] = -0.0
    counts = np.vstack([sparse_rows, plain_rows])
    words = len(sparse_rows)
    stored = (counts != 0.0) | np.signbit(counts)  # keeps the -0.0 entries
    csr = scipy.sparse.csr_array((counts[stored], np.nonzero(stored)[1],
                                  np.concatenate([[0], np.cumsum(stored.sum(axis=1))])),
                                 shape=counts.shape)
    assert np.signbit(csr.data).sum() == words
    for given in (counts, csr):
        out = lexispan_table.dispersion_arrays(given, sizes, total, measures="all", threads=1)
        for name in MEASURE_NAMES:
            assert out[name][:words].tobytes() == out[name][words:].tobytes(), name


# Gries (2008), section 3: five parts of 9, 10, 10, 10 and 11 words; the word
# "a" occurs 1, 2, 3, 4 and 5 times. DP = 0.18 is printed there; the other
# values are the definitions evaluated in exact rational arithmetic.
GRIES_SIZES = [9, 10, 10, 10, 11]
GRIES_A = [1, 2, 3, 4, 5]


def exact_chi_squared(v, sizes):
    total = sum(sizes)
    f = sum(v)
    chi = Fraction(0)
    for x, c in zip(v, sizes):
        expected = Fraction(c, total) * f
        chi += (x - expected) ** 2 / expected
    return chi


def test_gries_example_word_a():
    (got,) = table([GRIES_A], GRIES_SIZES, measures=CATALOGUE + ("dp",))
    assert round(got["dp"], 2) == 0.18
    chi = exact_chi_squared(GRIES_A, GRIES_SIZES)
    # 289/270 + 1/3 + 0 + 1/3 + 289/330
    assert chi == Fraction(776, 297)
    assert got["chi_squared"] == pytest.approx(float(chi), rel=4e-16)
    assert got["lyne_d3"] == pytest.approx(float(1 - chi / 60), rel=4e-16)
    assert exact(got["idf"], 0.0)
    assert exact(got["maxmin"], 4.0)
    assert exact(got["engwall_fm"], 15.0)
    assert exact(got["frequency_per_million"], 300000.0)
    # H(1) + ... + H(5) = 1 + 3/2 + 11/6 + 25/12 + 137/60 = 87/10
    assert got["kromer_ur"] == pytest.approx(8.7, rel=4e-16)
    # VC of 1..5 is sqrt(2) / 3; D_eq = 1 - sqrt(2) / 6.
    assert got["juilland_d_eq"] == pytest.approx(1 - math.sqrt(2) / 6, rel=4e-16)
    # (sum sqrt(v))^2 / (n f) with n = 5, f = 15.
    roots = sum(math.sqrt(x) for x in GRIES_A)
    assert got["zhang_dc"] == pytest.approx(roots * roots / 75, rel=4e-16)
    kf = sum(math.sqrt(Fraction(c, 50) * x) for c, x in zip(GRIES_SIZES, GRIES_A)) ** 2
    assert got["rosengren_kf"] == pytest.approx(kf, rel=4e-16)


@pytest.mark.parametrize("v, sizes, expected", [
    # An even word in equal parts: every dispersion at its maximum.
    ([3, 3, 3, 3], [10] * 4, dict(idf=0.0, maxmin=0.0, engwall_fm=12.0, juilland_d_eq=1.0,
                                  juilland_u=12.0, chi_squared=0.0, lyne_d3=1.0,
                                  carroll_um=12.0)),
    # A word in one of four equal parts: D_eq = 0, IDF = log2 4, U_R = H(8).
    ([8, 0, 0, 0], [10] * 4, dict(idf=2.0, maxmin=8.0, engwall_fm=2.0, juilland_d_eq=0.0,
                                  juilland_u=0.0, chi_squared=24.0, lyne_d3=0.25,
                                  carroll_um=2.0, kromer_ur=float(Fraction(761, 280)))),
])
def test_values_at_the_ends_of_the_ranges(v, sizes, expected):
    (got,) = table([v], sizes)
    for name, value in expected.items():
        # D of a one-part word is 0 only up to rounding, and U is 8 D.
        assert got[name] == pytest.approx(value, abs=2e-15), name


@pytest.mark.parametrize("v, sizes, total, expected", [
    # f = 0: IDF is infinite, every other measure 0.
    ([0, 0, 0], [10, 10, 10], 30, dict(idf=INF, maxmin=0.0, engwall_fm=0.0, juilland_u=0.0,
                                       juilland_d_eq=0.0, carroll_um=0.0, rosengren_kf=0.0,
                                       zhang_dc=0.0, chi_squared=0.0, lyne_d3=0.0,
                                       kromer_ur=0.0, frequency_per_million=0.0)),
    ([0], [10], 10, dict(idf=INF, maxmin=0.0, juilland_d_eq=0.0, chi_squared=0.0,
                         lyne_d3=0.0, carroll_um=0.0)),
    # n = 1: a part that is the whole corpus.
    ([7], [10], 10, dict(idf=0.0, maxmin=0.0, engwall_fm=7.0, juilland_u=7.0,
                         juilland_d_eq=1.0, carroll_um=7.0, chi_squared=0.0, lyne_d3=1.0,
                         frequency_per_million=700000.0)),
    # A part of size 0 without the word adds nothing to chi-squared ...
    ([0, 2, 2], [0, 10, 10], 20, dict(chi_squared=0.0, lyne_d3=1.0, idf=math.log2(1.5))),
    # ... with the word, chi-squared is infinite.
    ([1, 2, 2], [0, 10, 10], 20, dict(chi_squared=INF, lyne_d3=-INF)),
    # Whole counts below zero are poles of Kromer's digamma; NaN stays NaN,
    # and like range, IDF does not count a NaN part.
    ([-1, 2], [10, 10], 20, dict(kromer_ur=NAN)),
    ([NAN, 2], [10, 10], 20, dict(maxmin=NAN, kromer_ur=NAN, chi_squared=NAN, idf=1.0)),
    # Equal extremes are +0.0 whatever the zeros' signs.
    ([-0.0, 0.0], [10, 10], 20, dict(maxmin=0.0)),
])
def test_guards(v, sizes, total, expected):
    (got,) = table([v], sizes, float(total))
    for name, value in expected.items():
        assert exact(got[name], value), (name, got[name], value)


# Kromer's U_R term: H(x) = psi(x + 1) - psi(1), read from a one-part table
# (then U_R is the term itself).

def harmonic_terms(values):
    rows = [[float(x)] for x in values]
    return lexispan_table.dispersion_arrays(np.asarray(rows), [1.0], 1.0, measures=["kromer_ur"],
                                            check=False)["kromer_ur"]


def exact_harmonic(k):
    return sum(Fraction(1, j) for j in range(1, k + 1))


def ulps(a, b):
    return abs(a - b) / math.ulp(b)


def test_harmonic_numbers_below_64_are_correctly_rounded():
    got = harmonic_terms(range(64))
    for k, value in enumerate(got):
        assert bits(float(value)) == bits(float(exact_harmonic(k))), k


def test_harmonic_numbers_from_the_series_are_within_one_ulp():
    ks = list(range(64, 400)) + [511, 512, 1000, 2047, 4096]
    got = harmonic_terms(ks)
    for k, value in zip(ks, got):
        assert ulps(float(value), float(exact_harmonic(k))) <= 1, k


def decimal_harmonic(k):
    # ln k + gamma + 1/(2k) - 1/(12k^2) + 1/(120k^4), far beyond double precision here.
    getcontext().prec = 50
    gamma = Decimal("0.57721566490153286060651209008240243104215933593992")
    x = Decimal(k)
    return x.ln() + gamma + 1 / (2 * x) - 1 / (12 * x * x) + 1 / (120 * x ** 4)


@pytest.mark.parametrize("k", [10**5, 999_983, 123_456_789, 2**40, 2**53])
def test_large_harmonic_numbers_are_within_one_ulp(k):
    (value,) = harmonic_terms([k])
    assert ulps(float(value), float(decimal_harmonic(k))) <= 1


def test_fractional_counts_use_the_digamma_difference():
    special = pytest.importorskip("scipy.special")
    xs = [0.5, 1.25, 2.5, 7.1, 15.9, 16.5, 63.5, 100.25, 1e6 + 0.5, -0.5, -0.25, -1.5, -2.75]
    got = harmonic_terms(xs)
    for x, value in zip(xs, got):
        expected = special.digamma(x + 1) - special.digamma(1)
        assert float(value) == pytest.approx(expected, rel=2e-15, abs=1e-15), x
    # Gauss: psi(1/2) = -gamma - 2 ln 2, so H(-1/2) = -2 ln 2 and H(1/2) = 2 - 2 ln 2.
    assert float(got[-4]) == pytest.approx(-2 * math.log(2), rel=1e-15)
    assert float(got[0]) == pytest.approx(2 - 2 * math.log(2), rel=1e-15)


def test_kromer_sums_the_terms_of_the_parts_in_index_order():
    rng = random.Random(11)
    rows = [[rng.choice([0, 1, 2, 5, 64, 1000, 2.5]) for _ in range(9)] for _ in range(50)]
    sizes = [10.0] * 9
    got = lexispan_table.dispersion_arrays(np.asarray(rows, float), sizes,
                                           measures=["kromer_ur"])["kromer_ur"]
    for v, value in zip(rows, got):
        terms = harmonic_terms(v)
        total = 0.0
        for t in terms:
            total += float(t)
        assert exact(float(value), total)
