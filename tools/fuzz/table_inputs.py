#!/usr/bin/env python3
"""Fuzzes lexispan_table.dispersion_arrays and dispersion with small count matrices decoded from
bytes: dense arrays of every dtype and layout, CSR, CSC and COO built from raw (possibly broken)
arrays, SciPy's other formats, DataFrames dense and sparse, with sizes, totals and options.

A call may raise ValueError or TypeError; anything else, a crash or a hang is a finding. A sparse
matrix whose structure SciPy itself accepts must give the bits of its toarray().

    python tools/fuzz/table_inputs.py [libFuzzer options] [corpus folders]
"""

from __future__ import annotations

import os
import sys
import warnings

import atheris

with atheris.instrument_imports(include=["lexispan_table"]):
    import lexispan_table as lt

import numpy as np
import pandas as pd
import scipy.sparse as sp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from decode import index, number, numbers, pick  # noqa: E402

np.seterr(all="ignore")  # casts of NaN and infinities to integers while inputs are made
warnings.simplefilter("ignore")

DTYPES = (np.float64, np.float32, np.float16, np.int8, np.int32, np.int64, np.uint16, np.uint64,
          np.bool_, ">f8", np.complex64, np.object_)
INDEX_DTYPES = (np.int32, np.int64, np.uint32, np.int16, np.uint64, np.float64)
KINDS = ("dense", "transposed", "fortran", "rows", "csr", "csc", "coo", "other format",
         "frame", "sparse frame", "ragged")


def counts_matrix(fdp: atheris.FuzzedDataProvider, words: int, parts: int) -> np.ndarray:
    dense = numbers(fdp, words * parts).reshape(words, parts)
    dense[np.isfinite(dense) & (np.arange(dense.size).reshape(dense.shape) % 3 == 0)] = 0.0
    return dense


def raw_compressed(fdp, dense, kind):
    """A SciPy matrix whose arrays may have been changed after construction."""
    matrix = (sp.csr_matrix if kind == "csr" else sp.csc_matrix)(dense)
    broken = False
    for name in ("indptr", "indices"):
        array = getattr(matrix, name).astype(pick(fdp, INDEX_DTYPES))
        broken |= array.dtype not in (np.int32, np.int64)
        for _ in range(fdp.ConsumeIntInRange(0, 2)):
            if array.size:
                broken = True
                position = fdp.ConsumeIntInRange(0, array.size - 1)
                value = index(fdp, max(dense.shape) + 2)
                try:
                    array[position] = value
                except OverflowError:
                    pass
        setattr(matrix, name, array)
    if fdp.ConsumeIntInRange(0, 9) == 0:
        matrix.data = matrix.data[: fdp.ConsumeIntInRange(0, matrix.data.size)]
        broken = True
    if fdp.ConsumeBool():
        matrix.has_canonical_format = True  # a flag that must not be believed
    return matrix, broken


def raw_coordinates(fdp, dense):
    matrix = sp.coo_matrix(dense)
    rows, cols = matrix.row.copy(), matrix.col.copy()
    broken = False
    for array in (rows, cols):
        for _ in range(fdp.ConsumeIntInRange(0, 2)):
            if array.size:
                array[fdp.ConsumeIntInRange(0, array.size - 1)] = fdp.ConsumeIntInRange(-2, 9)
                broken = True
    duplicates = fdp.ConsumeIntInRange(0, 3)
    data = np.concatenate([matrix.data, numbers(fdp, duplicates)])
    rows = np.concatenate([rows, rows[:duplicates] if rows.size else np.zeros(0, int)])
    cols = np.concatenate([cols, cols[:duplicates] if cols.size else np.zeros(0, int)])
    data = data[: rows.size]
    result = sp.coo_matrix(dense.shape)
    if hasattr(result, "coords"):
        result.coords = (rows, cols)
    else:
        result.row, result.col = rows, cols
    result.data = data
    return result, broken


def build(fdp, kind, dense, dtype):
    """(counts, words_axis, the dense matrix its result must equal, or None)."""
    typed = dense.astype(dtype) if np.dtype(dtype).kind != "O" else dense.astype(object)
    if kind == "dense":
        return typed, 0, None
    if kind == "transposed":
        return typed.T, 1, None
    if kind == "fortran":
        return np.asfortranarray(typed), 0, None
    if kind == "rows":
        return typed.tolist(), 0, None
    if kind == "ragged":
        rows = typed.tolist()
        if rows:
            rows[0] = rows[0][: max(len(rows[0]) - 1, 0)]
        return rows, 0, None
    if kind in ("csr", "csc"):
        matrix, broken = raw_compressed(fdp, dense, kind)
        return matrix, 0, None if broken else matrix.toarray()
    if kind == "coo":
        matrix, broken = raw_coordinates(fdp, dense)
        return matrix, 0, None
    if kind == "other format":
        matrix = getattr(sp.coo_matrix(dense), "to" + pick(fdp, ("bsr", "dia", "lil", "dok")))()
        return matrix, 0, None
    frame = pd.DataFrame(dense, columns=[f"p{j}" for j in range(dense.shape[1])])
    if kind == "sparse frame":
        fill = pick(fdp, (0.0, float("nan"), -0.0, 1.0))
        return frame.astype(pd.SparseDtype(np.float64, fill)), 0, None
    return frame, 0, None


def one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    words, parts = fdp.ConsumeIntInRange(0, 5), fdp.ConsumeIntInRange(0, 5)
    dense = counts_matrix(fdp, words, parts)
    kind = pick(fdp, KINDS)
    dtype = pick(fdp, DTYPES)
    counts, axis, expected = build(fdp, kind, dense, dtype)
    sizes = None if fdp.ConsumeBool() else numbers(fdp, parts + fdp.ConsumeIntInRange(-1, 1)
                                                  * (fdp.ConsumeIntInRange(0, 7) == 0))
    total = None if fdp.ConsumeBool() else number(fdp)
    options = dict(words_axis=axis, check=fdp.ConsumeBool(), da=pick(fdp, ("pairwise", "sorted")),
                   threads=fdp.ConsumeIntInRange(1, 3),
                   measures=pick(fdp, (None, "all", ["dp", "range"], ["frequency"])))
    try:
        if fdp.ConsumeBool():
            result = lt.dispersion_arrays(counts, sizes, total, **options)
        else:
            result = {k: v.to_numpy() for k, v in
                      lt.dispersion(counts, sizes, total, **options).items()}
    except (ValueError, TypeError):
        return
    if expected is not None and not options["check"]:
        same = lt.dispersion_arrays(expected, sizes, total, **dict(options, words_axis=0))
        for name, column in result.items():
            assert column.tobytes() == same[name].tobytes(), (name, kind)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
