# Type information for the compiled lexispan module.
#
# Notation of the docstrings: a corpus of n parts; v_i is the word's frequency
# in part i, c_i the size of part i, T the corpus size, s_i = c_i / T,
# q_i = v_i / c_i (0 where c_i <= 0), f the sum of the v_i and p_i = v_i / f.
# Ranges are those of ordinary input (non-negative frequencies, positive sizes
# adding up to T); other input flows through the formulas unscreened.
from collections.abc import Sequence
from typing import (
    Any,
    Literal,
    NoReturn,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    final,
    type_check_only,
)

from typing_extensions import Buffer

# Anything the module turns into a double: int, bool, float, or an object with
# __float__ or __index__.
_Number: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _ArrayLike(Protocol):
    # A NumPy array, described without importing NumPy: its type declares
    # __buffer__ for Python 3.12 and later only, __array__ for every version.
    def __array__(self) -> Any: ...

# A vector of numbers: any sequence of them, or a buffer of numbers (a NumPy
# array, array.array, memoryview), which is read without converting each item.
_Vector: TypeAlias = Sequence[_Number] | Buffer | _ArrayLike
# A matrix: a sequence of rows, or a two-dimensional NumPy array.
_Matrix: TypeAlias = Sequence[_Vector] | Buffer | _ArrayLike
# The measures calculate_single_metric knows.
_MetricName: TypeAlias = Literal[
    "dp", "dp_norm", "juilland_d", "carroll_d2", "evenness_da", "kl_divergence",
    "jsd_dispersion", "pervasiveness_pt", "hellinger_dispersion", "mean_text_frequency_ft",
]

__all__ = ["CorpusWordAnalyzer", "DispersionMetrics"]

@final
class DispersionMetrics:
    """Every measure of one word, in this order; a read-only record.

    The float fields are None only for a profile without parts, which
    construction refuses, so in practice every one is a float.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Not constructible: records come from the analyzer."""
    @property
    def range(self) -> int:
        """Number of parts in which the word occurs (v_i > 0); 0 to n."""
    @property
    def sd_population(self) -> float | None:
        """Population standard deviation of the v_i; 0 or more."""
    @property
    def vc_population(self) -> float | None:
        """Variation coefficient of the v_i (SD over mean); 0 or more, 0 when absent."""
    @property
    def juilland_d(self) -> float | None:
        """Juilland's D, 1 - VC(q) / sqrt(n - 1); 0 to 1, 1 for a perfectly even word.

        Juilland & Chang-Rodriguez (1964), Frequency Dictionary of Spanish Words.
        """
    @property
    def carroll_d2(self) -> float | None:
        """Carroll's D2, the entropy of the q_i's proportions over log n; 0 to 1, higher is more even.

        Carroll (1970), An alternative to Juilland's usage coefficient for lexical frequencies.
        """
    @property
    def roschengren_s_adj(self) -> float | None:
        """Rosengren's S, (sum of sqrt(s_i v_i))^2 / f; 0 to 1, higher is more even.

        Rosengren (1971), The quantitative concept of language and its relation to the
        structure of frequency dictionaries.
        """
    @property
    def dp(self) -> float | None:
        """Gries's DP, half the sum of |p_i - s_i|; 0 (follows the part sizes) to 1 - min s_i.

        Gries (2008), Dispersions and adjusted frequencies in corpora, IJCL 13(4).
        """
    @property
    def dp_norm(self) -> float | None:
        """DP / (1 - min s_i); 0 to 1, 1 for the most uneven word.

        Lijffijt & Gries (2012), correction to Gries (2008), IJCL 17(1).
        """
    @property
    def kl_divergence(self) -> float | None:
        """Kullback-Leibler divergence of p from s, in bits; 0 or more, lower is more even."""
    @property
    def jsd_dispersion(self) -> float | None:
        """1 - the Jensen-Shannon divergence between p and s, in bits; 0 to 1, higher is more even."""
    @property
    def hellinger_dispersion(self) -> float | None:
        """1 - the Hellinger distance between p and s; 0 to 1, higher is more even."""
    @property
    def mean_text_frequency_ft(self) -> float | None:
        """FT, the mean of the normalised frequencies q_i; 0 or more."""
    @property
    def pervasiveness_pt(self) -> float | None:
        """PT, range / n, the share of parts that contain the word; 0 to 1."""
    @property
    def evenness_da(self) -> float | None:
        """DA, 1 - mean pairwise |q_i - q_j| / (2 mean q); clamped to 0 to 1, higher is more even.

        Zhang, Huang & Yu (2004), Distributional consistency; Burch, Egbert & Biber (2017),
        Measuring and interpreting lexical dispersion in corpus linguistics.
        """
    @property
    def ft_adjusted_by_pt(self) -> float | None:
        """FT x PT, the mean frequency adjusted by pervasiveness; 0 to FT."""
    @property
    def ft_adjusted_by_da(self) -> float | None:
        """FT x DA, the mean frequency adjusted by evenness; 0 to FT."""

@final
class CorpusWordAnalyzer:
    """Analyzer for computing lexical dispersion metrics from corpus word frequencies"""

    def __new__(
        cls,
        v: _Vector,
        corpus_part_sizes_words: _Vector,
        total_corpus_words: _Number,
    ) -> CorpusWordAnalyzer:
        """One word's frequencies per part, the part sizes and the corpus size.

        Raises ValueError when the two vectors differ in length or are empty, or
        when the total is not positive.
        """
    def get_range(self) -> int:
        """Number of parts in which the word occurs (v_i > 0); 0 to n."""
    def get_sd_population(self) -> float | None:
        """Population standard deviation of the v_i; 0 or more."""
    def get_vc_population(self) -> float | None:
        """Variation coefficient of the v_i (SD over mean); 0 or more, 0 when absent."""
    def get_juilland_d(self) -> float:
        """Juilland's D, 1 - VC(q) / sqrt(n - 1); 0 to 1, 1 for a perfectly even word.

        Juilland & Chang-Rodriguez (1964), Frequency Dictionary of Spanish Words.
        """
    def get_carroll_d2(self) -> float:
        """Carroll's D2, the entropy of the q_i's proportions over log n; 0 to 1, higher is more even.

        Carroll (1970), An alternative to Juilland's usage coefficient for lexical frequencies.
        """
    def get_roschengren_s_adj(self) -> float:
        """Rosengren's S, (sum of sqrt(s_i v_i))^2 / f; 0 to 1, higher is more even.

        Rosengren (1971), The quantitative concept of language and its relation to the
        structure of frequency dictionaries.
        """
    def get_dp(self) -> float:
        """Gries's DP, half the sum of |p_i - s_i|; 0 (follows the part sizes) to 1 - min s_i.

        Gries (2008), Dispersions and adjusted frequencies in corpora, IJCL 13(4).
        """
    def get_dp_norm(self) -> float:
        """DP / (1 - min s_i); 0 to 1, 1 for the most uneven word.

        Lijffijt & Gries (2012), correction to Gries (2008), IJCL 17(1).
        """
    def get_kl_divergence(self) -> float:
        """Kullback-Leibler divergence of p from s, in bits; 0 or more, lower is more even."""
    def get_evenness_da(self) -> float | None:
        """DA, 1 - mean pairwise |q_i - q_j| / (2 mean q); clamped to 0 to 1, higher is more even.

        Zhang, Huang & Yu (2004), Distributional consistency; Burch, Egbert & Biber (2017),
        Measuring and interpreting lexical dispersion in corpus linguistics.
        """
    def get_jsd_dispersion(self) -> float:
        """1 - the Jensen-Shannon divergence between p and s, in bits; 0 to 1, higher is more even."""
    def get_hellinger_dispersion(self) -> float:
        """1 - the Hellinger distance between p and s; 0 to 1, higher is more even."""
    def get_mean_text_frequency_ft(self) -> float | None:
        """FT, the mean of the normalised frequencies q_i; 0 or more."""
    def get_pervasiveness_pt(self) -> float | None:
        """PT, range / n, the share of parts that contain the word; 0 to 1."""
    def get_corpus_part_sizes(self) -> list[float]:
        """The part sizes c_i, as given."""
    def get_total_corpus_words(self) -> float:
        """The corpus size T, as given."""
    def get_relative_partition_sizes(self) -> list[float]:
        """The relative part sizes s_i = c_i / T."""
    def get_normalized_frequencies(self) -> list[float]:
        """The normalised frequencies q_i = v_i / c_i (0 where c_i is not positive)."""
    def calculate_all_metrics(self) -> DispersionMetrics:
        """Every measure at once, as a record; the same values as the get_ methods."""
    @staticmethod
    def calculate_batch_metrics(
        frequency_matrix: _Matrix,
        corpus_part_sizes: _Vector,
        total_corpus_words: _Number,
    ) -> list[DispersionMetrics]:
        """Calculate metrics for multiple words using parallel processing

        One record per row of the matrix, in order, each equal bit for bit to
        the one the analyzer gives for that row. Raises ValueError when a row's
        length differs from the part count ("Row {i} has length {k}, expected
        {n}") or the input is invalid for every row.
        """
    @staticmethod
    def calculate_single_metric(
        frequency_vector: _Vector,
        corpus_part_sizes: _Vector,
        total_corpus_words: _Number,
        metric_name: _MetricName,
    ) -> float | None:
        """Calculate a single metric without full analyzer initialization

        The value of the get_ method of that name; raises ValueError for an
        unknown name or invalid input.
        """
