"""Per-measure methods: exact worked values, guards at the edges, and independence of call order."""

import itertools
import random

import pytest

from conftest import INF, METHOD_FIELDS, NAN, bits, exact, value_bits
from lexispan import CorpusWordAnalyzer

SPREAD = ("range", "sd_population", "vc_population", "juilland_d", "carroll_d2",
          "roschengren_s_adj")
SPREAD_ROWS = [
    ([2, 0, 3], [100, 50, 150], 300,
     (2, 1.247219128924647, 0.7483314773547882, 0.5, 0.6309297535714574, 0.833333333333333)),
    ([5], [1000], 1000, (1, 0.0, 0.0, 1.0, 1.0, 1.0000000000000002)),
    ([4, 0, 0, 0], [25, 25, 25, 25], 100,
     (1, 1.7320508075688772, 1.7320508075688772, 0.0, 0.0, 0.25)),
    ([0, 0], [10, 10], 20, (0, 0.0, 0.0, 0.0, 0.0, 0.0)),
    ([-1, -3], [10, 10], 20, (0, 1.0, -0.5, 1.5, 0.8112781244591329, NAN)),
    ([1, -1], [100, 50], 150, (1, 0.0, 0.0, 0.0, -2.0, 0.0)),
    ([3, 0], [0, 10], 10, (1, 1.5, 1.0, 0.0, 0.0, 0.0)),
    ([1, NAN], [10, 10], 20, (1, NAN, NAN, NAN, 0.0, NAN)),
    ([2, 1], [10, 10], NAN, (2, 0.5, 0.3333333333333333, 0.6666666666666667,
                             0.9182958340544894, NAN)),
    # A word in one of several equal parts: D near 0 as computed, D2 exactly 0.
    ([7, 0, 0], [25, 25, 25], 75, (1, None, None, -2.220446049250313e-16, 0.0, None)),
    ([1, 0, 0], [25, 25, 25], 75, (1, None, None, 1.1102230246251565e-16, 0.0, None)),
    ([0], [1000], 1000, (0, 0.0, 0.0, 0.0, 0.0, 0.0)),
    # Means below 1e-12 count as zero, the standard deviation does not.
    ([1e-13, 0], [1, 1], 2, (1, 5e-14, 0.0, 0.0, 0.0, None)),
]

DIVERGENCE = ("dp", "dp_norm", "kl_divergence", "evenness_da", "jsd_dispersion",
              "hellinger_dispersion")
DIVERGENCE_ROWS = [
    ([2, 0, 3, 5], [100, 50, 150, 200], 500,
     (0.09999999999999999, 0.1111111111111111, 0.16096404744368117, 0.6153846153846153,
      0.9459842269272, 0.7702470794526387)),
    ([4, 0, 0, 0], [25] * 4, 100,
     (0.75, 1.0, 2.0, 0.0, 0.4512050593046014, 0.2928932188134524)),
    ([1, 1, 1, 1], [25] * 4, 100, (0.0, 0.0, 0.0, 1.0, 1.0, 1.0)),
    ([2, 2, 0], [10, 10, 10], 30,
     (0.33333333333333337, 0.5, 0.5849625007211562, 0.5, 0.8091254953788904,
      0.5716270094038678)),
    ([0, 0, 0], [10, 20, 30], 60, (0.0, 0.0, 0.0, 0.0, 0.0, 0.0)),
    ([7], [1000], 1000, (0.0, 0.0, 0.0, 1.0, 1.0, 1.0)),
    ([0], [5], 5, (0.0, 0.0, 0.0, 0.0, 0.0, 0.0)),
    ([3, 1], [10, 0], 10,
     (0.25, 0.25, -0.31127812445913283, 0.0, 0.8620746190299701, 0.6339745962155613)),
    ([1, 0], [0, 10], 10, (1.0, 1.0, 0.0, 1.0, 0.0, 0.0)),
    ([1, 0], [1e13, 1e13], 2e13, (0.5, 1.0, 1.0, 1.0, 0.6887218755408672, 0.4588038998538031)),
    # Every part larger than the corpus: 0.0 / (1 - 2) keeps its sign.
    ([0, 0], [200, 300], 100, (0.0, -0.0, 0.0, 0.0, 0.0, 0.0)),
    ([1, 2], [10, 10], NAN, (NAN, NAN, 0.0, 0.6666666666666667, 1.0, NAN)),
    ([1, NAN], [10, 10], 20, (NAN, NAN, 0.0, NAN, 1.0, NAN)),
    ([7], [500], 1000, (0.25, 0.5, None, 1.0, None, None)),
    # An infinite total makes every relative size 0.
    ([1, 1], [10, 10], INF, (0.5, 0.5, 0.0, 1.0, 0.5, 0.0)),
    # Parts as large as the corpus: 1 - s_min is 0, the Bhattacharyya sum exceeds 1.
    ([1, 1], [10, 10], 10, (0.5, 0.0, -1.0, 1.0, None, 1.0)),
    # A negative mean pushes DA above 1 before the clamp; KL needs a positive total.
    ([-1, -3], [10, 10], 20, (0.25, 0.5, 0.0, 1.0, None, None)),
]

FREQUENCY = ("mean_text_frequency_ft", "pervasiveness_pt", "evenness_da")
FREQUENCY_ROWS = [
    ([2, 0, 3, 5], [100, 50, 150, 200], 500, (0.01625, 0.75, 0.6153846153846153)),
    ([4, 0, 0, 0], [25] * 4, 100, (0.04, 0.25, 0.0)),
    ([2, 2, 0], [10, 10, 10], 30, (0.13333333333333333, 0.6666666666666666, 0.5)),
    ([0, 0, 0], [10, 20, 30], 60, (0.0, 0.0, 0.0)),
    ([7], [1000], 1000, (0.007, 1.0, 1.0)),
    ([1, 0], [0, 10], 10, (0.0, 0.5, 1.0)),
    ([-1, 2], [10, 10], 20, (0.05, 0.5, 0.0)),
    ([1, NAN], [10, 10], 20, (NAN, 0.5, NAN)),
    ([2, 0, 3], [100, 50, 150], 300, (0.013333333333333334, 0.6666666666666666, None)),
    ([1, 2], [10, 10], NAN, (0.15000000000000002, 1.0, None)),
]


def table_cases(names, rows):
    for v, sizes, total, values in rows:
        for name, expected in zip(names, values):
            if expected is not None:
                yield pytest.param(v, sizes, total, name, expected,
                                   id=f"{v}-{sizes}-{total}-{name}")


@pytest.mark.parametrize(
    "v, sizes, total, name, expected",
    [*table_cases(SPREAD, SPREAD_ROWS), *table_cases(DIVERGENCE, DIVERGENCE_ROWS),
     *table_cases(FREQUENCY, FREQUENCY_ROWS)],
)
def test_worked_value(v, sizes, total, name, expected):
    analyzer = CorpusWordAnalyzer(v, sizes, total)
    assert exact(getattr(analyzer, "get_" + name)(), expected)


def test_range_is_an_int_and_counts_only_positive_frequencies():
    analyzer = CorpusWordAnalyzer([0.5, 0, -0.0, -2, NAN, INF, 1e-300], [1] * 7, 7)
    result = analyzer.get_range()
    assert type(result) is int and result == 3
    assert exact(analyzer.get_pervasiveness_pt(), 3 / 7)


ADJUSTED_ROWS = [
    ([2, 0, 3, 5], [100, 50, 150, 200], 500, 0.0121875, 0.009999999999999998),
    ([4, 0, 0, 0], [25] * 4, 100, 0.01, 0.0),
    ([2, 2, 0], [10, 10, 10], 30, 0.08888888888888888, 0.06666666666666667),
    ([0, 0, 0], [10, 20, 30], 60, 0.0, 0.0),
    ([7], [1000], 1000, 0.007, 0.007),
    ([1, 0], [0, 10], 10, 0.0, 0.0),
    ([-1, 2], [10, 10], 20, 0.025, 0.0),
    ([1, NAN], [10, 10], 20, NAN, NAN),
]


@pytest.mark.parametrize("v, sizes, total, by_pt, by_da", ADJUSTED_ROWS)
def test_adjusted_frequencies_in_the_record(v, sizes, total, by_pt, by_da):
    record = CorpusWordAnalyzer(v, sizes, total).calculate_all_metrics()
    assert exact(record.ft_adjusted_by_pt, by_pt)
    assert exact(record.ft_adjusted_by_da, by_da)
    assert exact(record.ft_adjusted_by_pt, record.mean_text_frequency_ft * record.pervasiveness_pt)
    assert exact(record.ft_adjusted_by_da, record.evenness_da * record.mean_text_frequency_ft)


PROFILES = [
    ([2, 0, 3, 5], [100, 50, 150, 200], 500),
    ([2, 2, 0], [10, 10, 10], 30),
    ([0.1, 0.7, 0.3, 0.0, 1e-9], [3, 1e6, 7.5, 0, 2], 1e6 + 12.5),
    ([1, -1, 4], [100, 50, -3], 150),
    ([1, 2], [10, 10], NAN),
    ([1, NAN, 3], [10, NAN, 10], 20),
    ([1e300, 1e300], [1, 1], 2),
    ([1e-20, 3e-20, 0], [1, 1, 1], 3),
]


def fresh_values(profile):
    """Each measure on an analyzer of its own, so that no cache is filled beforehand."""
    return {name: value_bits(getattr(CorpusWordAnalyzer(*profile), "get_" + name)())
            for name in METHOD_FIELDS}


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("order", ["forward", "reverse", "seed0", "seed1", "seed2"])
def test_call_order_does_not_change_any_value(profile, order):
    expected = fresh_values(profile)
    names = list(METHOD_FIELDS)
    if order == "reverse":
        names.reverse()
    elif order.startswith("seed"):
        random.Random(order).shuffle(names)
    analyzer = CorpusWordAnalyzer(*profile)
    got = {name: value_bits(getattr(analyzer, "get_" + name)()) for name in names}
    assert got == expected
    # Asking again, with every cache filled, repeats the values.
    assert {name: value_bits(getattr(analyzer, "get_" + name)()) for name in names} == expected


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("pair", [("vc_population", "sd_population"),
                                  ("range", "pervasiveness_pt"),
                                  ("evenness_da", "juilland_d"),
                                  ("mean_text_frequency_ft", "evenness_da"),
                                  ("dp_norm", "dp")])
def test_pairs_that_share_a_cache(profile, pair):
    expected = fresh_values(profile)
    for first, second in itertools.permutations(pair):
        analyzer = CorpusWordAnalyzer(*profile)
        assert value_bits(getattr(analyzer, "get_" + first)()) == expected[first]
        assert value_bits(getattr(analyzer, "get_" + second)()) == expected[second]


@pytest.mark.parametrize("profile", PROFILES)
def test_pervasiveness_is_range_over_parts(profile):
    n = len(profile[0])
    for range_first in (True, False):
        analyzer = CorpusWordAnalyzer(*profile)
        if range_first:
            count = analyzer.get_range()
            pt = analyzer.get_pervasiveness_pt()
        else:
            pt = analyzer.get_pervasiveness_pt()
            count = analyzer.get_range()
        assert bits(pt) == bits(count / n)


@pytest.mark.parametrize("profile", PROFILES)
def test_measures_leave_the_profile_unchanged(profile):
    analyzer = CorpusWordAnalyzer(*profile)
    accessors = ("get_corpus_part_sizes", "get_total_corpus_words",
                 "get_relative_partition_sizes", "get_normalized_frequencies")

    def snapshot():
        out = []
        for name in accessors:
            value = getattr(analyzer, name)()
            out.append([bits(x) for x in value] if isinstance(value, list) else bits(value))
        return out

    before = snapshot()
    for name in METHOD_FIELDS:
        getattr(analyzer, "get_" + name)()
    analyzer.calculate_all_metrics()
    assert snapshot() == before


def test_near_zero_normalised_frequencies_count_as_even():
    # Huge parts: every q_i is below 1e-12, so DA is 1.0 whatever the spread.
    analyzer = CorpusWordAnalyzer([5, 0, 0], [1e13, 1e13, 1e13], 3e13)
    assert exact(analyzer.get_evenness_da(), 1.0)
    assert exact(analyzer.get_juilland_d(), 0.0)
    assert exact(analyzer.get_carroll_d2(), 0.0)
