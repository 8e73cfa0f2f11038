"""Ordinary use of lexispan; must type-check under mypy --strict and run."""

import array

import numpy as np

from lexispan import CorpusWordAnalyzer, DispersionMetrics

sizes = [100, 50, 150, 200]
analyzer = CorpusWordAnalyzer(v=[2, 0, 3, 5], corpus_part_sizes_words=sizes, total_corpus_words=500)
count: int = analyzer.get_range()
dp: float = analyzer.get_dp()
da: float | None = analyzer.get_evenness_da()
relative: list[float] = analyzer.get_relative_partition_sizes()
total: float = analyzer.get_total_corpus_words()

record: DispersionMetrics = analyzer.calculate_all_metrics()
parts: int = record.range
dp_norm = record.dp_norm
if dp_norm is not None:
    print(f"{dp_norm:.4f}")

records: list[DispersionMetrics] = CorpusWordAnalyzer.calculate_batch_metrics(
    ((2.0, 0.0, 3.0, 5.0), range(4)), sizes, 500.0
)
single = CorpusWordAnalyzer.calculate_single_metric([1, 2], (10, 10), True, metric_name="dp")

# Buffers of numbers are read directly: NumPy arrays, array.array, memoryview.
fast: list[DispersionMetrics] = CorpusWordAnalyzer.calculate_batch_metrics(
    np.zeros((3, 4)), np.ones(4), 4.0
)
rows_of_arrays = CorpusWordAnalyzer.calculate_batch_metrics([np.ones(2), array.array("d", [1, 2])],
                                                            memoryview(array.array("q", [5, 5])), 10)
from_array = CorpusWordAnalyzer(np.arange(4.0), array.array("i", sizes), np.float64(500))
norm = CorpusWordAnalyzer.calculate_single_metric(np.ones(3), np.ones(3), 3, "dp_norm")
print(count, dp, da, relative, total, parts, len(records), single, len(fast), len(rows_of_arrays),
      from_array.get_dp(), norm)
