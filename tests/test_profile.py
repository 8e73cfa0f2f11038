"""Building a profile: validation messages and their order, and the four accessors."""

import pytest

from conftest import INF, NAN, bits, exact
from lexispan import CorpusWordAnalyzer

LENGTH = "Frequency vector and part sizes vector must have the same length."
EMPTY = "Input vectors cannot be empty."
TOTAL = "Total corpus words must be positive."


@pytest.mark.parametrize("v, sizes, total, message", [
    ([1, 2, 3], [1, 2], -1, LENGTH),   # lengths before the total
    ([], [1], 0, LENGTH),              # lengths before emptiness
    ([], [], -1, EMPTY),               # emptiness before the total
    ((), range(0), NAN, EMPTY),
    ([1], [1], 0.0, TOTAL),
    ([1], [1], -0.0, TOTAL),
    ([1], [1], -1, TOTAL),
    ([1], [1], -INF, TOTAL),
    ([1], [1], False, TOTAL),
])
def test_validation_messages(v, sizes, total, message):
    with pytest.raises(ValueError) as info:
        CorpusWordAnalyzer(v, sizes, total)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_worked_profile():
    analyzer = CorpusWordAnalyzer([2, 0, 3], [100, 50, 150], 300)
    assert analyzer.get_corpus_part_sizes() == [100.0, 50.0, 150.0]
    assert [bits(x) for x in analyzer.get_relative_partition_sizes()] == \
        [bits(x) for x in (0.3333333333333333, 0.16666666666666666, 0.5)]
    assert [bits(x) for x in analyzer.get_normalized_frequencies()] == \
        [bits(x) for x in (0.02, 0.0, 0.02)]
    assert exact(analyzer.get_total_corpus_words(), 300.0)
    assert exact(analyzer.get_mean_text_frequency_ft(), 0.013333333333333334)


@pytest.mark.parametrize("total", [NAN, INF, 1e-300, 5e-324, 7])
def test_totals_that_pass(total):
    analyzer = CorpusWordAnalyzer([1, 2], [10, 0], total)
    assert exact(analyzer.get_total_corpus_words(), float(total))
    shares = analyzer.get_relative_partition_sizes()
    assert all(exact(s, c / float(total)) for s, c in zip(shares, [10.0, 0.0]))


def test_infinite_total_gives_zero_shares():
    analyzer = CorpusWordAnalyzer([1, 2, 3], [10, 0, -4], INF)
    assert [bits(s) for s in analyzer.get_relative_partition_sizes()] == \
        [bits(0.0), bits(0.0), bits(-0.0)]


def test_nan_total_gives_nan_shares():
    analyzer = CorpusWordAnalyzer([1, 2], [10, 10], NAN)
    assert all(exact(s, NAN) for s in analyzer.get_relative_partition_sizes())


def test_parts_without_positive_size_have_zero_normalised_frequency():
    sizes = [0, -0.0, -10, NAN, -INF, 4]
    analyzer = CorpusWordAnalyzer([3, 3, 3, 3, 3, -0.0], sizes, 20)
    assert [bits(q) for q in analyzer.get_normalized_frequencies()] == \
        [bits(0.0)] * 5 + [bits(-0.0)]
    shares = analyzer.get_relative_partition_sizes()
    assert [bits(s) for s in shares[:3]] == [bits(0.0), bits(-0.0), bits(-0.5)]
    assert exact(shares[3], NAN) and exact(shares[4], -INF)


def test_infinite_size_and_frequency():
    analyzer = CorpusWordAnalyzer([INF, 1], [INF, INF], 10)
    assert exact(analyzer.get_normalized_frequencies()[0], NAN)  # inf / inf
    assert exact(analyzer.get_normalized_frequencies()[1], 0.0)


def test_single_part_and_keywords():
    analyzer = CorpusWordAnalyzer(total_corpus_words=4, corpus_part_sizes_words=[4], v=[1])
    assert analyzer.get_corpus_part_sizes() == [4.0]
    assert analyzer.get_normalized_frequencies() == [0.25]


def test_conversion_runs_before_validation():
    with pytest.raises(TypeError, match=r"^argument 'v': Can't extract `str` to `Vec`$"):
        CorpusWordAnalyzer("ab", [1], 0)


@pytest.mark.parametrize("name", ["get_corpus_part_sizes", "get_relative_partition_sizes",
                                  "get_normalized_frequencies"])
def test_accessors_return_fresh_lists(name):
    analyzer = CorpusWordAnalyzer([1, 2, 3], [2, 4, 8], 16)
    first = getattr(analyzer, name)()
    second = getattr(analyzer, name)()
    assert type(first) is list and first is not second and first == second
    expected = list(first)
    first.append(99.0)
    first[0] = -1.0
    assert getattr(analyzer, name)() == expected == second
