"""The table of measure names: the one list that the functions, the command line
and the docs read."""

from __future__ import annotations

from collections.abc import Iterable
from typing import NamedTuple


class Measure(NamedTuple):
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
)

MEASURE_NAMES: tuple[str, ...] = tuple(m.name for m in MEASURES)

# Columns whose values need DA's pair sum, the one quadratic step.
DA_MEASURES = frozenset({"evenness_da", "ft_adjusted_by_da"})

# Integer columns; every other column is float64.
INTEGER_MEASURES = frozenset({"range"})


def select(measures: object) -> tuple[str, ...]:
    """The names asked for, in the order given; None asks for every measure."""
    if measures is None:
        return MEASURE_NAMES
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
        if name not in MEASURE_NAMES:
            raise ValueError(
                f"unknown measure {name!r}; valid names: {', '.join(MEASURE_NAMES)}"
            )
        if name in seen:
            raise ValueError(f"measure {name!r} is listed twice")
        seen.add(name)
    return tuple(str(name) for name in names)
