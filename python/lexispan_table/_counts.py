"""Word counts by part, held sparse, and the counters that make them from texts
or files: a vocabulary and, per part, the ids and counts of the words found
there, so memory follows the (word, part) pairs that occur, not words x
parts."""

from __future__ import annotations

import array
import collections
import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from . import _native
from ._files import Pieces, file_parts, list_folder
from ._inputs import CountInput, from_compressed
from ._progress import progress_callback
from ._tokens import WORD_PATTERN, make_counter, make_tokenizer


@dataclass(eq=False)
class SparseCounts:
    """Counts of every word in every part, words x parts in compressed sparse
    row form, with the words, the part names and the part sizes.

    `dispersion` and `dispersion_arrays` take it as it is (no SciPy needed):
    its words label the rows of the table and its part sizes are the
    default ones. ``to_scipy()`` gives the same counts as a
    ``scipy.sparse.csr_array``.

    Parameters
    ----------
    words : list of str
        The words, in the order they were first met.
    part_names : list of str
        One name per part.
    indptr, indices, data : numpy.ndarray
        Word w's counts are ``data[indptr[w]:indptr[w + 1]]``, in the parts
        ``indices[indptr[w]:indptr[w + 1]]`` (ascending); int64, int32 and
        float64. Parts where a word does not occur hold nothing.
    part_sizes : numpy.ndarray or None
        Each part's size in words (float64), or None when unknown.
    token_ids : numpy.ndarray or None
        With ``positions=True``: every token of the corpus as its word's
        row, the parts read one after another (int32).
    part_starts : numpy.ndarray or None
        With ``positions=True``: where each part starts in `token_ids` (int64).

    Examples
    --------
    >>> from lexispan_table import count_texts
    >>> counts = count_texts({"a": "to be or not to be", "b": "to do"})
    >>> counts.words, counts.indptr.tolist(), counts.indices.tolist()
    (['to', 'be', 'or', 'not', 'do'], [0, 2, 3, 4, 5, 6], [0, 1, 0, 0, 0, 1])
    >>> counts.data.tolist(), counts.part_sizes.tolist()
    ([2.0, 1.0, 2.0, 1.0, 1.0, 1.0], [6.0, 2.0])
    """

    words: list[str]
    part_names: list[str]
    indptr: np.ndarray
    indices: np.ndarray
    data: np.ndarray
    part_sizes: np.ndarray | None = None
    token_ids: np.ndarray | None = None
    part_starts: np.ndarray | None = None

    @property
    def shape(self) -> tuple[int, int]:
        """(words, parts)."""
        return len(self.words), len(self.part_names)

    @property
    def nnz(self) -> int:
        """The number of (word, part) pairs stored."""
        return int(self.indptr[-1])

    def __repr__(self) -> str:
        return (f"SparseCounts({len(self.words):,} words x {len(self.part_names):,} parts, "
                f"{self.nnz:,} stored counts)")

    def to_scipy(self) -> Any:
        """The counts as a ``scipy.sparse.csr_array`` (words x parts),
        sharing these arrays."""
        try:
            import scipy.sparse as sparse  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            raise ImportError("SparseCounts.to_scipy needs SciPy: pip install "
                              "'lexispan[table]'") from None
        return sparse.csr_array((self.data, self.indices, self.indptr), shape=self.shape)

    def positions(self) -> dict[str, np.ndarray]:
        """{word: ascending 0-based token positions} over the parts read one
        after another, as `position_dispersion` takes them (counted with
        ``positions=True``)."""
        if self.token_ids is None:
            raise ValueError("these counts hold no token positions: count with positions=True")
        order = np.argsort(self.token_ids, kind="stable").astype(np.int64, copy=False)
        counts = np.bincount(self.token_ids, minlength=len(self.words))
        return dict(zip(self.words, np.split(order, np.cumsum(counts)[:-1])))

    def engine_input(self) -> CountInput:
        """The counts as the engine reads them, in place."""
        return from_compressed(self.indptr, self.indices, self.data, len(self.words),
                               len(self.part_names))


class PartBuilder:
    """Accumulates parts one at a time into a vocabulary and appended arrays,
    then compresses them by words."""

    def __init__(self) -> None:
        # Words are numbered as they are first met, by a native table that
        # looks up a part's words together (a dict waits on each cache miss).
        self.words: list[str] = []
        self._table = _native.word_table()
        # A reader that numbers its words itself sets them here instead.
        self.vocabulary: dict[str, int] | None = None
        self.part_names: list[str] = []
        self._ids = array.array("i")
        self._counts = array.array("d")
        self._ends = array.array("q")

    def ids_of(self, words: list[str]) -> bytes:
        """The ids of `words` (int32, native order), new words numbered next."""
        return bytes(_native.word_ids(self._table, words, self.words))

    def add_part(self, name: str, counts: Mapping[str, float]) -> None:
        """A part's counts by word; its size is their sum (taken by matrix())."""
        self._ids.frombytes(self.ids_of(list(counts)))
        self._counts.extend(counts.values())
        self._ends.append(len(self._ids))
        self.part_names.append(name)

    def add_entries(self, name: str, ids: Iterable[int], counts: Iterable[float]) -> None:
        """A part given as ids (of self.vocabulary) and counts."""
        self._ids.extend(ids)
        self._counts.extend(counts)
        self._ends.append(len(self._ids))
        self.part_names.append(name)

    def matrix(self, sizes: Sequence[float] | None = None) -> SparseCounts:
        """Compresses by words (first-seen order), each word's entries in part
        order, in one native counting pass. The part sizes are `sizes`, else
        each part's counts summed in order."""
        words = list(self.words if self.vocabulary is None else self.vocabulary)
        word_ids = np.frombuffer(self._ids, dtype=np.int32)
        counts = np.frombuffer(self._counts, dtype=np.float64)
        ends = np.frombuffer(self._ends, dtype=np.int64)
        if sizes is None:
            parts = np.repeat(np.arange(len(ends), dtype=np.int32), np.diff(ends, prepend=0))
            summed = np.bincount(parts, weights=counts, minlength=len(ends))
            del parts
        else:
            summed = np.asarray(sizes, dtype=np.float64)
        indptr = np.empty(len(words) + 1, dtype=np.int64)
        indices = np.empty(word_ids.size, dtype=np.int32)
        data = np.empty(word_ids.size, dtype=np.float64)
        _native.compress_by_words(ends, word_ids, counts, len(words), indptr, indices, data)
        self._ids = array.array("i")
        self._counts = array.array("d")
        return SparseCounts(words, list(self.part_names), indptr, indices, data,
                            np.asarray(summed, dtype=np.float64))


Parts = Callable[[Callable[[Pieces], Any]], Iterable[tuple[str, Any]]]


def count_parts(parts: Parts, total: int, keep_case: bool, token_pattern: str | None,
                positions: bool, progress: bool, unit: str) -> SparseCounts:
    """Counts parts one at a time, with a progress bar over `total` of them
    (0: none). parts(reduce) gives (name, reduce(the part's pieces of
    text)) pairs; the pieces may be cut at white space only under the
    default word rule, whose words never cross it."""
    pattern = WORD_PATTERN if token_pattern is None else token_pattern
    builder = PartBuilder()
    ids = array.array("i") if positions else None
    starts = array.array("q")
    counter = make_counter(pattern, keep_case)
    tokenize = make_tokenizer(pattern, keep_case)

    def counted(pieces: Pieces) -> collections.Counter[str]:
        found: collections.Counter[str] = counter(next(pieces, ""))
        for piece in pieces:
            found.update(counter(piece))
        return found

    def tokens(pieces: Pieces) -> list[str]:
        return [token for piece in pieces for token in tokenize(piece)]

    with progress_callback(total, progress, "reading", unit) as report:
        if ids is None:
            for done, (name, found) in enumerate(parts(counted), 1):
                builder.add_part(name, found)
                if report is not None:
                    report(done)
        else:
            for done, (name, found_tokens) in enumerate(parts(tokens), 1):
                builder.add_part(name, collections.Counter(found_tokens))
                starts.append(len(ids))
                ids.frombytes(builder.ids_of(found_tokens))
                del found_tokens
                if report is not None:
                    report(done)
    matrix = builder.matrix()
    if ids is not None:
        matrix.token_ids = np.frombuffer(ids, dtype=np.int32)
        matrix.part_starts = np.frombuffer(starts, dtype=np.int64)
    return matrix


def _named_texts(texts: Any) -> Iterable[tuple[str, str]]:
    if isinstance(texts, Mapping):
        yield from ((str(name), text) for name, text in texts.items())
        return
    for number, item in enumerate(texts):
        name, text = (str(number), item) if isinstance(item, str) else item
        if not isinstance(text, str):
            raise TypeError(f"text {name!r} must be a str, not {type(text).__name__}")
        yield str(name), text


def count_texts(texts: Iterable[str] | Iterable[tuple[str, str]] | Mapping[str, str], *,
                keep_case: bool = False, token_pattern: str | None = None,
                positions: bool = False, progress: bool = False) -> SparseCounts:
    """Counts the words of texts, one part per text, by the word rule of
    `tokenize`.

    Parameters
    ----------
    texts : iterable of str, iterable of (name, str) pairs, or mapping
        The parts, read one at a time (a generator is never held whole).
        Plain strings are named by their position ("0", "1", ...); a
        mapping names each text by its key.
    keep_case, token_pattern
        As for `tokenize`.
    positions : bool, default False
        Also keep every token's word, in order (``token_ids``), for the
        distance-based measures (``counts.positions()``).
    progress : bool, default False
        Show a progress bar over the texts (only when their number is
        known, as for a list or a mapping).

    Returns
    -------
    SparseCounts
        Words in order of first occurrence; each part's size is its number
        of words.

    Examples
    --------
    >>> from lexispan_table import count_texts, dispersion_arrays
    >>> counts = count_texts({"a": "The cat sat.", "b": "The dog, the cat."})
    >>> counts
    SparseCounts(4 words x 2 parts, 6 stored counts)
    >>> counts.words, counts.part_names, counts.part_sizes.tolist()
    (['the', 'cat', 'sat', 'dog'], ['a', 'b'], [3.0, 4.0])
    >>> table = dispersion_arrays(counts, measures=["frequency", "range"])
    >>> table["frequency"].tolist(), table["range"].tolist()
    ([3.0, 2.0, 1.0, 1.0], [2, 2, 1, 1])
    """
    if isinstance(texts, (str, bytes)):
        raise TypeError("texts must be an iterable of texts, not a single string")
    total = len(texts) if isinstance(texts, Sequence | Mapping) else 0
    def parts(reduce: Callable[[Pieces], Any]) -> Iterator[tuple[str, Any]]:
        for name, text in _named_texts(texts):
            yield name, reduce(iter((text,)))

    return count_parts(parts, total, keep_case, token_pattern, positions, bool(progress),
                       " texts")


def count_files(source: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
                glob: str = "*.txt", exclude: Sequence[str] = (), encoding: str = "utf-8",
                errors: str = "raise", keep_case: bool = False,
                token_pattern: str | None = None, positions: bool = False,
                progress: bool = False) -> SparseCounts:
    """Counts the words of text files, one part per file, reading one file at
    a time (as the ``lexispan`` command reads a folder).

    Parameters
    ----------
    source : path or iterable of paths
        A folder, whose files matching `glob` and none of `exclude` are the
        parts in name order (names starting with "." left out), each named
        by its path in the folder; or the files themselves, in the order
        given, named as given.
    glob : str, optional
        Which files of a folder are parts (default ``"*.txt"``);
        ``"**/*.txt"`` recurses.
    exclude : sequence of str
        Leave out the files whose path in the folder matches one of these,
        from the right (``"*.bak"``, ``"drafts/*"``).
    encoding : str, default "utf-8"
        A UTF-8 file's leading byte-order mark is dropped, and a file that
        starts with a UTF-16 or UTF-32 one is read in that encoding.
    errors : {"raise", "skip"}
        A file that cannot be read or decoded raises `TextFileError`, or is
        left out with a `SkippedFileWarning`. A file reached again through
        a link is counted once, with a `RepeatedFileWarning`.
    keep_case, token_pattern, positions, progress
        As for `count_texts` (the progress bar counts files).

    Returns
    -------
    SparseCounts

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from lexispan_table import count_files
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "one.txt").write_text("Well-known words, well known.")
    >>> _ = (folder / "two.txt").write_text("Known words.")
    >>> counts = count_files(folder)
    >>> counts.words, counts.part_names
    (['well-known', 'words', 'well', 'known'], ['one.txt', 'two.txt'])
    >>> counts.to_scipy().toarray().tolist()
    [[1.0, 0.0], [1.0, 1.0], [1.0, 0.0], [1.0, 1.0]]
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    shown: Path | None = None
    if isinstance(source, (str, bytes, os.PathLike)):
        shown = Path(os.fsdecode(source))
        files = list_folder(shown, glob, tuple(exclude))
    else:
        files = [(os.fsdecode(path), Path(os.fsdecode(path))) for path in source]
    cut = token_pattern in (None, WORD_PATTERN)

    def parts(reduce: Callable[[Pieces], Any]) -> Iterator[tuple[str, Any]]:
        return file_parts(files, reduce, cut, encoding, errors == "skip", shown)

    return count_parts(parts, len(files), keep_case, token_pattern, positions, bool(progress),
                       " files")
