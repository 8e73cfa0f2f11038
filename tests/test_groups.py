"""Dispersion within and across groups of parts, and bootstrap intervals: each
value against `dispersion` on the matrix it stands for (the group's columns,
the counts summed per group, the repeated-parts matrix of a replicate), bit
for bit, from every input kind; quantiles against numpy.quantile; one clear
error per bad argument."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lexispan_table as lt
from lexispan_table import _bootstrap

pd = pytest.importorskip("pandas")
sparse = pytest.importorskip("scipy.sparse")

TIMEOUT = 120


def same_bits(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    return actual.dtype == expected.dtype and actual.tobytes() == expected.tobytes()


def ordered_sum(values):
    total = 0.0
    for value in np.asarray(values, dtype=np.float64).tolist():
        total += value
    return total


def random_counts(seed, words, parts):
    """Counts of words of every density, with powers of two (ties in the bulk
    sums), a few large and fractional values."""
    rng = np.random.default_rng(seed)
    density = rng.uniform(0.02, 0.9, (words, 1))
    counts = np.where(rng.random((words, parts)) > density, 0.0,
                      rng.choice([1.0, 2.0, 4.0, 3.0, 0.5, 1e6, 7.25], (words, parts)))
    counts[0] = 0.0              # a word found nowhere
    counts[1, :] = 2.0           # and one found everywhere
    return counts


def random_groups(seed, parts):
    rng = np.random.default_rng(seed + 100)
    labels = rng.choice(["news", "fiction", 7, "talk"], parts)
    labels[:4] = ["talk", "news", 7, "fiction"][: min(4, parts)]
    return [label.item() if isinstance(label, np.generic) else label for label in labels]


def as_kind(counts, kind):
    """`counts` as the kind of input named, with the words axis it needs."""
    if kind == "dense":
        return counts, 0
    if kind == "fortran, words on columns":
        return np.asfortranarray(counts.T.astype(np.float32)), 1
    if kind == "int16":
        return counts.astype(np.int16), 0
    if kind == "csr":
        return sparse.csr_array(counts), 0
    if kind == "csc":
        return sparse.csc_matrix(counts), 0
    if kind == "coo, words on columns":
        return sparse.coo_array(counts.T), 1
    if kind == "dataframe":
        return pd.DataFrame(counts, index=[f"w{i}" for i in range(len(counts))]), 0
    if kind == "sparse dataframe":
        return pd.DataFrame.sparse.from_spmatrix(sparse.csr_matrix(counts)), 0
    raise AssertionError(kind)


KINDS = ["dense", "fortran, words on columns", "int16", "csr", "csc", "coo, words on columns",
         "dataframe", "sparse dataframe"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", [1, 2])
def test_within_and_across_equal_dispersion_on_the_matrices_they_stand_for(kind, seed):
    parts = 23 if seed == 1 else 9
    counts = random_counts(seed, 37, parts)
    if kind == "int16":
        counts = np.floor(np.minimum(counts, 900.0))
    groups = random_groups(seed, parts)
    given, axis = as_kind(counts, kind)
    rng = np.random.default_rng(seed)
    sizes = None if seed == 1 else rng.choice([3.0, 0.0, 1e-300, 2.0**60, 17.5], parts)
    sizes = None if sizes is None else np.where(np.arange(parts) < 4, 8.0, sizes)
    total = None if seed == 1 else 1e9
    options = dict(measures="all", da="pairwise" if seed == 1 else "sorted",
                   threads=1 if seed == 1 else 3)
    result = lt.group_dispersion_arrays(given, groups, sizes, total, words_axis=axis, **options)

    # The reference: the group's columns, and the counts summed per group.
    matrix = counts.astype(np.float64)
    if sizes is None:
        part_sizes = np.zeros(parts)
        for row in matrix:
            part_sizes += row
    else:
        part_sizes = sizes
    order = list(dict.fromkeys(groups))
    assert result.groups == tuple(order)
    summed = np.zeros((matrix.shape[0], len(order)))
    group_sizes = np.zeros(len(order))
    for p, label in enumerate(groups):
        g = order.index(label)
        summed[:, g] += matrix[:, p]
        group_sizes[g] += part_sizes[p]
    for g, label in enumerate(order):
        columns = [p for p, other in enumerate(groups) if other == label]
        within = lt.dispersion_arrays(matrix[:, columns], part_sizes[columns],
                                      ordered_sum(part_sizes[columns]), **options)
        for name, values in within.items():
            assert same_bits(result.within[name][:, g], values), (label, name)
    whole = ordered_sum(part_sizes) if total is None else total
    across = lt.dispersion_arrays(summed, group_sizes, whole, **options)
    for name, values in across.items():
        assert same_bits(result.across[name], values), name
