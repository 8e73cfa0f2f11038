"""Every entry point gives the same bits for a measure, on arbitrary profiles."""

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import METHOD_FIELDS, SINGLE_METRIC_NAMES, exact, value_bits
from lexispan import CorpusWordAnalyzer

special = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 1e-13, 1e300, float("nan"),
                           float("inf"), float("-inf")])
number = st.one_of(st.integers(0, 20).map(float), special,
                   st.floats(allow_nan=True, allow_infinity=True))
size = st.one_of(st.integers(1, 1000).map(float), special, st.floats(min_value=0.0))


@st.composite
def profiles(draw):
    n = draw(st.integers(1, 7))
    v = draw(st.lists(number, min_size=n, max_size=n))
    sizes = draw(st.lists(size, min_size=n, max_size=n))
    summed = sum(c for c in sizes if abs(c) < float("inf"))
    total = draw(st.one_of(st.just(summed if summed > 0 else 1.0), st.floats(min_value=1e-300),
                           st.sampled_from([float("nan"), float("inf")])))
    return v, sizes, total


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(profile=profiles(), data=st.data())
def test_record_methods_and_single_metric_agree(profile, data):
    expected = {name: value_bits(getattr(CorpusWordAnalyzer(*profile), "get_" + name)())
                for name in METHOD_FIELDS}

    # The same methods in an arbitrary order, with caches filled along the way.
    analyzer = CorpusWordAnalyzer(*profile)
    order = data.draw(st.permutations(METHOD_FIELDS))
    prefix = data.draw(st.integers(0, len(order)))
    got = {name: value_bits(getattr(analyzer, "get_" + name)()) for name in order[:prefix]}
    record = analyzer.calculate_all_metrics()
    got.update({name: value_bits(getattr(analyzer, "get_" + name)()) for name in order[prefix:]})
    assert got == expected

    assert {name: value_bits(getattr(record, name)) for name in METHOD_FIELDS} == expected
    fresh_record = CorpusWordAnalyzer(*profile).calculate_all_metrics()
    assert {name: value_bits(getattr(fresh_record, name)) for name in METHOD_FIELDS} == expected

    for name in SINGLE_METRIC_NAMES:
        assert value_bits(CorpusWordAnalyzer.calculate_single_metric(*profile, name)) == \
            expected[name], name

    ft, pt, da = (getattr(record, k) for k in ("mean_text_frequency_ft", "pervasiveness_pt",
                                               "evenness_da"))
    # Which NaN a product keeps is the compiler's choice of operand order; any NaN will do.
    assert exact(record.ft_adjusted_by_pt, ft * pt)
    assert exact(record.ft_adjusted_by_da, da * ft)
