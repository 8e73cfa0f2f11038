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
    """What `group_dispersion_arrays` returns: the measures within each group
    and across the groups, as NumPy arrays.

    Parameters
    ----------
    groups : tuple
        The group labels, in order of first appearance.
    within : dict of str to numpy.ndarray
        For each measure, an array of shape (words, groups): column j holds
        the values over the parts of ``groups[j]``.
    across : dict of str to numpy.ndarray
        For each measure, an array of shape (words,): the values over the
        groups taken as parts.

    Examples
    --------
    >>> import numpy as np
    >>> from lexispan_table import group_dispersion_arrays
    >>> counts = np.array([[3, 1, 0, 0], [1, 1, 1, 1]])
    >>> result = group_dispersion_arrays(counts, ["a", "a", "b", "b"], measures=["range"])
    >>> result.groups
    ('a', 'b')
    >>> result.within["range"].tolist(), result.across["range"].tolist()
    ([[2, 0], [2, 2]], [1, 2])
    """

    groups: tuple[Any, ...]
    within: dict[str, Any]
    across: dict[str, Any]


# The generated constructor's docstring would be appended to the class's in
# the API reference; the class's says it all.
GroupDispersion.__new__.__doc__ = None


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
