"""Distance-based dispersion: each word's token positions in, ARF, AWT and ALD
with their adjusted frequencies out, computed by the native core."""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np

from . import _native
from ._engine import check_threads, pandas
from ._measures import POSITION_MEASURE_NAMES, select
from ._progress import progress_callback

_INT64_MAX = np.iinfo(np.int64).max


def positions_from_tokens(tokens: Iterable[str]) -> dict[str, np.ndarray]:
    """The 0-based positions of every type of a token stream.

    Parameters
    ----------
    tokens : iterable of str
        The corpus as one stream of tokens, in order: a list, a 1-D NumPy
        array or any iterable of strings (a tokenizer's output, the parts of a
        corpus one after another).

    Returns
    -------
    dict of str to numpy.ndarray
        {type: the positions where it occurs, ascending, as int64}, the types
        in order of first occurrence; what `position_dispersion` takes.

    Raises
    ------
    TypeError
        A single string instead of a sequence of tokens.
    ValueError
        A NumPy array that is not one-dimensional.

    See Also
    --------
    position_dispersion : ARF, AWT and ALD from these positions.

    Examples
    --------
    >>> import lexispan_table
    >>> tokens = "the cat saw the dog".split()
    >>> lexispan_table.positions_from_tokens(tokens)
    {'the': array([0, 3]), 'cat': array([1]), 'saw': array([2]), 'dog': array([4])}
    """
    if isinstance(tokens, (str, bytes)):
        raise TypeError("tokens must be a sequence of strings, not a single string")
    if isinstance(tokens, np.ndarray):
        if tokens.ndim != 1:
            raise ValueError(f"tokens must be one-dimensional, got {tokens.ndim} dimensions")
        items = tokens.tolist()
    else:
        items = tokens if type(tokens) is list else list(tokens)
    codes = np.empty(len(items), dtype=np.int64)
    types = _native.factorize(items, codes)
    order = np.empty(len(items), dtype=np.int64)
    offsets = np.empty(len(types) + 1, dtype=np.int64)
    _native.group_positions(codes, order, offsets)
    starts = offsets[:-1].tolist()
    ends = offsets[1:].tolist()
    return {word: order[start:end] for word, start, end in zip(types, starts, ends)}


def position_dispersion(positions: Any, corpus_length: int, *,
                        measures: Iterable[str] | None = None, threads: int | None = None,
                        progress: bool = False) -> Any:
    """Distance-based dispersion of every word from its token positions.

    ARF (average reduced frequency), AWT (average waiting time) and ALD
    (average logarithmic distance), with the frequencies adjusted by the last
    two, from the gaps between a word's successive occurrences, the corpus
    taken as a circle of N tokens; no division into parts is needed.

    Parameters
    ----------
    positions : mapping or sequence of arrays
        {word: its 0-based token positions, a 1-D integer array, strictly
        increasing}, as `positions_from_tokens` gives it (a pandas Series of
        arrays too), or a sequence of such arrays (the table then has a
        RangeIndex).
    corpus_length : int
        N, the corpus size in tokens; every position lies in [0, N).
    measures : sequence of str or "all", optional
        Names from ``POSITION_MEASURE_NAMES``, in the order wanted (default:
        all five).
    threads : int, optional
        Worker count (default: the pool's size).
    progress : bool, default False
        Draw a progress bar over the words on standard error.

    Returns
    -------
    pandas.DataFrame
        One row per word, indexed by the mapping's keys, and one float64
        column per measure.

    Raises
    ------
    ValueError
        A word's positions that are not strictly increasing or leave
        [0, corpus_length) (the message names the first such word and the
        index), `corpus_length` below 1, positions that are not
        one-dimensional, an unknown or repeated measure name.
    TypeError
        `positions` that is neither a mapping nor a sequence of arrays,
        positions that are not integers, a `corpus_length` that is not an
        integer.
    ImportError
        Without pandas (``pip install 'lexispan[table]'``).

    See Also
    --------
    positions_from_tokens : The positions of every type of a token stream.
    dispersion : Measures over a division of the corpus into parts.

    Notes
    -----
    With f positions p_1 < ... < p_f the cyclic gaps are d_1 = p_1 + N - p_f
    and d_i = p_i - p_(i-1). ARF and AWT are formed from exact integer sums
    of the gaps, so only their last steps round; ALD adds its terms in gap
    order. A word without positions gets 0 for ARF, f_AWT and f_ALD and +inf
    for AWT and ALD. Savicky & Hlavacova (2002), "Measures of word
    commonness", Journal of Quantitative Linguistics 9(3).

    Examples
    --------
    >>> import lexispan_table
    >>> tokens = "the cat saw the dog".split()
    >>> positions = lexispan_table.positions_from_tokens(tokens)
    >>> lexispan_table.position_dispersion(positions, len(tokens), measures=["arf", "awt"])
         arf  awt
    the  1.8  1.8
    cat  1.0  3.0
    saw  1.0  3.0
    dog  1.0  3.0
    """
    names = select(measures, POSITION_MEASURE_NAMES)
    workers = check_threads(threads)
    length = _check_length(corpus_length)
    pd = pandas()
    if isinstance(positions, Mapping) or _is_series(positions):
        items = list(positions.items())
        labels: list[Any] | None = [word for word, _ in items]
        arrays = [array for _, array in items]
    elif isinstance(positions, (str, bytes)) or not isinstance(positions, Iterable):
        raise TypeError(f"positions must be a mapping of word to positions or a sequence of "
                        f"position arrays, not {type(positions).__name__}")
    else:
        labels = None
        arrays = list(positions)
    word_arrays = _word_arrays(arrays, labels)
    words = len(word_arrays)
    columns = {name: np.empty(words, dtype=np.float64) for name in names}
    if words:
        with progress_callback(words, bool(progress)) as report:
            complaint = _native.position_dispersion(word_arrays, length, tuple(names),
                                                    tuple(columns.values()), workers, report)
        if complaint is not None:
            word, at, fault = complaint
            rule = ("are not strictly increasing" if fault == "unsorted"
                    else f"leave [0, corpus_length={length})")
            raise ValueError(f"positions of {_describe(word, labels)} {rule} "
                             f"(at index {at})")
    index = pd.Index(labels) if labels is not None else pd.RangeIndex(words)
    return pd.DataFrame(columns, index=index, copy=False)


def _is_series(positions: object) -> bool:
    # A pandas Series of arrays is labelled like a mapping (without importing pandas).
    return type(positions).__name__ == "Series" and hasattr(positions, "items")


def _check_length(corpus_length: object) -> int:
    if isinstance(corpus_length, bool) or not isinstance(corpus_length, numbers.Integral):
        raise TypeError(f"corpus_length must be an integer, not {type(corpus_length).__name__}")
    value = int(corpus_length)
    if not 1 <= value <= _INT64_MAX:
        raise ValueError(f"corpus_length must be between 1 and {_INT64_MAX}, not {value}")
    return value


def _describe(word: int, labels: list[Any] | None) -> str:
    return f"word {labels[word]!r}" if labels is not None else f"word {word}"


def _word_arrays(arrays: list[Any], labels: list[Any] | None) -> list[np.ndarray]:
    """Every word's positions as a 1-D C-contiguous int64 array, read in place
    by the core (no copy for arrays that already are, as positions_from_tokens
    gives them)."""
    words = []
    for w, item in enumerate(arrays):
        array = item
        if not (type(array) is np.ndarray and array.dtype == np.int64 and array.ndim == 1
                and array.flags.c_contiguous):
            array = _as_positions(item, w, labels)
        words.append(array)
    return words


def _as_positions(item: Any, word: int, labels: list[Any] | None) -> np.ndarray:
    if isinstance(item, (str, bytes)):
        raise TypeError(f"positions of {_describe(word, labels)} must be integers, not a string")
    array = np.asarray(item)
    if array.ndim != 1:
        raise ValueError(f"positions of {_describe(word, labels)} must be one-dimensional, "
                         f"got {array.ndim} dimensions")
    if array.size == 0:
        return np.empty(0, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"positions of {_describe(word, labels)} must be integers, "
                        f"not {array.dtype}")
    if array.dtype.kind == "u" and array.dtype.itemsize == 8 and array.max() > _INT64_MAX:
        index = int(np.argmax(array > _INT64_MAX))
        raise ValueError(f"positions of {_describe(word, labels)} leave [0, corpus_length) "
                         f"(at index {index})")
    return np.ascontiguousarray(array, dtype=np.int64)
