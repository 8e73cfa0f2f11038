"""What the numbers may be: the dtypes the engine reads, and the screening
that `check=True` does before a call (counts finite and not negative, part
sizes finite and not negative, the total finite and positive), naming the
first value that breaks the rule."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

SKIP_HINT = "check=False computes without this check"

# Bit patterns read as signed integers: every finite double (float) at or
# above zero lies in [0, that of +inf).
_INF_BITS = {8: (np.int64, 0x7FF0000000000000), 4: (np.int32, 0x7F800000)}


def native_values(array: np.ndarray, what: str) -> np.ndarray:
    """`array` with a dtype the engine reads (native-order integers, float32,
    float64), converted only when it has another one; bool reads as uint8."""
    dtype = array.dtype
    kind = dtype.kind
    if kind == "b":
        return array.view(np.uint8)
    if kind == "c":
        raise TypeError(f"{what} must be real numbers, not complex ({dtype})")
    if kind not in "iuf":
        raise TypeError(f"{what} must be numbers, not {dtype}")
    if not dtype.isnative:
        array = array.astype(dtype.newbyteorder("="))
        dtype = array.dtype
    if kind == "f" and dtype.itemsize not in (4, 8):
        # float16 widens exactly; long double rounds as float() rounds it.
        return array.astype(np.float32 if dtype.itemsize < 4 else np.float64)
    return array


def all_counts(values: np.ndarray) -> bool:
    """Whether every value is finite and at least zero: one or two reductions
    over the values (floats read as their bit patterns, where NaN, negative
    values and -0.0 all fall outside one integer range). -0.0 counts, but is
    sent to the slower exact test."""
    kind = values.dtype.kind
    if values.size == 0 or kind in "bu":
        return True
    if kind == "i":
        return int(values.min()) >= 0
    as_int, inf_bits = _INF_BITS[values.dtype.itemsize]
    pattern = values.view(as_int)
    if int(pattern.min()) >= 0 and int(pattern.max()) < inf_bits:
        return True
    return not np.any(_not_counts(values))


def _not_counts(values: np.ndarray) -> np.ndarray:
    return ~((values >= 0) & (values < math.inf))


def _shown(value: Any) -> str:
    return repr(float(value)) if isinstance(value, (float, np.floating)) else str(int(value))


def _word(w: int, labels: Any, first: int) -> str:
    if labels is not None:
        return f"word {labels[w]!r}"
    return f"word {first + w}"


def _first_bad_compressed(layout: tuple[Any, ...]) -> tuple[int, int, Any]:
    _, indptr, indices, data, _, _, by_words = layout
    entries = int(indptr[-1])
    bad = np.flatnonzero(_not_counts(data[:entries]))
    slices = np.searchsorted(indptr, bad, side="right") - 1
    others = indices[bad]
    words, parts = (slices, others) if by_words else (others, slices)
    at = int(np.lexsort((parts, words))[0])
    return int(words[at]), int(parts[at]), data[bad[at]]


def screen_counts(layout: tuple[Any, ...], labels: Any = None, first: int = 0,
                  first_part: int = 0) -> None:
    """Refuses counts that are not finite and at least zero, naming the first
    such cell in word order (by label when the words have labels, else by
    index counted from `first`; its part counted from `first_part`)."""
    if layout[0] == "dense":
        values, words_axis = layout[1], layout[2]
        if all_counts(values):
            return
        oriented = values if words_axis == 0 else values.T
        w, p = (int(i) for i in np.argwhere(_not_counts(oriented))[0])
        value = oriented[w, p]
    else:
        data = layout[3]
        if all_counts(data[:int(layout[1][-1])]):
            return
        w, p, value = _first_bad_compressed(layout)
    raise ValueError(f"counts must be finite and not negative: {_word(w, labels, first)} has "
                     f"{_shown(value)} in part {p + first_part} ({SKIP_HINT})")


def screen_sizes(sizes: np.ndarray, total: float, sizes_given: bool, total_given: bool
                 ) -> None:
    """Refuses part sizes that are not finite and at least zero (zero-size
    parts are allowed) and a total that is not finite and positive."""
    if not all_counts(sizes):
        p = int(np.flatnonzero(_not_counts(sizes))[0])
        source = "" if sizes_given else " (the sums of the counts over the words)"
        raise ValueError(f"part sizes must be finite and not negative: part {p} has "
                         f"{_shown(sizes[p])}{source} ({SKIP_HINT})")
    if not 0 < total < math.inf:
        source = "" if total_given else " (the sum of the part sizes)"
        raise ValueError(f"total must be finite and positive, not {total!r}{source} "
                         f"({SKIP_HINT})")
