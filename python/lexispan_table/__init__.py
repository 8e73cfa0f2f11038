"""Dispersion measures for whole corpora: a word x part count matrix in (sparse,
dense, DataFrame), a table of measures out, computed by lexispan's native core;
the distance-based measures (ARF, AWT, ALD) from each word's token positions;
and keyness, a target corpus compared with a reference corpus.
"""

from ._keyness import keyness, keyness_arrays
from ._measures import (DEFAULT_MEASURE_NAMES, KEYNESS_MEASURE_NAMES, KEYNESS_MEASURES,
                        MEASURE_NAMES, MEASURES, POSITION_MEASURE_NAMES, POSITION_MEASURES,
                        Measure)
from ._positions import position_dispersion, positions_from_tokens
from ._table import dispersion, dispersion_arrays
from ._version import __version__ as __version__

__all__ = ["DEFAULT_MEASURE_NAMES", "KEYNESS_MEASURES", "KEYNESS_MEASURE_NAMES", "MEASURES",
           "MEASURE_NAMES", "Measure", "POSITION_MEASURES", "POSITION_MEASURE_NAMES",
           "dispersion", "dispersion_arrays", "keyness", "keyness_arrays", "position_dispersion",
           "positions_from_tokens"]
