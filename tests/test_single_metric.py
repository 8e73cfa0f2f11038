"""One named measure from raw inputs: the name table, its errors and their order."""

import pytest

from conftest import FIELDS, NAN, SINGLE_METRIC_NAMES, bits, exact, value_bits
from lexispan import CorpusWordAnalyzer

single = CorpusWordAnalyzer.calculate_single_metric
PROFILE = ([2, 2, 0], [10, 10, 10], 30)


@pytest.mark.parametrize("name, expected", [
    ("dp", 0.33333333333333337),
    ("dp_norm", 0.5),
    ("juilland_d", 0.4999999999999999),
    ("carroll_d2", 0.6309297535714574),
    ("evenness_da", 0.5),
    ("kl_divergence", 0.5849625007211562),
    ("jsd_dispersion", 0.8091254953788904),
    ("pervasiveness_pt", 0.6666666666666666),
    ("hellinger_dispersion", 0.5716270094038678),
    ("mean_text_frequency_ft", 0.13333333333333333),
])
def test_worked_values(name, expected):
    result = single(*PROFILE, name)
    assert exact(result, expected)
    record = CorpusWordAnalyzer(*PROFILE).calculate_all_metrics()
    assert bits(result) == bits(getattr(record, name))


UNKNOWN = [
    *(name for name in FIELDS if name not in SINGLE_METRIC_NAMES),
    "DP", " dp", "dp ", "get_dp", "Dp_norm", "dp\x00", "dp\x00norm", "", "dé", "evenness",
]


@pytest.mark.parametrize("name", UNKNOWN)
def test_unknown_names(name):
    with pytest.raises(ValueError) as info:
        single(*PROFILE, name)
    assert info.value.args == ("Unknown metric: " + name,)


@pytest.mark.parametrize("v, sizes, total, message", [
    ([1, 2], [10], 10, "Frequency vector and part sizes vector must have the same length."),
    ([], [], 10, "Input vectors cannot be empty."),
    ([1], [10], 0, "Total corpus words must be positive."),
])
@pytest.mark.parametrize("name", ["nonsense", "dp"])
def test_inputs_are_validated_before_the_name(v, sizes, total, message, name):
    with pytest.raises(ValueError) as info:
        single(v, sizes, total, name)
    assert info.value.args == (message,)


@pytest.mark.parametrize("v, expected", [([7], 1.0), ([0], 0.0), ([NAN], 0.0), ([-1], 0.0)])
@pytest.mark.parametrize("name", ["juilland_d", "carroll_d2"])
def test_one_part(v, expected, name):
    assert exact(single(v, [1000], 1000, name), expected)


def test_keywords_in_any_order_and_instance_calls():
    by_position = single(*PROFILE, "dp_norm")
    by_keyword = single(metric_name="dp_norm", total_corpus_words=30,
                        corpus_part_sizes=[10, 10, 10], frequency_vector=[2, 2, 0])
    mixed = single([2, 2, 0], [10, 10, 10], metric_name="dp_norm", total_corpus_words=30)
    other = CorpusWordAnalyzer([9, 0], [1, 1], 2)
    through_instance = other.calculate_single_metric(*PROFILE, "dp_norm")
    assert {bits(by_keyword), bits(mixed), bits(through_instance)} == {bits(by_position)}
    # The instance's own profile is neither used nor touched.
    assert exact(other.get_dp_norm(), 1.0)


def test_name_may_be_a_str_subclass():
    class Name(str):
        pass

    assert exact(single(*PROFILE, Name("dp")), 0.33333333333333337)


@pytest.mark.parametrize("profile", [
    ([2, 0, 3, 5], [100, 50, 150, 200], 500),
    ([1, NAN], [10, 10], 20),
    ([1, 2], [10, 10], NAN),
    ([0, 0], [200, 300], 100),
    ([3, 1], [10, 0], 10),
    ([-1, 2, 0.5], [1, -2, 3], 4),
])
def test_every_name_matches_its_method(profile):
    analyzer = CorpusWordAnalyzer(*profile)
    for name in SINGLE_METRIC_NAMES:
        assert value_bits(single(*profile, name)) == \
            value_bits(getattr(analyzer, "get_" + name)()), name
