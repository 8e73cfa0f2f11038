"""The table of measure names: the one list that the functions, the command line
and the docs read."""

from __future__ import annotations

from collections.abc import Iterable
from typing import NamedTuple


class Measure(NamedTuple):
    """One entry of a table of measures: ``MEASURES``, ``POSITION_MEASURES``,
    ``KEYNESS_MEASURES``.

    ``name`` is the column name that the functions, the command's
    ``--measures`` and the documentation use; ``title`` the measure's usual
    name in the literature; ``description`` what it is, in a line.
    """

    name: str
    title: str
    description: str


MEASURES: tuple[Measure, ...] = (
    Measure("frequency", "frequency", "the word's total f, summed over the parts in order"),
    Measure("range", "range", "number of parts with a count above zero (integer)"),
    Measure("sd_population", "SD", "population standard deviation of the counts"),
    Measure("vc_population", "VC", "variation coefficient: SD over the mean count"),
    Measure("juilland_d", "Juilland's D", "1 - VC of the normalised frequencies / sqrt(n - 1)"),
    Measure("carroll_d2", "Carroll's D2", "entropy of the normalised frequencies over log n"),
    # "roschengren" is the record's public field name: keep the spelling, do not "fix" it.
    Measure("roschengren_s_adj", "Rosengren's S_adj", "(sum of sqrt(s_i v_i))^2 / f"),
    Measure("dp", "DP", "Gries' deviation of proportions"),
    Measure("dp_norm", "DPnorm", "DP over its maximum 1 - min s_i"),
    Measure("kl_divergence", "KL divergence", "Kullback-Leibler divergence of v/f from s, bits"),
    Measure("jsd_dispersion", "JSD dispersion", "1 - Jensen-Shannon divergence of v/f and s"),
    Measure("hellinger_dispersion", "Hellinger dispersion",
            "1 - Hellinger distance of v/f and s"),
    Measure("mean_text_frequency_ft", "FT", "mean normalised frequency"),
    Measure("pervasiveness_pt", "PT", "range / n"),
    Measure("evenness_da", "DA", "1 - mean |q_i - q_j| over pairs / (2 mean q)"),
    Measure("ft_adjusted_by_pt", "FT x PT", "FT adjusted by pervasiveness"),
    Measure("ft_adjusted_by_da", "FT x DA", "FT adjusted by evenness"),
    Measure("idf", "IDF", "log2(n / range); inf for a word found in no part"),
    Measure("maxmin", "max-min", "largest minus smallest count over all parts"),
    Measure("engwall_fm", "Engwall's FM", "f x range / n"),
    Measure("juilland_u", "Juilland's U", "D x f"),
    Measure("juilland_d_eq", "Juilland's D (equal parts)", "1 - VC of the counts / sqrt(n - 1)"),
    Measure("carroll_um", "Carroll's Um", "f x D2 + (1 - D2) x f / n"),
    Measure("rosengren_kf", "Rosengren's KF", "(sum of sqrt(s_i v_i))^2, S_adj x f"),
    Measure("zhang_dc", "Zhang's DC", "((sum of sqrt(v_i)) / n)^2 / (f / n)"),
    Measure("chi_squared", "chi-squared", "sum of (v_i - s_i f)^2 / (s_i f)"),
    Measure("lyne_d3", "Lyne's D3", "1 - chi-squared / (4 f)"),
    Measure("kromer_ur", "Kromer's U_R", "sum of psi(v_i + 1) - psi(1), H(v_i) for whole counts"),
    Measure("frequency_per_million", "per million", "f / T x 10^6"),
    # The field since 2020: 1 = even for every one of these.
    Measure("egbert_dp", "Egbert's D_P",
            "1 - DP / (1 - smallest s_i of a part the word is in); 0 for a word in one part"),
    Measure("dkl_o2p", "DKL (1 / (1 + KL))", "KL divergence as a dispersion, 1 / (1 + KL)"),
    Measure("dkl_base2", "DKL (2^-KL)", "KL divergence as a dispersion, 2^-KL"),
    Measure("dkl_base_e", "DKL (e^-KL)", "KL divergence (in bits) as a dispersion, e^-KL"),
    Measure("range_by_size", "range by size",
            "sum of s_i over the parts where the word occurs: the share of the corpus it "
            "reaches"),
    Measure("dmb", "D_MB", "share of parts lacking the word against a Poisson expectation "
            "E: 1 if O <= E, else 1 - (O - E) / (1 - E)"),
    Measure("dmb_low", "D_MB lower limit",
            "D_MB at the upper profile-likelihood limit of the rate f / T (at `level`)"),
    Measure("dmb_high", "D_MB upper limit",
            "D_MB at the lower profile-likelihood limit of the rate f / T (at `level`)"),
    Measure("dp_nofreq", "DP (frequency-adjusted)",
            "DP placed between its values for the most concentrated and the most even "
            "allocation of f tokens: 1 = as even as f tokens can be"),
    Measure("egbert_dp_nofreq", "D_P (frequency-adjusted)",
            "Egbert's D_P placed between its extremes for f tokens, 1 = as even as possible"),
    Measure("dkl_nofreq", "DKL (frequency-adjusted)",
            "dkl_o2p placed between its extremes for f tokens, 1 = as even as possible"),
    Measure("rosengren_s_nofreq", "S (frequency-adjusted)",
            "Rosengren's S placed between its extremes for f tokens, 1 = as even as possible"),
    Measure("range_nofreq", "range (frequency-adjusted)",
            "(range - 1) / (min(f, n) - 1): range between 1 and the most parts f tokens "
            "can reach"),
)

MEASURE_NAMES: tuple[str, ...] = tuple(m.name for m in MEASURES)

# What measures=None gives: the frequency and the record's sixteen fields in
# record order. measures="all" gives every name above.
DEFAULT_MEASURE_NAMES: tuple[str, ...] = MEASURE_NAMES[:17]

# The distance-based measures of position_dispersion, from token positions.
POSITION_MEASURES: tuple[Measure, ...] = (
    Measure("arf", "ARF", "average reduced frequency: (1/v) sum of min(d_i, v), v = N / f"),
    Measure("awt", "AWT", "average waiting time: (1 + sum of d_i^2 / N) / 2"),
    Measure("f_awt", "f_AWT", "frequency adjusted by AWT: N^2 / sum of d_i^2"),
    Measure("ald", "ALD", "average logarithmic distance: sum of (d_i / N) log10(d_i)"),
    Measure("f_ald", "f_ALD", "frequency adjusted by ALD: N x 10^(-ALD)"),
    Measure("mb", "MB", "Nelson's MB: the share O of f equal chunks of the corpus without the "
            "word, 1 if O <= 1/e, else 1 - (O - 1/e) / (1 - 1/e)"),
)

POSITION_MEASURE_NAMES: tuple[str, ...] = tuple(m.name for m in POSITION_MEASURES)

# The columns of keyness and keyness_arrays, comparing a target corpus with a
# reference corpus (a, b: the word's frequencies; A, B: the numbers of parts
# containing it), in their default order.
KEYNESS_MEASURES: tuple[Measure, ...] = (
    Measure("target_frequency", "target frequency", "a: the word's frequency in the target"),
    Measure("reference_frequency", "reference frequency",
            "b: the word's frequency in the reference"),
    Measure("target_range", "target range", "A: number of target parts containing the word"),
    Measure("reference_range", "reference range",
            "B: number of reference parts containing the word"),
    Measure("log_likelihood", "log-likelihood G2",
            "Dunning's G2 on a and b, negative when the word is relatively more frequent in "
            "the reference"),
    Measure("log_ratio", "Log Ratio", "log2 of the ratio of relative frequencies, 0.5 for a 0"),
    Measure("text_dispersion_keyness", "text dispersion keyness",
            "signed G2 on A and B out of the parts of each corpus"),
    Measure("text_dispersion_keyness_4cell", "text dispersion keyness (2 x 2)",
            "signed G2 over the parts with and without the word in each corpus"),
    Measure("text_log_ratio", "text Log Ratio",
            "log2 of the ratio of the shares of parts containing the word, 0.5 for a 0"),
    Measure("mean_text_frequency_d", "mean text frequency d",
            "Cohen's d between the per-part rates of the target and the reference"),
    Measure("p_log_likelihood", "p (G2)", "chi-squared (1 df) p-value of |log_likelihood|"),
    Measure("p_text_dispersion_keyness", "p (text dispersion keyness)",
            "chi-squared (1 df) p-value of |text_dispersion_keyness|"),
)

KEYNESS_MEASURE_NAMES: tuple[str, ...] = tuple(m.name for m in KEYNESS_MEASURES)

# Other names a measure is known by, accepted wherever a measure is named; the
# column keeps the record's name.
MEASURE_ALIASES: dict[str, str] = {"rosengren_s": "roschengren_s_adj",
                                   "rosengren_s_adj": "roschengren_s_adj"}

# Columns whose values need DA's pair sum, the one quadratic step.
DA_MEASURES = frozenset({"evenness_da", "ft_adjusted_by_da"})

# Integer columns; every other column is float64.
INTEGER_MEASURES = frozenset({"range", "target_range", "reference_range"})


def select(measures: object, valid: tuple[str, ...] = MEASURE_NAMES,
           default: tuple[str, ...] | None = None) -> tuple[str, ...]:
    """The names asked for, in the order given; None asks for `default` (every
    measure of `valid` when there is none), "all" for every one of `valid`."""
    if measures is None:
        return valid if default is None else default
    if measures == "all":
        return valid
    if isinstance(measures, str):
        measures = (measures,)
    if not isinstance(measures, Iterable):
        raise TypeError(
            f"measures must be a list of measure names, not {type(measures).__name__}"
        )
    names: tuple[object, ...] = tuple(measures)
    if not names:
        raise ValueError("measures must name at least one measure")
    seen: set[str] = set()
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"measure names must be strings, not {type(name).__name__}")
        name = canonical(name, valid)
        if name not in valid:
            raise ValueError(f"unknown measure {name!r}; valid names: {', '.join(valid)}")
        if name in seen:
            raise ValueError(f"measure {name!r} is listed twice")
        seen.add(name)
    return tuple(canonical(str(name), valid) for name in names)


def canonical(name: str, valid: tuple[str, ...] = MEASURE_NAMES) -> str:
    """The column name of `name`: itself, or the measure an alias stands for."""
    if name in valid:
        return name
    return MEASURE_ALIASES.get(name, name)
