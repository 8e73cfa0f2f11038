"""The field's recent measures: the worked values of Lyne's ALLEMAND and of a
five-part word, the frequency-adjusted extremes against an exhaustive search
over every allocation, dense, sparse, threaded and Dask input giving the same
bits, the special functions of D_MB's interval against references, the level's
errors and the command's options."""

import itertools

import numpy as np
import pytest
import scipy.sparse

import lexispan_table
from conftest import NAN, bits
from test_cli import run, table

RECENT = ("egbert_dp", "dkl_o2p", "dkl_base2", "dkl_base_e", "range_by_size", "dmb", "dmb_low",
          "dmb_high", "dp_nofreq", "egbert_dp_nofreq", "dkl_nofreq", "rosengren_s_nofreq",
          "range_nofreq")

ALLEMAND = [2, 0, 1, 1, 3, 0, 3, 0, 0, 0]
LYNE_SIZES = [8143, 8058, 8271, 8125, 7959, 7941, 8146, 8001, 8003, 7930]


def columns(rows, sizes, measures=RECENT, **options):
    return lexispan_table.dispersion_arrays(np.asarray(rows, dtype=np.float64),
                                            np.asarray(sizes, dtype=np.float64),
                                            measures=measures, **options)


# (counts, sizes, column, value, decimals): the worked values to the digits
# given; None for decimals: exact.
WORKED = [
    (ALLEMAND, LYNE_SIZES, "egbert_dp", 0.4462309620, 10),
    (ALLEMAND, LYNE_SIZES, "dp_nofreq", 0.4492627350, 10),
    (ALLEMAND, LYNE_SIZES, "egbert_dp_nofreq", 0.4490402839, 10),
    (ALLEMAND, LYNE_SIZES, "dkl_nofreq", 0.3070661319, 10),
    (ALLEMAND, LYNE_SIZES, "rosengren_s_nofreq", 0.4192260825, 10),
    (ALLEMAND, LYNE_SIZES, "range_nofreq", 4 / 9, None),
    (ALLEMAND, LYNE_SIZES, "dkl_o2p", 0.4665078, 7),
    (ALLEMAND, LYNE_SIZES, "dkl_base2", 0.4526328327, 10),
    (ALLEMAND, LYNE_SIZES, "dkl_base_e", 0.3186739314, 10),
    (ALLEMAND, LYNE_SIZES, "dmb", 0.7910276046, 10),
    (ALLEMAND, LYNE_SIZES, "dmb_low", 0.604695, 6),
    (ALLEMAND, LYNE_SIZES, "dmb_high", 1.0, None),
    (ALLEMAND, LYNE_SIZES, "range_by_size", sum(c for v, c in zip(ALLEMAND, LYNE_SIZES) if v)
     / sum(LYNE_SIZES), 15),
    ([0, 0, 1, 2, 5], [1000] * 5, "dmb", 0.7517822106, 10),
    ([0, 0, 1, 2, 5], [1000] * 5, "dmb_low", 0.632164, 6),
    ([0, 0, 1, 2, 5], [1000] * 5, "dmb_high", 1.0, None),
    # DP's extremes for ALLEMAND's f = 10: the word at each gets 0 and 1.
    ([0] * 9 + [10], LYNE_SIZES, "dp_nofreq", 0.0, None),
    ([1] * 10, LYNE_SIZES, "dp_nofreq", 1.0, None),
    # One part of several: D_P 0; a single part: 1.
    ([0, 4, 0], [5, 6, 7], "egbert_dp", 0.0, None),
    ([4], [5], "egbert_dp", 1.0, None),
    # f = 0: 0 in the measures, NaN in the frequency-adjusted ones.
    ([0, 0, 0], [5, 6, 7], "dmb", 0.0, None),
    ([0, 0, 0], [5, 6, 7], "range_by_size", 0.0, None),
    ([0, 0, 0], [5, 6, 7], "dkl_base_e", 0.0, None),
    ([0, 0, 0], [5, 6, 7], "dp_nofreq", NAN, None),
    # Extremes that coincide, and counts that are not whole numbers: NaN.
    ([0, 1, 0], [5, 6, 7], "range_nofreq", NAN, None),
    ([0, 1, 0], [5, 6, 7], "egbert_dp_nofreq", NAN, None),
    ([0, 1, 0], [5, 5, 5], "dp_nofreq", NAN, None),
    ([7], [5], "rosengren_s_nofreq", NAN, None),
    ([0, 1.5, 0.5], [5, 6, 7], "dkl_nofreq", NAN, None),
]


@pytest.mark.parametrize("counts, sizes, name, value, decimals", WORKED)
def test_worked_values(counts, sizes, name, value, decimals):
    got = float(columns([counts], sizes, measures=[name])[name][0])
    if decimals is None:
        assert bits(got) == bits(value), (got, value)
    else:
        assert round(got, decimals) == pytest.approx(value, abs=0.5 * 10.0 ** -decimals), got


def allocations(f, n):
    for cut in itertools.combinations(range(f + n - 1), n - 1):
        edges = (-1, *cut, f + n - 1)
        yield [edges[i + 1] - edges[i] - 1 for i in range(n)]


# Each frequency-adjusted column, its base column and whether the base grows
# with evenness.
ADJUSTED = [("dp_nofreq", "dp", False), ("egbert_dp_nofreq", "egbert_dp", True),
            ("dkl_nofreq", "dkl_o2p", True), ("rosengren_s_nofreq", "roschengren_s_adj", True),
            ("range_nofreq", "range", True)]


@pytest.mark.parametrize("seed", range(30))
def test_extremes_are_those_of_an_exhaustive_search(seed):
    # Every allocation of f tokens to the parts is a row; the place of each
    # between the least and the largest value of its base column over all
    # rows must be the engine's frequency-adjusted value.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 6))
    f = int(rng.integers(1, 9))
    sizes = rng.integers(1, 40, size=n).astype(np.float64)
    if seed == 0:
        n, f, sizes = 3, 3, np.array([8.0, 28.0, 21.0])  # D_P's most even is (1, 1, 1)
    rows = np.array(list(allocations(f, n)), dtype=np.float64)
    names = [name for pair in ADJUSTED for name in pair[:2]]
    out = columns(rows, sizes, measures=names)
    for adjusted, base, rising in ADJUSTED:
        values = out[base].astype(np.float64)
        low, high = values.min(), values.max()
        least, most = (low, high) if rising else (high, low)
        expected = np.full(len(rows), NAN) if least == most else np.clip(
            (values - least) / (most - least), 0.0, 1.0)
        np.testing.assert_allclose(out[adjusted], expected, rtol=0, atol=1e-12,
                                   err_msg=f"{adjusted} sizes={sizes} f={f}")


def test_every_input_kind_entry_point_and_thread_count_gives_the_same_bits():
    dask_array = pytest.importorskip("dask.array")
    rng = np.random.default_rng(21)
    counts = rng.integers(0, 5, size=(400, 31)) * (rng.random((400, 31)) < 0.15)
    counts[:40] = rng.integers(0, 3, size=(40, 31))  # dense rows take the dense walk
    counts[7] = 0
    counts = counts.astype(np.float64)
    counts[9, 3] = 1.5  # not whole: NaN extremes
    sizes = rng.integers(1, 900, size=31).astype(np.float64)
    sizes[4] = 0.0
    names = ("dp", *RECENT)
    base = lexispan_table.dispersion_arrays(counts, sizes, measures=names, threads=1,
                                            level=0.9)
    others = [
        lexispan_table.dispersion_arrays(scipy.sparse.csr_array(counts), sizes,
                                         measures=names[::-1], threads=2, level=0.9),
        lexispan_table.dispersion_arrays(scipy.sparse.csc_array(counts.T), sizes, words_axis=1,
                                         measures=names, threads=7, level=0.9),
        lexispan_table.dispersion(scipy.sparse.csr_array(counts), sizes, measures=names,
                                  level=0.9),
        {name: column.compute() for name, column in lexispan_table.dispersion_arrays(
            dask_array.from_array(counts, chunks=(97, 31)), sizes, measures=names,
            level=0.9).items()},
    ]
    for other in others:
        for name in names:
            assert np.asarray(other[name]).tobytes() == base[name].tobytes(), name
    # The level moves the interval only.
    wider = lexispan_table.dispersion_arrays(counts, sizes, measures=names, level=0.99)
    assert all(wider[name].tobytes() == base[name].tobytes()
               for name in names if name not in ("dmb_low", "dmb_high"))
    assert np.all(wider["dmb_low"] <= base["dmb_low"])


@pytest.mark.parametrize("level, error", [(0.0, ValueError), (1.0, ValueError),
                                          (NAN, ValueError), (-0.5, ValueError),
                                          (2, ValueError), ("0.9", TypeError),
                                          (True, TypeError)])
def test_level_outside_the_open_unit_interval(level, error):
    with pytest.raises(error, match="level"):
        columns([[1, 2]], [3, 4], level=level)


def test_command_all_measures_and_level(tmp_path):
    folder = tmp_path / "corpus"
    folder.mkdir()
    texts = ["the cat sat on the mat", "the dog ran", "a cat and a dog and the end", "the"]
    for i, text in enumerate(texts):
        (folder / f"{i}.txt").write_text(text + "\n")
    header, _ = table(run(folder, "--measures", "all"))
    assert header[1:] == list(lexispan_table.MEASURE_NAMES)
    header, rows = table(run(folder, "--measures", "dmb_low,dp_nofreq", "--level", "0.5"))
    assert header == ["word", "frequency", "dmb_low", "dp_nofreq"]
    sizes = [6, 3, 8, 1]
    expected = columns([[2, 1, 1, 1]], sizes, measures=["dmb_low", "dp_nofreq"], level=0.5)
    assert [bits(float(cell)) for cell in rows["the"][2:]] == [
        bits(float(expected[name][0])) for name in ("dmb_low", "dp_nofreq")]
    assert "strictly between 0 and 1" in run(folder, "--level", "1").stderr
