"""What the entry points share, and the one private surface the command uses:
the option checks, the default part sizes and total, the native evaluation
call, the pandas import and the word labels."""

from __future__ import annotations

import numbers
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _native
from ._inputs import CountInput, check_words_axis, from_compressed, part_sizes_array, total_value
from ._measures import DEFAULT_MEASURE_NAMES, INTEGER_MEASURES, select
from ._progress import progress_callback
from ._values import screen_counts, screen_sizes

__all__ = ["CountInput", "DEFAULT_LEVEL", "add_part_sums", "check_level", "check_threads",
           "checked_options", "column_dtype", "default_part_sizes", "default_threads", "evaluate",
           "format_rows", "from_compressed", "is_dask_array", "ordered_sum", "pandas",
           "progress_callback", "resolve_sizes", "word_labels"]

_DA_METHODS = ("pairwise", "sorted")

# The confidence level of D_MB's interval (dmb_low, dmb_high) by default.
DEFAULT_LEVEL = 0.95


def default_threads() -> int:
    """The pool's worker count (the first call starts the pool)."""
    return int(_native.default_threads())


def check_threads(threads: object) -> int:
    if threads is None:
        return default_threads()
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be a positive integer or None, not "
                        f"{type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return int(threads)


def _check_da(da: object) -> str:
    if not isinstance(da, str) or da not in _DA_METHODS:
        raise ValueError(f"da must be 'pairwise' or 'sorted', not {da!r}")
    return da


def check_level(level: object) -> float:
    """A confidence level: a real number strictly between 0 and 1."""
    if isinstance(level, bool) or not isinstance(level, numbers.Real):
        raise TypeError(f"level must be a number between 0 and 1, not {type(level).__name__}")
    value = float(level)
    if not 0.0 < value < 1.0:  # NaN fails too
        raise ValueError(f"level must lie strictly between 0 and 1, not {level!r}")
    return value


def checked_options(words_axis: object, measures: object, da: object, threads: object,
                    level: object = DEFAULT_LEVEL) -> tuple[int, tuple[str, ...], str, float]:
    """The words axis, the measure names, the DA method and the level of a
    call, checked together with `threads` before any input is read. The
    default worker count is left to the in-memory path, which alone uses the
    pool."""
    axis = check_words_axis(words_axis)
    names = select(measures, default=DEFAULT_MEASURE_NAMES)
    method = _check_da(da)
    if threads is not None:
        check_threads(threads)
    return axis, names, method, check_level(level)


def ordered_sum(values: np.ndarray) -> float:
    """The sum in index order from +0.0, as the total of the part sizes is taken."""
    return float(_native.ordered_sum(values))


def add_part_sums(counts: CountInput, sums: np.ndarray) -> None:
    """Adds each part's counts to `sums`, the words in order."""
    if counts.words:
        _native.part_sums(counts.layout, sums)


def default_part_sizes(counts: CountInput) -> np.ndarray:
    """Each part's size as the sum of its counts over the words, in word order."""
    sums = np.zeros(counts.parts, dtype=np.float64)
    add_part_sums(counts, sums)
    return sums


def resolve_sizes(counts: CountInput, part_sizes: object, total: object, check: bool = False,
                  labels: Any = None) -> tuple[np.ndarray, float]:
    """The part sizes and total of a call (by default the column sums and
    their ordered sum). With `check`, the counts are screened first, then
    the sizes and total (not without words or parts: nothing is computed
    from them, and the engine names an empty matrix itself)."""
    if check:
        screen_counts(counts.layout, counts.labels if labels is None else labels)
    sizes = (default_part_sizes(counts) if part_sizes is None
             else part_sizes_array(part_sizes, counts.parts))
    value = ordered_sum(sizes) if total is None else total_value(total)
    if check and counts.words and counts.parts:
        screen_sizes(sizes, value, part_sizes is not None, total is not None)
    return sizes, value


def column_dtype(name: str) -> np.dtype[Any]:
    return np.dtype(np.int32 if name in INTEGER_MEASURES else np.float64)


def evaluate(counts: CountInput, sizes: np.ndarray, total: float, names: Sequence[str],
             da: str, threads: int, progress: bool, level: float = DEFAULT_LEVEL
             ) -> dict[str, np.ndarray]:
    """Fills one array per name for the words of `counts` (`level`: D_MB's
    interval)."""
    columns = {name: np.empty(counts.words, dtype=column_dtype(name)) for name in names}
    if counts.words == 0:
        return columns
    with progress_callback(counts.words, progress) as report:
        _native.evaluate(counts.layout, sizes, total, tuple(names), tuple(columns.values()),
                         da, level, threads, report)
    return columns


def format_rows(words: list[str], columns: tuple[np.ndarray, ...], kinds: str, rows: np.ndarray,
                precision: int, delimiter: str, keys: tuple[str, ...] | None) -> str:
    """The text of `rows` of a table: each row's (already quoted) word and its
    cells, floats as repr or with `precision` significant digits; delimited
    lines, or JSON objects when `keys` (the word's and each column's) are given."""
    return str(_native.format_rows(words, columns, kinds, rows, precision, delimiter, keys))


def pandas(entry: str = "dispersion") -> Any:
    try:
        import pandas  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ImportError(
            f"lexispan_table.{entry} returns a pandas DataFrame and needs pandas: "
            f"pip install 'lexispan[table]' (or call {entry}_arrays for NumPy arrays)"
        ) from None
    return pandas


def word_labels(pd: Any, words: Any, count: int, parts: int | None = None,
                words_axis: int = 0) -> Any:
    """`words` as the index of a table of `count` words, one label per word;
    `parts`, when known, is the length of the other axis."""
    if isinstance(words, (str, bytes)):
        raise TypeError("words must be a sequence of labels, not a string")
    labels = words if hasattr(words, "__len__") else list(words)
    if len(labels) != count:
        hint = ""
        if len(labels) == parts:
            where = "columns: words_axis=1" if words_axis == 0 else "rows: words_axis=0"
            hint = f"; as many as the counts have parts, so the words may be the {where}"
        raise ValueError(f"words has {len(labels)} labels, expected {count} (one per "
                         f"word){hint}")
    return pd.Index(labels)


def is_dask_array(counts: object) -> bool:
    """Whether `counts` is a Dask array, recognised without importing Dask."""
    return type(counts).__module__.startswith("dask.") and hasattr(counts, "chunks")
