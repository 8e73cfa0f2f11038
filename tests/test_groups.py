"""Dispersion within and across groups of parts, and bootstrap intervals: each
value against `dispersion` on the matrix it stands for (the group's columns,
the counts summed per group, the repeated-parts matrix of a replicate), bit
for bit, from every input kind; quantiles against numpy.quantile; one clear
error per bad argument."""

import numpy as np
import pytest

import lexispan_table as lt
from lexispan_table import _bootstrap

pd = pytest.importorskip("pandas")
sparse = pytest.importorskip("scipy.sparse")


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


def drawn_multiplicities(rng, parts, strata):
    """One replicate's multiplicities, drawn as bootstrap documents it."""
    if strata is None:
        return np.bincount(rng.integers(0, parts, size=parts), minlength=parts)
    m = np.zeros(parts, dtype=np.int64)
    for label in dict.fromkeys(strata):
        members = [p for p, other in enumerate(strata) if other == label]
        m[members] = np.bincount(rng.integers(0, len(members), size=len(members)),
                                 minlength=len(members))
    return m


def replicate_reference(matrix, sizes, m, strata):
    """`dispersion_arrays`' arguments for one replicate: the repeated-parts
    matrix, or its sums per stratum, with sizes and total."""
    repeated = np.repeat(matrix, m, axis=1)
    repeated_sizes = np.repeat(sizes, m)
    if strata is not None:
        order = list(dict.fromkeys(strata))
        owner = np.repeat([order.index(label) for label in strata], m)
        summed = np.zeros((matrix.shape[0], len(order)))
        summed_sizes = np.zeros(len(order))
        for column, g in enumerate(owner.tolist()):
            summed[:, g] += repeated[:, column]
            summed_sizes[g] += repeated_sizes[column]
        return summed, summed_sizes, ordered_sum(summed_sizes), (repeated > 0).any(axis=1)
    return repeated, repeated_sizes, ordered_sum(repeated_sizes), (repeated > 0).any(axis=1)


@pytest.mark.parametrize("seed, kind, stratified", [(3, "csr", False), (4, "dense", True),
                                                    (5, "csc", False),
                                                    (6, "coo, words on columns", True)])
def test_each_replicate_equals_dispersion_on_its_repeated_parts(seed, kind, stratified):
    parts = 14
    counts = random_counts(seed, 31, parts)
    counts[2, 1:] = 0.0  # found in one part only: absent from some replicates
    sizes = np.random.default_rng(seed).choice([5.0, 8.0, 0.0, 1e-3, 2.0**40], parts)
    sizes[:2] = 9.0
    strata = random_groups(seed, parts) if stratified else None
    given, axis = as_kind(counts, kind)
    replicates = 7
    run = _bootstrap._prepared(given, sizes, axis, "all", replicates, 0.9, seed, strata,
                               "pairwise", 2, False)
    values, occurs = run._block(0, counts.shape[0], replicates, 3, seed, None)
    rng = np.random.default_rng(seed)
    for b in range(replicates):
        m = drawn_multiplicities(rng, parts, strata)
        matrix, r_sizes, r_total, found = replicate_reference(counts, sizes, m, strata)
        expected = lt.dispersion_arrays(matrix, r_sizes, r_total, measures="all",
                                         da="pairwise")
        for name, column in expected.items():
            assert same_bits(values[name][b], column), (b, name)
        assert occurs[b].tolist() == found.tolist()
    assert not occurs[:, 0].any() and occurs[:, 1].all()


def test_intervals_are_the_quantiles_of_the_replicates_for_any_threads_and_blocks(monkeypatch):
    counts = random_counts(8, 40, 12)
    counts[2, 1:] = 0.0
    sizes = np.full(12, 50.0)
    replicates, level, seed = 9, 0.8, 11
    options = dict(measures=["dp", "range", "evenness_da"], replicates=replicates,
                   level=level, seed=seed, da="sorted")
    result = lt.bootstrap_arrays(sparse.csr_matrix(counts), sizes, threads=1, **options)
    # Several blocks of words, each drawing its replicates again, in chunks.
    monkeypatch.setattr(_bootstrap, "BLOCK_BYTES", 7 * replicates * 21)
    monkeypatch.setattr(_bootstrap, "DRAW_BYTES", 8 * 12 * 2)
    split = lt.bootstrap_arrays(counts, sizes, threads=3, **options)
    assert list(result) == ["dp_median", "dp_low", "dp_high", "range_median", "range_low",
                            "range_high", "evenness_da_median", "evenness_da_low",
                            "evenness_da_high", "replicates_absent"]
    for name in result:
        assert same_bits(split[name], result[name]), name

    rng = np.random.default_rng(seed)
    per_replicate = []
    for _ in range(replicates):
        m = drawn_multiplicities(rng, 12, None)
        matrix, r_sizes, r_total, found = replicate_reference(counts, sizes, m, None)
        per_replicate.append((lt.dispersion_arrays(matrix, r_sizes, r_total, da="sorted",
                                                   measures=options["measures"]), found))
    for w in range(counts.shape[0]):
        present = [values for values, found in per_replicate if found[w]]
        assert result["replicates_absent"][w] == replicates - len(present)
        for name in options["measures"]:
            sample = np.array([values[name][w] for values in present])
            for what, q in zip(("median", "low", "high"), (0.5, (1 - level) / 2, (1 + level) / 2)):
                expected = np.quantile(sample, q, method="linear") if present else np.nan
                assert same_bits(result[f"{name}_{what}"][w], np.float64(expected)), (w, name)


def test_summaries_equal_numpy_quantile_of_each_word_in_replicate_order():
    rng = np.random.default_rng(12)
    values = rng.choice([0.0, -0.0, 1.0, 0.25, np.nan, 3.5, -2.0, np.inf], (40, 300))
    values[:, :100] = rng.choice([0.0, -0.0], (40, 100))
    occurs = rng.random((40, 300)) < rng.uniform(0, 1, 300)
    occurs[:, :30] = True
    quantiles = _bootstrap.interval_quantiles(0.9) + (0.0, 1.0, 0.3)
    summaries, absent = _bootstrap._summarise(values, occurs, quantiles)
    for w in range(300):
        sample = values[occurs[:, w], w]
        assert absent[w] == 40 - sample.size
        for summary, q in zip(summaries, quantiles):
            with np.errstate(invalid="ignore"):
                expected = np.quantile(sample, q, method="linear") if sample.size else np.nan
            assert same_bits(summary[w], np.float64(expected)), (w, q)


def test_groups_in_order_of_first_appearance_and_the_frame_sliced_by_measure():
    counts = np.array([[1, 0, 2, 5], [0, 4, 4, 0]])
    groups = pd.Categorical(["b", "a", "b", "a"], categories=["unused", "a", "b"])
    table = lt.group_dispersion(pd.DataFrame(counts, index=["x", "y"]), pd.Series(groups),
                                measures=["frequency", "range", "dp"])
    assert list(table.columns.names) == ["measure", "group"]
    assert list(table["dp"].columns) == ["b", "a", "across"]
    assert table["frequency"].to_dict("list") == {"b": [3.0, 4.0], "a": [5.0, 4.0],
                                                  "across": [8.0, 8.0]}
    assert table["range"].dtypes.tolist() == [np.int32] * 3
    arrays = lt.group_dispersion_arrays(counts, np.array([2, 1, 2, 1]), measures=["dp"])
    assert arrays.groups == (2, 1) and type(arrays.groups[0]) is int
    assert same_bits(arrays.within["dp"], table["dp"][["b", "a"]].to_numpy())
    assert same_bits(arrays.across["dp"], table[("dp", "across")].to_numpy())


@pytest.mark.parametrize("call, error, message", [
    (lambda c: lt.group_dispersion_arrays(c, ["a", "b"]), ValueError,
     "groups has 2 labels, expected 3"),
    (lambda c: lt.group_dispersion_arrays(c, [["a"], "b", "c"]), TypeError,
     "groups labels must be hashable; part 0 has a list"),
    (lambda c: lt.group_dispersion_arrays(c, "abc"), TypeError, "groups must be a sequence"),
    (lambda c: lt.group_dispersion_arrays(c, ["a", None, "a"]), ValueError,
     "groups has no label for part 1"),
    (lambda c: lt.group_dispersion_arrays(c, ["a", "a", "b"], [1.0, 2.0, 0.0]), ValueError,
     "group 'b' has no part of positive size"),
    (lambda c: lt.group_dispersion_arrays(c, ["across", "a", "a"]), ValueError,
     "'across' is the label of the values across the groups"),
    (lambda c: lt.bootstrap_arrays(c, replicates=0, seed=1), ValueError,
     "replicates must be at least 1"),
    (lambda c: lt.bootstrap_arrays(c, replicates=2.5, seed=1), TypeError,
     "replicates must be an integer"),
    (lambda c: lt.bootstrap_arrays(c, level=1.0, seed=1), ValueError,
     "level must be between 0 and 1"),
    (lambda c: lt.bootstrap_arrays(c, level=float("nan"), seed=1), ValueError,
     "level must be between 0 and 1"),
    (lambda c: lt.bootstrap_arrays(c), TypeError, "'seed'"),
    (lambda c: lt.bootstrap_arrays(c, seed=None), ValueError, "seed is required"),
    (lambda c: lt.bootstrap_arrays(c, seed=np.random.default_rng(1)), TypeError,
     "seed must be an integer"),
    (lambda c: lt.bootstrap_arrays(c, seed=-3), ValueError, "seed: "),
    (lambda c: lt.bootstrap_arrays(c, seed=1, strata=["a", "b"]), ValueError,
     "strata has 2 labels, expected 3"),
    (lambda c: lt.bootstrap_arrays(c, seed=1, strata=[{}, "b", "b"]), TypeError,
     "strata labels must be hashable"),
    (lambda c: lt.bootstrap_arrays(c, seed=1, measures=["nope"]), ValueError,
     "unknown measure 'nope'"),
    (lambda c: lt.group_dispersion_arrays(c * [1, -1, 1], ["a", "a", "b"]), ValueError,
     "word 0 has -2 in part 1"),
    (lambda c: lt.bootstrap_arrays(c * [1, -1, 1], seed=1), ValueError,
     "word 0 has -2 in part 1"),
    (lambda c: lt.bootstrap_arrays(c, [1, np.inf, 1], seed=1), ValueError,
     "part 1 has inf"),
])
def test_bad_arguments_are_one_clear_error_naming_them(call, error, message):
    with pytest.raises(error) as caught:
        call(np.array([[1, 2, 3], [0, 1, 0]]))
    assert message in str(caught.value)


def test_a_stratum_of_one_part_and_progress_over_replicates(capfd):
    counts = np.array([[1, 0, 2, 5, 1], [0, 4, 4, 0, 2]])
    table = lt.bootstrap(counts, words=["x", "y"], replicates=30, seed=2, progress=True,
                         strata=["alone", "b", "b", "c", "c"], measures=["dp", "frequency"])
    assert table.index.tolist() == ["x", "y"]
    assert capfd.readouterr().err.count("30/30") >= 1
    assert (table["dp_low"] <= table["dp_high"]).all()
