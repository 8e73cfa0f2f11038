"""Sparse count matrices taken apart by this module's own code: every SciPy
format, and pandas' sparse columns, checked from their raw arrays and brought
to compressed slices, sorted and without duplicates, before anything else
reads them. No SciPy method runs on these objects: SciPy's compiled routines
trust the arrays they are given, and a decreasing `indptr` or an index past
the end ends the process there.

Stored values are read as `toarray()` reads them: each cell is +0.0 plus its
stored entries in storage order, so a stored -0.0 is +0.0 and duplicates add
up left to right."""

from __future__ import annotations

import numbers
from typing import Any, NamedTuple

import numpy as np

from ._values import native_values

# Entries examined at once by the order check (its temporaries stay small).
_BLOCK = 1 << 20
_INT32_LIMIT = np.iinfo(np.int32).max


class Compressed(NamedTuple):
    """Slices along words (`by_words`) or along parts, each holding strictly
    ascending indices along the other axis."""
    indptr: np.ndarray
    indices: np.ndarray
    data: np.ndarray
    words: int
    parts: int
    by_words: bool


def malformed(fmt: str, what: str) -> ValueError:
    return ValueError(f"malformed sparse matrix ({fmt}): {what}")


def matrix_shape(matrix: Any, fmt: str) -> tuple[int, int]:
    shape = getattr(matrix, "shape", None)
    try:
        dims = tuple(shape)  # type: ignore[arg-type]
    except TypeError:
        dims = ()
    if len(dims) != 2:
        raise ValueError(f"counts must be two-dimensional (words x parts), got shape {shape}")
    if not all(isinstance(d, numbers.Integral) and not isinstance(d, bool) and int(d) >= 0
               for d in dims):
        raise malformed(fmt, f"shape {shape} is not two non-negative integers")
    return int(dims[0]), int(dims[1])


def integers(values: Any, fmt: str, what: str) -> np.ndarray:
    """A 1-D array of native int32 or int64, as given where it already is one."""
    array = np.asarray(values)
    if array.ndim != 1:
        raise malformed(fmt, f"{what} must be one-dimensional, got {array.ndim} dimensions")
    if array.dtype.kind not in "iu":
        raise malformed(fmt, f"{what} must hold integers, not {array.dtype}")
    if array.dtype.kind == "i" and array.dtype.itemsize in (4, 8) and array.dtype.isnative:
        return np.ascontiguousarray(array)
    if array.dtype == np.uint64 and array.size and int(array.max()) > np.iinfo(np.int64).max:
        at = int(np.argmax(array > np.iinfo(np.int64).max))
        raise malformed(fmt, f"{what}[{at}] is {int(array[at])}, beyond any axis")
    return np.ascontiguousarray(array, dtype=np.int64)


def stored_values(values: Any, fmt: str) -> np.ndarray:
    """The stored values as given (bool, integers or floats of any width)."""
    array = np.asarray(values)
    if array.ndim != 1:
        raise malformed(fmt, f"data must be one-dimensional, got {array.ndim} dimensions")
    if array.dtype.kind not in "biuf":
        native_values(array, "counts")  # raises the TypeError naming the dtype
    return array


def readable(values: np.ndarray) -> np.ndarray:
    """Stored values as the engine reads them, -0.0 read as +0.0."""
    return positive_zeros(np.ascontiguousarray(native_values(values, "counts")))


def check_range(indices: np.ndarray, limit: int, fmt: str, what: str) -> None:
    if indices.size == 0:
        return
    low, high = int(indices.min()), int(indices.max())
    if low < 0 or high >= limit:
        at = int(np.flatnonzero((indices < 0) | (indices >= limit))[0])
        raise malformed(fmt, f"{what}[{at}] is {int(indices[at])}, out of range "
                             f"(0 to {limit - 1})" if limit else
                        f"{what}[{at}] is {int(indices[at])}, out of range (the axis is empty)")


def check_pointers(indptr: np.ndarray, slices: int, stored: int, fmt: str) -> int:
    """The number of entries that `indptr` (one more than `slices`, from 0,
    never decreasing, within the `stored` entries) spans."""
    if indptr.shape[0] != slices + 1:
        raise malformed(fmt, f"indptr has {indptr.shape[0]} values, expected {slices + 1}")
    if int(indptr[0]) != 0:
        raise malformed(fmt, f"indptr starts at {int(indptr[0])}, not 0")
    falls = np.flatnonzero(indptr[1:] < indptr[:-1])
    if falls.size:
        k = int(falls[0])
        raise malformed(fmt, f"indptr decreases from {int(indptr[k])} to {int(indptr[k + 1])} "
                             f"at slice {k}")
    end = int(indptr[-1])
    if end > stored:
        raise malformed(fmt, f"indptr ends at {end}, beyond the {stored} stored entries")
    return end


def sorted_within_slices(indptr: np.ndarray, indices: np.ndarray) -> bool:
    """Whether every slice's indices strictly ascend; a fall is allowed only
    where a slice starts."""
    entries = indices.shape[0]
    for begin in range(1, entries, _BLOCK):
        end = min(entries, begin + _BLOCK)
        rising = indices[begin:end] > indices[begin - 1:end - 1]
        if rising.all():
            continue
        falls = np.flatnonzero(~rising) + begin
        slot = np.searchsorted(indptr, falls)
        if not np.array_equal(indptr[np.minimum(slot, indptr.shape[0] - 1)], falls):
            return False
    return True


def run_sums(values: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Each run's values (runs begin at `starts`) added left to right onto
    zero, as toarray() adds duplicates; bool runs are true if any entry is."""
    ends = np.append(starts[1:], values.shape[0])
    if values.dtype == np.bool_:
        return np.logical_or.reduceat(values, starts) if starts.size else values[:0]
    sums = values[starts] + values.dtype.type(0)
    lengths = ends - starts
    active = np.flatnonzero(lengths > 1)
    step = 1
    while active.size > 64:
        sums[active] += values[starts[active] + step]
        step += 1
        active = active[lengths[active] > step]
    for run in active.tolist():
        # Few long runs left: each one's chain in one call (add.accumulate
        # adds strictly in order, where sum() would pair the terms up).
        chain = np.concatenate((sums[run:run + 1], values[starts[run] + step:ends[run]]))
        sums[run] = np.add.accumulate(chain, dtype=values.dtype)[-1]
    result: np.ndarray = sums
    return result


def positive_zeros(values: np.ndarray) -> np.ndarray:
    """`values` with every stored -0.0 read as +0.0 (a copy only when one is)."""
    if values.dtype.kind != "f" or values.size == 0:
        return values
    signed = values.view(np.int64 if values.dtype.itemsize == 8 else np.int32)
    if int(signed.min()) >= 0 or not np.any((values == 0) & np.signbit(values)):
        return values
    result: np.ndarray = values + values.dtype.type(0)
    return result


def compress(major: np.ndarray, minor: np.ndarray, data: np.ndarray, slices: int,
             limit: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Entries at (major, minor) in any order, to slices along `major` with
    ascending indices and duplicates added in storage order."""
    n = major.shape[0]
    if n > 1:
        step_up = major[1:] > major[:-1]
        ordered = bool(np.all(step_up | ((major[1:] == major[:-1]) & (minor[1:] > minor[:-1]))))
        del step_up
        if not ordered:
            order = np.lexsort((minor, major))  # stable: duplicates keep storage order
            major, minor, data = major[order], minor[order], data[order]
            del order
            fresh = np.empty(n, dtype=bool)
            fresh[0] = True
            np.not_equal(major[1:], major[:-1], out=fresh[1:])
            fresh[1:] |= minor[1:] != minor[:-1]
            starts = np.flatnonzero(fresh)
            del fresh
            if starts.shape[0] < n:
                data = run_sums(data, starts)
                major, minor = major[starts], minor[starts]
    indptr = np.zeros(slices + 1, dtype=np.int64)
    if n:
        np.cumsum(np.bincount(major, minlength=slices), out=indptr[1:])
    index_type = np.int32 if limit <= _INT32_LIMIT else np.int64
    return indptr, np.ascontiguousarray(minor, dtype=index_type), np.ascontiguousarray(data)


def from_coordinates(row: Any, col: Any, data: Any, shape: tuple[int, int], words_axis: int,
                     fmt: str, assigned: bool = False) -> Compressed:
    """Entries at (row, col); `assigned` where toarray() assigns each cell
    its stored value (LIL) instead of adding it to zero."""
    rows = integers(row, fmt, "row")
    cols = integers(col, fmt, "col")
    values = stored_values(data, fmt)
    if not rows.shape[0] == cols.shape[0] == values.shape[0]:
        raise malformed(fmt, f"row, col and data have different lengths ({rows.shape[0]}, "
                             f"{cols.shape[0]}, {values.shape[0]})")
    check_range(rows, shape[0], fmt, "row")
    check_range(cols, shape[1], fmt, "col")
    words, parts = shape[words_axis], shape[1 - words_axis]
    major, minor = (rows, cols) if words_axis == 0 else (cols, rows)
    indptr, indices, stored = compress(major, minor, values, words, parts)
    if assigned:
        return Compressed(indptr, indices, np.ascontiguousarray(native_values(stored, "counts")),
                          words, parts, True)
    return Compressed(indptr, indices, readable(stored), words, parts, True)


def from_slices(indptr: Any, indices: Any, data: Any, shape: tuple[int, int], by_rows: bool,
                words_axis: int, fmt: str) -> Compressed:
    """CSR (`by_rows`) or CSC arrays, read in place where already canonical."""
    pointers = integers(indptr, fmt, "indptr")
    index = integers(indices, fmt, "indices")
    values = stored_values(data, fmt)
    slices, limit = (shape[0], shape[1]) if by_rows else (shape[1], shape[0])
    entries = check_pointers(pointers, slices, min(index.shape[0], values.shape[0]), fmt)
    index, values = index[:entries], values[:entries]
    check_range(index, limit, fmt, "indices")
    if not sorted_within_slices(pointers, index):
        major = np.repeat(np.arange(slices, dtype=np.int64), np.diff(pointers))
        pointers, index, values = compress(major, index, values, slices, limit)
    words, parts = shape[words_axis], shape[1 - words_axis]
    return Compressed(pointers, index, readable(values), words, parts,
                      by_rows == (words_axis == 0))


def from_blocks(matrix: Any, shape: tuple[int, int], words_axis: int) -> Compressed:
    """BSR: blocks of R x C values in block rows, expanded to entries."""
    size = getattr(matrix, "blocksize", None)
    values = np.asarray(matrix.data)
    if (not isinstance(size, tuple) or len(size) != 2 or values.ndim != 3
            or values.shape[1:] != size or min(size) < 1
            or shape[0] % size[0] or shape[1] % size[1]):
        raise malformed("bsr", f"blocks of {size} do not tile shape {shape} (data "
                               f"{values.shape})")
    r, c = int(size[0]), int(size[1])
    pointers = integers(matrix.indptr, "bsr", "indptr")
    index = integers(matrix.indices, "bsr", "indices")
    blocks = check_pointers(pointers, shape[0] // r, min(index.shape[0], values.shape[0]), "bsr")
    index = index[:blocks]
    check_range(index, shape[1] // c, "bsr", "indices")
    block_row = np.repeat(np.arange(shape[0] // r, dtype=np.int64), np.diff(pointers))
    rows = (block_row[:, None, None] * r + np.arange(r)[None, :, None]
            + np.zeros(c, dtype=np.int64)[None, None, :])
    cols = (index[:, None, None] * c + np.zeros((r, 1), dtype=np.int64)[None]
            + np.arange(c)[None, None, :])
    return from_coordinates(rows.ravel(), cols.ravel(), values[:blocks].reshape(-1), shape,
                            words_axis, "bsr")


def from_diagonals(matrix: Any, shape: tuple[int, int], words_axis: int) -> Compressed:
    """DIA: row k of data holds diagonal offsets[k] at its columns; stored
    zeros, which include the padding, are left out as toarray() leaves them."""
    offsets = integers(matrix.offsets, "dia", "offsets")
    values = np.asarray(matrix.data)
    if values.ndim != 2 or values.shape[0] != offsets.shape[0]:
        raise malformed("dia", f"data of shape {values.shape} for {offsets.shape[0]} offsets")
    width = min(values.shape[1], shape[1])
    cols = np.broadcast_to(np.arange(width, dtype=np.int64), (offsets.shape[0], width))
    rows = cols - offsets[:, None]
    cells = values[:, :width]
    keep = (rows >= 0) & (rows < shape[0]) & (cells != 0)
    return from_coordinates(rows[keep], cols[keep], cells[keep], shape, words_axis, "dia")


def from_lists(matrix: Any, shape: tuple[int, int], words_axis: int) -> Compressed:
    """LIL: per row, a list of strictly ascending column indices and one of
    values; toarray() assigns each cell, so a stored -0.0 stays -0.0."""
    rows_lists, data_lists = matrix.rows, matrix.data
    if len(rows_lists) != shape[0] or len(data_lists) != shape[0]:
        raise malformed("lil", f"{len(rows_lists)} index lists and {len(data_lists)} value "
                               f"lists for {shape[0]} rows")
    for i, (columns, values) in enumerate(zip(rows_lists, data_lists)):
        if len(columns) != len(values):
            raise malformed("lil", f"row {i} has {len(columns)} indices and {len(values)} values")
    indptr = np.zeros(shape[0] + 1, dtype=np.int64)
    np.cumsum([len(r) for r in rows_lists], out=indptr[1:])
    cols = integers(np.array([c for r in rows_lists for c in r]) if indptr[-1]
                    else np.zeros(0, np.int64), "lil", "rows")
    check_range(cols, shape[1], "lil", "column")
    if not sorted_within_slices(indptr, cols):
        raise malformed("lil", "a row's column indices are not strictly ascending")
    data = np.array([v for r in data_lists for v in r], dtype=getattr(matrix, "dtype", None))
    rows = np.repeat(np.arange(shape[0], dtype=np.int64), np.diff(indptr))
    return from_coordinates(rows, cols, data, shape, words_axis, "lil", assigned=True)


def from_keys(matrix: Any, shape: tuple[int, int], words_axis: int) -> Compressed:
    """DOK: a dict of (row, column) -> value."""
    items = list(matrix.items())
    for key, _ in items:
        if not (isinstance(key, tuple) and len(key) == 2):
            raise malformed("dok", f"key {key!r} is not a (row, column) pair")
    rows = np.array([k[0] for k, _ in items])
    cols = np.array([k[1] for k, _ in items])
    data = np.array([v for _, v in items], dtype=getattr(matrix, "dtype", None))
    if not items:
        rows = cols = np.zeros(0, dtype=np.int64)
    return from_coordinates(rows, cols, data, shape, words_axis, "dok")


def from_scipy(matrix: Any, words_axis: int) -> Compressed:
    fmt = str(getattr(matrix, "format", ""))
    shape = matrix_shape(matrix, fmt)
    if fmt in ("csr", "csc"):
        return from_slices(matrix.indptr, matrix.indices, matrix.data, shape, fmt == "csr",
                           words_axis, fmt)
    if fmt == "coo":
        coords = getattr(matrix, "coords", None)
        row, col = (coords[0], coords[1]) if coords is not None and len(coords) == 2 \
            else (matrix.row, matrix.col)
        return from_coordinates(row, col, matrix.data, shape, words_axis, fmt)
    readers = {"bsr": from_blocks, "dia": from_diagonals, "lil": from_lists, "dok": from_keys}
    if fmt in readers:
        return readers[fmt](matrix, shape, words_axis)
    # Another library's sparse type: its own conversion, then the same checks.
    converted = matrix.tocoo() if hasattr(matrix, "tocoo") else matrix.tocsr()
    if str(getattr(converted, "format", "")) not in ("coo", "csr"):
        raise TypeError(f"counts of sparse format {fmt!r} could not be read")
    return from_scipy(converted, words_axis)


def from_sparse_columns(frame: Any, words_axis: int) -> Compressed | None:
    """A DataFrame whose columns are all pandas SparseArrays, one slice per
    column. A fill value other than zero is refused where it fills a cell;
    None where -0.0 does, whose cells only a dense read keeps."""
    indices: list[np.ndarray] = []
    values: list[np.ndarray] = []
    rows = int(frame.shape[0])
    for name, series in frame.items():
        column = series.array
        stored = np.asarray(column.sp_values)
        where = np.asarray(column.sp_index.indices)
        fill = column.fill_value
        if where.shape[0] < rows and not fill == 0:
            raise ValueError(f"DataFrame column {name!r} is sparse with fill value {fill!r}, "
                             f"which fills {rows - where.shape[0]} of its {rows} cells; only "
                             f"a fill value of 0 can stand for absent counts")
        if where.shape[0] < rows and np.signbit(fill):
            return None
        indices.append(where)
        values.append(stored)
    dtype = np.result_type(*values) if values else np.dtype(np.float64)
    indptr = np.zeros(len(indices) + 1, dtype=np.int64)
    np.cumsum([piece.shape[0] for piece in indices], out=indptr[1:])
    joined = np.concatenate(indices) if indices else np.zeros(0, np.int64)
    data = np.concatenate(values).astype(dtype, copy=False) if values else np.zeros(0)
    return from_slices(indptr, joined, data, (rows, int(frame.shape[1])), False, words_axis,
                       "DataFrame")
