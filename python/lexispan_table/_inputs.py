"""Every accepted kind of count matrix, adapted to one description that the
native engine reads in place: a dense array with its words axis, or a
compressed sparse matrix with its slices along words or along parts."""

from __future__ import annotations

import numbers
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ._sparse import Compressed, from_scipy, from_sparse_columns
from ._values import native_values


@dataclass
class CountInput:
    layout: tuple[Any, ...]   # what _native reads
    words: int
    parts: int
    labels: Any = None        # word labels from a DataFrame, or None
    keep: list[Any] = field(default_factory=list)  # objects the layout points into


def check_words_axis(words_axis: object) -> int:
    if isinstance(words_axis, bool) or not isinstance(words_axis, numbers.Integral):
        raise TypeError(f"words_axis must be 0 or 1, not {type(words_axis).__name__}")
    if words_axis not in (0, 1):
        raise ValueError(f"words_axis must be 0 (words on rows) or 1 (words on columns), "
                         f"not {words_axis}")
    return int(words_axis)


def _is_scipy_sparse(obj: object) -> bool:
    # Looked up on the type: SciPy's nnz property already reads the arrays.
    kind = type(obj)
    return (hasattr(kind, "tocsr") and hasattr(kind, "nnz") and hasattr(kind, "format")
            and hasattr(kind, "shape"))


def _is_dataframe(obj: object) -> bool:
    return (hasattr(obj, "columns") and hasattr(obj, "index") and hasattr(obj, "dtypes")
            and hasattr(obj, "to_numpy") and hasattr(obj, "iloc"))


def from_sparse(matrix: Any, words_axis: int, labels: Any = None) -> CountInput:
    """Any SciPy sparse format, its structure checked by lexispan before
    anything reads it (see _sparse)."""
    return _counts_from(from_scipy(matrix, words_axis), labels, [matrix])


def _counts_from(sliced: Compressed, labels: Any, keep: list[Any]) -> CountInput:
    return from_compressed(sliced.indptr, sliced.indices, sliced.data, sliced.words,
                           sliced.parts, sliced.by_words, labels, keep)


def from_compressed(indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, words: int,
                    parts: int, by_words: bool = True, labels: Any = None,
                    keep: list[Any] | None = None) -> CountInput:
    """Compressed slices read in place: along the words (`by_words`) or along
    the parts. The arrays are C-contiguous, the indices int32 or int64 and the
    values of a dtype the engine reads."""
    layout = ("compressed", indptr, indices, data, words, parts, by_words)
    return CountInput(layout, words, parts, labels, [*(keep or ()), indptr, indices, data])


def from_array(array: np.ndarray, words_axis: int, labels: Any = None) -> CountInput:
    if array.ndim != 2:
        raise ValueError(f"counts must be two-dimensional (words x parts), got {array.ndim} "
                         f"dimension{'s' if array.ndim != 1 else ''}")
    if array.dtype.kind == "O":
        array = _from_objects(array)
    values = native_values(array, "counts")
    words = int(values.shape[words_axis])
    parts = int(values.shape[1 - words_axis])
    return CountInput(("dense", values, words_axis), words, parts, labels, [values])


def _from_objects(array: np.ndarray) -> np.ndarray:
    # Python numbers convert one by one as float() converts them, which is
    # how the record batch reads its rows; text is refused as it is there.
    for item in array.flat:
        if not isinstance(item, numbers.Real):
            raise TypeError(f"counts must be real numbers, not {type(item).__name__}")
    return array.astype(np.float64)


def from_dataframe(frame: Any, words_axis: int) -> CountInput:
    labels = frame.index if words_axis == 0 else frame.columns
    dtypes = list(frame.dtypes)
    for column, dtype in zip(frame.columns, dtypes):
        kind = getattr(getattr(dtype, "subtype", dtype), "kind", "O")
        if kind not in "biuf":
            raise TypeError(f"DataFrame column {column!r} is not numeric ({dtype}); counts "
                            f"must be numbers")
    sparse = [type(d).__name__ == "SparseDtype" for d in dtypes]
    if sparse and all(sparse):
        sliced = from_sparse_columns(frame, words_axis)
        if sliced is not None:
            return _counts_from(sliced, labels, [])
    values = frame.to_numpy()
    return from_array(np.asarray(values), words_axis, labels)


def adapt(counts: object, words_axis: int) -> CountInput:
    """The engine's description of `counts`, read in place wherever it can be."""
    if _is_scipy_sparse(counts):
        return from_sparse(counts, words_axis)
    if _is_dataframe(counts):
        return from_dataframe(counts, words_axis)
    if isinstance(counts, np.ndarray):
        if type(counts) is not np.ndarray:
            counts = np.asarray(counts)  # numpy.matrix, masked arrays: their data
        return from_array(counts, words_axis)
    if isinstance(counts, (str, bytes)):
        raise TypeError("counts must be a matrix of numbers, not a string")
    try:
        array = np.asarray(counts)
    except ValueError as error:
        raise ValueError(f"counts rows must all have the same length ({error})") from None
    if array.dtype.kind in "USV":
        raise TypeError(f"counts must be numbers, not {array.dtype}")
    return from_array(array, words_axis)


def part_sizes_array(part_sizes: object, parts: int) -> np.ndarray:
    if isinstance(part_sizes, (str, bytes)):
        raise TypeError("part_sizes must be a sequence of numbers, not a string")
    array = np.asarray(part_sizes)
    if array.dtype.kind == "O":
        for item in array.flat:
            if not isinstance(item, numbers.Real):
                raise TypeError(f"part_sizes must be real numbers, not {type(item).__name__}")
    elif array.dtype.kind not in "biuf":
        raise TypeError(f"part_sizes must be real numbers, not {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"part_sizes must be one-dimensional, got {array.ndim} dimensions")
    if array.shape[0] != parts:
        raise ValueError(f"part_sizes has {array.shape[0]} values, expected {parts} "
                         f"(one per part)")
    return np.ascontiguousarray(array, dtype=np.float64)


def total_value(total: object) -> float:
    if isinstance(total, (bool, str, bytes)) or not isinstance(total, numbers.Real):
        raise TypeError(f"total must be a real number, not {type(total).__name__}")
    return float(total)
