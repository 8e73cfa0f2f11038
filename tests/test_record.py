"""The metric record: its worked values, read-only attributes and four-decimal text form."""

import pickle
import random

import pytest

from conftest import FIELDS, INF, METHOD_FIELDS, NAN, exact, record_bits, value_bits
from lexispan import CorpusWordAnalyzer, DispersionMetrics


def record(v, sizes, total):
    return CorpusWordAnalyzer(v, sizes, total).calculate_all_metrics()


def text(values):
    return "DispersionMetrics(" + ", ".join(f"{k}={v}" for k, v in zip(FIELDS, values)) + ")"


EVEN_THIRDS = ([2, 2, 0], [10, 10, 10], 30)
EVEN_THIRDS_VALUES = (
    2, 0.9428090415820634, 0.7071067811865476, 0.4999999999999999, 0.6309297535714574,
    0.6666666666666666, 0.33333333333333337, 0.5, 0.5849625007211562, 0.8091254953788904,
    0.5716270094038678, 0.13333333333333333, 0.6666666666666666, 0.5, 0.08888888888888888,
    0.06666666666666667,
)
FOUR_PARTS = ([2, 0, 3, 5], [100, 50, 150, 200], 500)
FOUR_PARTS_VALUES = (
    3, 1.8027756377319946, 0.7211102550927978, 0.6588683411371776, 0.7883106100537457,
    0.8972135954999582, 0.09999999999999999, 0.1111111111111111, 0.16096404744368117,
    0.9459842269272, 0.7702470794526387, 0.01625, 0.75, 0.6153846153846153, 0.0121875,
    0.009999999999999998,
)
LARGER_THAN_CORPUS_VALUES = (0, *[0.0] * 6, -0.0, *[0.0] * 8)


@pytest.mark.parametrize("profile, values", [
    (EVEN_THIRDS, EVEN_THIRDS_VALUES),
    (FOUR_PARTS, FOUR_PARTS_VALUES),
    (([0, 0], [200, 300], 100), LARGER_THAN_CORPUS_VALUES),
])
def test_record_fields(profile, values):
    rec = record(*profile)
    for name, expected in zip(FIELDS, values):
        assert exact(getattr(rec, name), expected), name


def test_single_part_record():
    rec = record([7], [1000], 1000)
    assert (rec.juilland_d, rec.carroll_d2) == (1.0, 1.0)
    assert exact(rec.roschengren_s_adj, 1.0000000000000002)
    assert exact(rec.sd_population, 0.0) and exact(rec.vc_population, 0.0)
    assert "roschengren_s_adj=1.0000," in repr(rec)


def test_text_forms_of_worked_records():
    assert repr(record(*EVEN_THIRDS)) == (
        "DispersionMetrics(range=2, sd_population=0.9428, vc_population=0.7071, "
        "juilland_d=0.5000, carroll_d2=0.6309, roschengren_s_adj=0.6667, dp=0.3333, "
        "dp_norm=0.5000, kl_divergence=0.5850, jsd_dispersion=0.8091, "
        "hellinger_dispersion=0.5716, mean_text_frequency_ft=0.1333, pervasiveness_pt=0.6667, "
        "evenness_da=0.5000, ft_adjusted_by_pt=0.0889, ft_adjusted_by_da=0.0667)")
    four = repr(record(*FOUR_PARTS))
    assert "mean_text_frequency_ft=0.0163," in four and ", dp=0.1000," in four
    larger = record([0, 0], [200, 300], 100)
    assert repr(larger) == text(["0", *["0.0000"] * 6, "-0.0000", *["0.0000"] * 8])
    assert str(larger) == repr(larger)


@pytest.mark.parametrize("size, shown", [
    (32, "0.0312"),    # 0.03125, a tie, rounds to the even digit
    (32 / 3, "0.0938"),  # 0.09375 rounds up to the even digit
    (6.4, "0.1562"),   # 0.15625
])
def test_ties_round_to_even(size, shown):
    rec = record([1], [size], size)
    for name in ("mean_text_frequency_ft", "ft_adjusted_by_pt", "ft_adjusted_by_da"):
        assert f"{name}={shown}" in repr(rec)


@pytest.mark.parametrize("q, shown", [
    (1e20, "100000000000000000000.0000"),
    (1e23, "99999999999999991611392.0000"),  # the exact value of the double, all digits
    (-1e-5, "-0.0000"),
    (-2.5, "-2.5000"),
    (0.99996, "1.0000"),
    (INF, "inf"),
    (-INF, "-inf"),
    (NAN, "NaN"),
    (-NAN, "NaN"),
])
def test_value_text(q, shown):
    # One part of size 1 gives FT = q.
    rec = record([q], [1], 1)
    assert f", mean_text_frequency_ft={shown}, " in repr(rec)


def test_largest_double_is_written_out():
    shown = repr(record([1.7976931348623157e308], [1], 1))
    digits = shown.split("mean_text_frequency_ft=")[1].split(",")[0]
    assert digits.startswith("1797693134862315708145274237317043567980")
    assert digits.endswith("124858368.0000")
    assert len(digits) == 309 + 5


def test_nan_total_record():
    rec = record([1, 2], [10, 10], NAN)
    shown = repr(rec)
    assert "roschengren_s_adj=NaN, dp=NaN, dp_norm=NaN" in shown
    assert "hellinger_dispersion=NaN" in shown
    for name in ("roschengren_s_adj", "dp", "dp_norm", "hellinger_dispersion"):
        assert exact(getattr(rec, name), NAN)


def test_negative_range_free_text_and_types():
    rec = record([-1, -3], [10, 10], 20)
    assert repr(rec).startswith("DispersionMetrics(range=0, sd_population=1.0000, "
                                "vc_population=-0.5000, juilland_d=1.5000, ")
    assert type(rec.range) is int
    assert all(type(getattr(rec, name)) is float for name in FIELDS[1:])


@pytest.mark.parametrize("name", [*FIELDS, "extra"])
def test_attributes_cannot_be_set_or_deleted(name):
    rec = record(*EVEN_THIRDS)
    with pytest.raises(AttributeError):
        setattr(rec, name, 0.5)
    with pytest.raises(AttributeError):
        delattr(rec, name)
    assert record_bits(rec) == record_bits(record(*EVEN_THIRDS))


def test_records_cannot_be_pickled():
    with pytest.raises(TypeError):
        pickle.dumps(record(*EVEN_THIRDS))


def test_every_call_returns_a_new_record():
    analyzer = CorpusWordAnalyzer(*FOUR_PARTS)
    first, second = analyzer.calculate_all_metrics(), analyzer.calculate_all_metrics()
    assert first is not second
    assert type(first) is DispersionMetrics
    assert record_bits(first) == record_bits(second)


PROFILES = [
    FOUR_PARTS,
    EVEN_THIRDS,
    ([7], [1000], 1000),
    ([0], [5], 5),
    ([1, -1, 4], [100, 50, -3], 150),
    ([1, NAN], [10, 10], 20),
    ([1, 2], [10, 10], INF),
    ([3, 1], [10, 0], 10),
]


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("seed", range(4))
def test_fields_equal_methods_whatever_ran_before(profile, seed):
    rng = random.Random(seed)
    expected = {name: value_bits(getattr(CorpusWordAnalyzer(*profile), "get_" + name)())
                for name in METHOD_FIELDS}
    analyzer = CorpusWordAnalyzer(*profile)
    for name in rng.sample(METHOD_FIELDS, rng.randrange(len(METHOD_FIELDS) + 1)):
        getattr(analyzer, "get_" + name)()
    rec = analyzer.calculate_all_metrics()
    assert {name: value_bits(getattr(rec, name)) for name in METHOD_FIELDS} == expected
    # Methods asked afterwards still agree with the record.
    for name in METHOD_FIELDS:
        assert value_bits(getattr(analyzer, "get_" + name)()) == expected[name]
