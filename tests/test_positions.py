"""Distance-based measures from token positions: bit for bit against the
integer formulas in Python, against the defining sums in exact arithmetic,
the guards, the errors, thread counts, and the grouping of a token stream."""

import math
import random
import sys
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

from conftest import INF, bits
import lexispan_table
from lexispan_table import position_dispersion, positions_from_tokens

NAMES = ("arf", "awt", "f_awt", "ald", "f_ald", "mb")


def gaps(positions, n):
    ps = [int(p) for p in positions]
    return [ps[0] + n - ps[-1]] + [b - a for a, b in zip(ps, ps[1:])]


def reference(positions, n):
    """The documented formulas, each rounding where the engine rounds."""
    if len(positions) == 0:
        return dict(arf=0.0, awt=INF, f_awt=0.0, ald=INF, f_ald=0.0, mb=0.0)
    d = gaps(positions, n)
    f = len(d)
    # Nelson's MB: chunk floor(p f / n) of f chunks.
    absent = float(f - len({int(p) * f // n for p in positions})) / float(f)
    expected = math.exp(-1.0)
    long_gaps = sum(1 for x in d if x * f >= n)
    short_sum = sum(x for x in d if x * f < n)
    squares = sum(x * x for x in d)
    ald = 0.0
    for x in d:
        ald += (float(x) / float(n)) * math.log10(float(x))
    return dict(arf=long_gaps + float(short_sum * f) / float(n),
                awt=(1.0 + float(squares) / float(n)) / 2.0,
                f_awt=float(n * n) / float(squares),
                ald=ald,
                f_ald=float(n) * 10.0 ** -ald,
                mb=1.0 if absent <= expected else 1.0 - (absent - expected) / (1.0 - expected))


def random_positions(rng, n, f):
    return np.sort(np.asarray(rng.sample(range(n), f), dtype=np.int64))


def assert_rows(frame, expected_rows):
    for w, expected in enumerate(expected_rows):
        for name in NAMES:
            assert bits(float(frame[name].iloc[w])) == bits(expected[name]), (w, name)


@pytest.mark.parametrize("seed", range(12))
def test_values_have_the_bits_of_the_formulas(seed):
    rng = random.Random(seed)
    n = rng.choice([1, 2, 7, 100, 1000, 100_003])
    words = [random_positions(rng, n, rng.randint(0, min(n, 60))) for _ in range(40)]
    words.append(np.arange(n, dtype=np.int64)[: min(n, 5000)])
    frame = position_dispersion(words, n, threads=1)
    assert list(frame.columns) == list(NAMES)
    assert_rows(frame, [reference(p, n) for p in words])


def test_corpora_beyond_two_to_the_53_keep_exact_gap_sums():
    n = 2**62 + 12345
    words = [np.array([0], np.int64), np.array([3, 2**61, 2**62], np.int64),
             np.array([2**53 + 1, 2**53 + 2], np.int64),
             # p x f beyond 64 bits (MB's chunks)
             np.array([1, 2**61, 2**62 - 1, 2**62, 2**62 + 12000], np.int64)]
    frame = position_dispersion(words, n)
    assert_rows(frame, [reference(p, n) for p in words])


@pytest.mark.parametrize("seed", range(6))
def test_arf_awt_and_ald_follow_their_definitions(seed):
    rng = random.Random(100 + seed)
    n = rng.randint(2, 5000)
    p = random_positions(rng, n, rng.randint(1, min(n, 300)))
    (row,) = position_dispersion([p], n).itertuples(index=False)
    d = gaps(p, n)
    v = Fraction(n, len(d))
    arf = sum(min(Fraction(x), v) for x in d) / v
    awt = (1 + Fraction(sum(x * x for x in d), n)) / 2
    ald = math.fsum(x / n * math.log10(x) for x in d)
    assert row.arf == pytest.approx(float(arf), rel=1e-15)
    assert row.awt == pytest.approx(float(awt), rel=1e-15)
    assert row.f_awt == pytest.approx(float(Fraction(n * n, sum(x * x for x in d))), rel=1e-15)
    assert row.ald == pytest.approx(ald, rel=1e-12, abs=1e-15)
    assert row.f_ald == pytest.approx(n * 10 ** -ald, rel=1e-12)


@pytest.mark.parametrize("positions, n, expected", [
    # No occurrence: nothing reduced, infinite waiting and distance.
    ([], 10, dict(arf=0.0, awt=INF, f_awt=0.0, ald=INF, f_ald=0.0)),
    # One occurrence: a single gap of N.
    ([4], 10, dict(arf=1.0, awt=5.5, f_awt=1.0, ald=1.0, f_ald=1.0)),
    # Every token: all gaps 1, each measure at its maximum f = N.
    (list(range(8)), 8, dict(arf=8.0, awt=1.0, f_awt=8.0, ald=0.0, f_ald=8.0)),
    # Evenly spaced: ARF and both adjusted frequencies equal f.
    ([1, 5, 9, 13], 16, dict(arf=4.0, awt=2.5, f_awt=4.0, f_ald=4.0)),
    # Bunched: gaps 1, 1, 14 of v = 16/3.
    ([0, 1, 2], 16, dict(arf=1.0 + 2 * 3 / 16 + 0.0, awt=(1 + 198 / 16) / 2, f_awt=256 / 198)),
    # Corpus of one token.
    ([0], 1, dict(arf=1.0, awt=1.0, f_awt=1.0, ald=0.0, f_ald=1.0)),
])
def test_worked_values_at_the_edges(positions, n, expected):
    frame = position_dispersion({"w": np.asarray(positions, dtype=np.int64)}, n)
    for name, value in expected.items():
        assert frame.loc["w", name] == pytest.approx(value, rel=1e-15), name


def test_thread_counts_give_the_same_bits():
    rng = np.random.default_rng(3)
    n = 200_000
    tokens = rng.zipf(1.3, size=n) % 5000
    words = positions_from_tokens([str(t) for t in tokens])
    frames = [position_dispersion(words, n, threads=t) for t in (1, 2, 7)]
    for other in frames[1:]:
        for name in NAMES:
            assert frames[0][name].to_numpy().tobytes() == other[name].to_numpy().tobytes()


def test_index_columns_and_inputs():
    strided = np.arange(8, dtype=np.int64)[::3]
    words = {"b": np.array([1, 3]), "a": [0], "c": np.array([], dtype=np.float64),
             "d": np.array([2], dtype=np.uint8), "e": strided,
             "f": np.array([0, 5], dtype=np.int32)}
    frame = position_dispersion(words, 8, measures=["f_ald", "arf"])
    assert list(frame.index) == ["b", "a", "c", "d", "e", "f"]
    assert frame.loc["e", "arf"] == reference(strided, 8)["arf"]
    assert frame.loc["f", "arf"] == reference([0, 5], 8)["arf"]
    assert list(frame.columns) == ["f_ald", "arf"]
    assert frame["arf"].dtype == np.float64
    unnamed = position_dispersion((np.array([0, 2]), np.array([1])), 3)
    assert isinstance(unnamed.index, pd.RangeIndex) and len(unnamed) == 2
    series = position_dispersion(pd.Series({"b": np.array([1, 3]), "a": np.array([0])}), 4)
    assert list(series.index) == ["b", "a"]
    assert series.loc["a", "arf"] == 1.0
    assert_rows(position_dispersion({"b": [1, 3]}, 4, progress=True), [reference([1, 3], 4)])
    empty = position_dispersion({}, 5)
    assert empty.shape == (0, len(NAMES))
    assert lexispan_table.POSITION_MEASURE_NAMES == NAMES


@pytest.mark.parametrize("positions, n, message", [
    ({"x": [0, 1], "y": [3, 2]}, 5, r"word 'y' are not strictly increasing \(at index 1\)"),
    ({"x": [0, 1, 1]}, 5, r"word 'x' are not strictly increasing \(at index 2\)"),
    ({"x": [0, 5]}, 5, r"word 'x' leave \[0, corpus_length=5\) \(at index 1\)"),
    ({"x": [-1, 2]}, 5, r"word 'x' leave \[0, corpus_length=5\)"),
    ([[0], [4, 9], [7, 1]], 5, r"positions of word 1 leave"),
    ({"x": np.array([2**64 - 1], dtype=np.uint64)}, 5, r"word 'x' leave"),
    ({"x": [[0, 1]]}, 5, "one-dimensional"),
])
def test_bad_positions_raise_value_error_naming_the_word(positions, n, message):
    with pytest.raises(ValueError, match=message):
        position_dispersion(positions, n)


def test_the_lowest_bad_word_is_reported_whatever_the_thread_count():
    words = [np.arange(0, 50_000, 2, dtype=np.int64) for _ in range(400)]
    words[350] = words[350][::-1].copy()
    words[390] = words[390] + 10**9
    for threads in (1, 2, 7):
        with pytest.raises(ValueError, match="word 350 are not strictly increasing"):
            position_dispersion(words, 100_000, threads=threads)


@pytest.mark.parametrize("call, error, message", [
    (lambda: position_dispersion({"x": [0.5]}, 5), TypeError, "must be integers"),
    (lambda: position_dispersion({"x": [True]}, 5), TypeError, "must be integers"),
    (lambda: position_dispersion({"x": "01"}, 5), TypeError, "not a string"),
    (lambda: position_dispersion("abc", 5), TypeError, "mapping of word"),
    (lambda: position_dispersion(42, 5), TypeError, "mapping of word"),
    (lambda: position_dispersion({"x": [0]}, 0), ValueError, "corpus_length must be between"),
    (lambda: position_dispersion({"x": [0]}, 2**63), ValueError, "corpus_length must be"),
    (lambda: position_dispersion({"x": [0]}, 5.0), TypeError, "corpus_length must be an int"),
    (lambda: position_dispersion({"x": [0]}, True), TypeError, "corpus_length must be an int"),
    (lambda: position_dispersion({"x": [0]}, 5, measures=["dp"]), ValueError,
     "unknown measure 'dp'"),
    (lambda: position_dispersion({"x": [0]}, 5, threads=0), ValueError, "at least 1"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def python_positions(tokens):
    grouped = {}
    for i, t in enumerate(tokens):
        grouped.setdefault(t, []).append(i)
    return grouped


@pytest.mark.parametrize("make", [list, tuple, iter, lambda t: np.asarray(t, dtype=object),
                                  lambda t: np.asarray(t, dtype=str)])
def test_positions_from_tokens_groups_in_order_of_first_occurrence(make):
    rng = random.Random(8)
    tokens = [rng.choice(["the", "of", "a", "zebra", "ünïcode", ""]) + str(rng.randint(0, 30))
              for _ in range(3000)]
    got = positions_from_tokens(make(tokens))
    expected = python_positions(tokens)
    assert list(got) == list(expected)
    assert all(type(word) is str for word in got)
    for word, positions in expected.items():
        assert got[word].dtype == np.int64
        assert got[word].tolist() == positions


def test_positions_from_tokens_without_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    tokens = "b a b c a b".split()
    got = positions_from_tokens(tokens)
    assert list(got) == ["b", "a", "c"]
    assert [got[w].tolist() for w in got] == [[0, 2, 5], [1, 4], [3]]


def test_tokens_are_grouped_as_dict_keys_are():
    tokens = ["a", None, 1, 1.0, True, "a", None, (1, 2)]
    got = positions_from_tokens(tokens)
    assert list(got) == ["a", None, 1, (1, 2)]
    assert [got[w].tolist() for w in got] == [[0, 5], [1, 6], [2, 3, 4], [7]]


def test_a_token_that_empties_the_list_while_compared_is_refused_cleanly():
    tokens = []

    class Hostile:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            tokens.clear()
            return False

    tokens.extend([Hostile(), Hostile(), "x"])
    with pytest.raises(IndexError):
        positions_from_tokens(tokens)
    with pytest.raises(TypeError, match="unhashable"):
        positions_from_tokens([["a"], ["b"]])


def test_positions_from_tokens_edges():
    assert positions_from_tokens([]) == {}
    with pytest.raises(TypeError, match="not a single string"):
        positions_from_tokens("the cat")
    with pytest.raises(ValueError, match="one-dimensional"):
        positions_from_tokens(np.array([["a", "b"]]))


def test_a_token_stream_round_trip():
    tokens = "a b a c a b a".split()
    words = positions_from_tokens(tokens)
    frame = position_dispersion(words, len(tokens), measures=["arf"])
    # a at 0, 2, 4, 6 of 7: gaps 1, 2, 2, 2 against v = 7/4.
    assert frame.loc["a", "arf"] == pytest.approx((1 + 3 * 7 / 4) / (7 / 4))
    assert frame.loc["c", "arf"] == 1.0
