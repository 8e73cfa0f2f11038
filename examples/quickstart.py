"""A first look at lexispan: one word's dispersion, then a small batch."""

import lexispan

sizes = [100, 50, 150, 200]
total = sum(sizes)

word = lexispan.CorpusWordAnalyzer([2, 0, 3, 5], sizes, total)
print("DP       ", word.get_dp())
print("DA       ", word.get_evenness_da())
print(word.calculate_all_metrics())

matrix = [[2, 0, 3, 5], [10, 0, 0, 0], [1, 1, 1, 1]]
for row, record in zip(matrix, lexispan.CorpusWordAnalyzer.calculate_batch_metrics(matrix, sizes, total)):
    print(row, "dp_norm=%.4f" % record.dp_norm, "juilland_d=%.4f" % record.juilland_d)
