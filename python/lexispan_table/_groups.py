"""Dispersion within and across groups of parts (registers, speakers, books):
every measure over each group's parts alone, and over the groups taken as
parts, in one pass of the native engine over the counts."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._engine import (CountInput, check_threads, checked_options, is_dask_array, pandas,
                      resolve_sizes, word_labels)
from ._group_engine import (ACROSS, GroupDispersion, check_group_sizes, evaluate_groups,
                            group_labels)
from ._inputs import adapt

__all__ = ["ACROSS", "GroupDispersion", "group_dispersion", "group_dispersion_arrays"]


def group_dispersion_arrays(counts: Any, groups: Any, part_sizes: Any = None, total: Any = None,
                            *, words_axis: int = 0, measures: Sequence[str] | None = None,
                            da: str = "sorted", threads: int | None = None,
                            progress: bool = False, check: bool = True) -> GroupDispersion:
    """Dispersion measures of every word within each group of parts and across
    the groups, as NumPy arrays.

    Parameters
    ----------
    counts, part_sizes, total, words_axis, measures, da, threads, progress, check
        As for `dispersion_arrays`.
    groups : sequence of hashable labels
        One label per part (a list, array, pandas Series or Categorical).
        The groups are ordered by first appearance; a Categorical's unused
        categories are left out.

    Returns
    -------
    GroupDispersion
        ``groups`` (the labels), ``within`` ({measure: array of shape (words,
        groups)}) and ``across`` ({measure: array of shape (words,)}).

    Notes
    -----
    Within group g, every value is bit for bit what ``dispersion_arrays``
    gives for the columns of g's parts (in part order) with their part
    sizes and, as total, those sizes summed in part order from +0.0. Across
    the groups, it is what ``dispersion_arrays`` gives for the matrix whose
    column g holds each word's counts over g's parts summed in part order
    from +0.0 (in float64), with part sizes summed the same way and the
    call's total (as given, else the sum of all part sizes in part order).
    A Dask array of counts gives lazy Dask arrays, chunked as its words.

    Examples
    --------
    >>> import numpy as np, lexispan_table
    >>> counts = np.array([[2, 0, 1, 1], [0, 3, 0, 3]])
    >>> result = lexispan_table.group_dispersion_arrays(
    ...     counts, ["a", "a", "b", "b"], measures=["frequency", "range"])
    >>> result.groups
    ('a', 'b')
    >>> result.within["frequency"]
    array([[2., 2.],
           [3., 3.]])
    >>> result.across["range"]
    array([2, 2], dtype=int32)
    """
    axis, names, method, _ = checked_options(words_axis, measures, da, threads)
    if is_dask_array(counts):
        from ._dask_groups import group_dispersion_arrays as lazy
        return lazy(counts, groups, part_sizes, total, words_axis=axis, measures=names,
                    da=method, threads=threads, check=bool(check))
    return _grouped(adapt(counts, axis), groups, part_sizes, total, names, method, threads,
                    progress, bool(check))


def _grouped(counts: CountInput, groups: Any, part_sizes: Any, total: Any,
             names: Sequence[str], da: str, threads: int | None, progress: bool, check: bool,
             index: Any = None) -> GroupDispersion:
    workers = check_threads(threads)
    sizes, value = resolve_sizes(counts, part_sizes, total, check, index)
    labels, codes = group_labels(groups, counts.parts)
    check_group_sizes(labels, codes, sizes)
    within, across = evaluate_groups(counts, sizes, value, codes, len(labels), names, da,
                                     workers, bool(progress))
    return GroupDispersion(labels, within, across)


def group_dispersion(counts: Any, groups: Any, part_sizes: Any = None, total: Any = None, *,
                     words: Sequence[Any] | None = None, words_axis: int = 0,
                     measures: Sequence[str] | None = None, da: str = "sorted",
                     threads: int | None = None, progress: bool = False,
                     check: bool = True) -> Any:
    """Dispersion measures of every word within each group of parts and across
    the groups, as a pandas DataFrame.

    Parameters
    ----------
    counts, part_sizes, total, words, words_axis, measures, da, threads, progress, check
        As for `dispersion`.
    groups : sequence of hashable labels
        One label per part (a list, array, pandas Series or Categorical).

    Returns
    -------
    pandas.DataFrame
        One row per word; columns indexed by (measure, group): for each
        measure, one column per group in order of first appearance, then the
        values across the groups under the group label ``"across"``
        (``lexispan_table.ACROSS``). ``table["dp"]`` is then a words x groups
        table, ``table.xs("across", axis=1, level="group")`` the across values
        of every measure. The values are those of `group_dispersion_arrays`.

    Notes
    -----
    A Dask array of counts gives a lazy Dask DataFrame in long form (a Dask
    DataFrame cannot have columns indexed by pairs): one row per word and
    group, the word's across row last, with the columns ``word``, ``group``
    and the measures; ``.compute().pivot(index="word", columns="group")``
    gives the wide table.

    Examples
    --------
    >>> import numpy as np, lexispan_table
    >>> counts = np.array([[2, 0, 1, 1], [0, 3, 0, 3]])
    >>> table = lexispan_table.group_dispersion(
    ...     counts, ["a", "a", "b", "b"], words=["x", "y"], measures=["frequency", "dp"])
    >>> table["frequency"]
    group    a    b  across
    x      2.0  2.0     4.0
    y      3.0  3.0     6.0
    """
    axis, names, method, _ = checked_options(words_axis, measures, da, threads)
    if is_dask_array(counts):
        from ._dask_groups import group_dispersion as lazy_frame
        return lazy_frame(counts, groups, part_sizes, total, words=words, words_axis=axis,
                          measures=names, da=method, threads=threads, check=bool(check))
    pd = pandas("group_dispersion")
    adapted = adapt(counts, axis)
    index = (word_labels(pd, words, adapted.words) if words is not None
             else adapted.labels if adapted.labels is not None else pd.RangeIndex(adapted.words))
    result = _grouped(adapted, groups, part_sizes, total, names, method, threads, progress,
                      bool(check), index)
    return wide_frame(pd, result, names, index)


def wide_frame(pd: Any, result: GroupDispersion, names: Sequence[str], index: Any) -> Any:
    """The DataFrame of `result` with columns indexed by (measure, group)."""
    columns: dict[tuple[str, Any], np.ndarray] = {}
    for name in names:
        for j, label in enumerate(result.groups):
            columns[(name, label)] = result.within[name][:, j]
        columns[(name, ACROSS)] = result.across[name]
    frame = pd.DataFrame(columns, index=index)
    frame.columns = pd.MultiIndex.from_tuples(list(columns), names=["measure", "group"])
    return frame
