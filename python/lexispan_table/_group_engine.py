"""What the group entry points and their Dask form share: the label of the
values across the groups, the arrays' result type, the checks of the groups
and the native call."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np

from . import _native
from ._engine import CountInput, column_dtype, progress_callback
from ._inputs import part_labels

__all__ = ["ACROSS", "GroupDispersion", "check_group_sizes", "evaluate_groups", "group_labels"]

ACROSS = "across"
"""The group label under which the values across the groups stand."""


class GroupDispersion(NamedTuple):
    """What group_dispersion_arrays returns.

    groups: the group labels in order of first appearance.
    within: {measure: array of shape (words, groups)}, column j for groups[j].
    across: {measure: array of shape (words,)}, over the groups as parts.
    """

    groups: tuple[Any, ...]
    within: dict[str, Any]
    across: dict[str, Any]


def group_labels(groups: object, parts: int) -> tuple[tuple[Any, ...], np.ndarray]:
    """The labels and part numbers of `groups`, none labelled ACROSS."""
    labels, codes = part_labels(groups, parts, "groups")
    if ACROSS in labels:
        raise ValueError(f"groups: {ACROSS!r} is the label of the values across the groups; "
                         f"rename that group")
    return labels, codes


def check_group_sizes(labels: tuple[Any, ...], codes: np.ndarray, sizes: np.ndarray) -> None:
    """Every group has a part of positive size."""
    positive = np.zeros(len(labels), dtype=bool)
    positive[codes[sizes > 0]] = True
    if not positive.all():
        label = labels[int(np.flatnonzero(~positive)[0])]
        raise ValueError(f"groups: group {label!r} has no part of positive size")


def evaluate_groups(counts: CountInput, sizes: np.ndarray, total: float, codes: np.ndarray,
                    group_count: int, names: Sequence[str], da: str, threads: int,
                    progress: bool) -> tuple[dict[str, np.ndarray], dict[str, np.ndarray]]:
    """({name: (words, groups) array}, {name: (words,) array}) for the words of
    `counts`."""
    blocks = {name: np.empty((group_count, counts.words), dtype=column_dtype(name))
              for name in names}
    across = {name: np.empty(counts.words, dtype=column_dtype(name)) for name in names}
    if counts.words:
        within_names = tuple(name for name in names for _ in range(group_count))
        within_outputs = tuple(row for block in blocks.values() for row in block)
        with progress_callback(counts.words, progress) as report:
            _native.group_evaluate(counts.layout, sizes, total, codes, group_count,
                                   within_names, within_outputs, tuple(names),
                                   tuple(across.values()), da, threads, report)
    return {name: block.T for name, block in blocks.items()}, across
