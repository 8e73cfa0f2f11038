"""Each line marked "error" must be rejected by mypy --strict."""

from lexispan import CorpusWordAnalyzer, DispersionMetrics

analyzer = CorpusWordAnalyzer([1, 2], [10, 10], 20)
record = analyzer.calculate_all_metrics()

hellinger: float = record.hellinger_dispersion  # error: may be None
parts: str = record.range  # error: an int
da: float = analyzer.get_evenness_da()  # error: may be None
CorpusWordAnalyzer("abc", [10, 10, 10], 30)  # error: a str is not a sequence of numbers
CorpusWordAnalyzer([1, 2], [10, 10])  # error: total missing
CorpusWordAnalyzer.calculate_single_metric([1], [1], 1, 7)  # error: name is a str
CorpusWordAnalyzer.calculate_single_metric([1], [1], 1, "range")  # error: not a single metric
CorpusWordAnalyzer.calculate_single_metric([1], [1], 1, "DP")  # error: names are lower case
CorpusWordAnalyzer.calculate_batch_metrics([1, 2], [10, 10], 20)  # error: rows must be sequences
analyzer.get_dp(1)  # error: takes no argument
metrics: list[DispersionMetrics] = analyzer.calculate_all_metrics()  # error: one record, not a list
record.dp = 0.5  # error: read-only attribute


class Derived(CorpusWordAnalyzer):  # error: final class
    pass
