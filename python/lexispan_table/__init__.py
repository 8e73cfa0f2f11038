"""Dispersion measures for whole corpora: a word x part count matrix in (sparse,
dense, DataFrame), a table of measures out, computed by lexispan's native core.
"""

from ._measures import MEASURE_NAMES, MEASURES, Measure
from ._table import dispersion, dispersion_arrays

__all__ = ["MEASURES", "MEASURE_NAMES", "Measure", "dispersion", "dispersion_arrays"]
