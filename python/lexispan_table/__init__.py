"""Dispersion measures for whole corpora: a word x part count matrix in (sparse,
dense, DataFrame), a table of measures out, computed by lexispan's native core;
and the distance-based measures (ARF, AWT, ALD) from each word's token
positions.
"""

from ._measures import (DEFAULT_MEASURE_NAMES, MEASURE_NAMES, MEASURES, POSITION_MEASURE_NAMES,
                        POSITION_MEASURES, Measure)
from ._positions import position_dispersion, positions_from_tokens
from ._table import dispersion, dispersion_arrays

__all__ = ["DEFAULT_MEASURE_NAMES", "MEASURES", "MEASURE_NAMES", "Measure", "POSITION_MEASURES", "POSITION_MEASURE_NAMES",
           "dispersion", "dispersion_arrays", "position_dispersion", "positions_from_tokens"]
