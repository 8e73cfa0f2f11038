"""Dispersion measures for whole corpora: a word x part count matrix in (sparse,
dense, DataFrame, or the counts of texts), a table of measures out, computed by
lexispan's native core; the distance-based measures (ARF, AWT, ALD) from each
word's token positions; keyness, a target corpus compared with a reference
corpus; and the command's word rule, to count texts and files.
"""

from ._counts import SparseCounts, count_files, count_texts
from ._files import RepeatedFileWarning, SkippedFileWarning, TextFileError
from ._keyness import keyness, keyness_arrays
from ._measures import (DEFAULT_MEASURE_NAMES, KEYNESS_MEASURE_NAMES, KEYNESS_MEASURES,
                        MEASURE_ALIASES, MEASURE_NAMES, MEASURES, POSITION_MEASURE_NAMES,
                        POSITION_MEASURES, Measure)
from ._positions import position_dispersion, positions_from_tokens
from ._table import dispersion, dispersion_arrays
from ._tokens import WORD_PATTERN, tokenize
from ._version import __version__ as __version__

__all__ = ["DEFAULT_MEASURE_NAMES", "KEYNESS_MEASURES", "KEYNESS_MEASURE_NAMES", "MEASURES",
           "MEASURE_ALIASES", "MEASURE_NAMES", "Measure", "POSITION_MEASURES",
           "POSITION_MEASURE_NAMES", "RepeatedFileWarning", "SkippedFileWarning", "SparseCounts",
           "TextFileError", "WORD_PATTERN", "count_files", "count_texts", "dispersion",
           "dispersion_arrays", "keyness", "keyness_arrays", "position_dispersion",
           "positions_from_tokens", "tokenize"]
