"""From INPUT to counts: picks the reader (folder, text stream or table), counts
texts one at a time, and settles the part sizes, empty parts and total."""

from __future__ import annotations

import array
import collections
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TypeVar

import numpy as np

from lexispan_table._engine import ordered_sum, progress_callback

from lexispan_cli.counts import CountMatrix, PartBuilder
from lexispan_cli.errors import InputError, note, warn
from lexispan_cli.tables import display, read_table
from lexispan_cli.texts import STDIN, FolderParts, Pieces, line_parts
from lexispan_cli.tokens import WORD_PATTERN, make_counter, make_tokenizer

_Result = TypeVar("_Result")


@dataclass
class Corpus:
    matrix: CountMatrix
    sizes: np.ndarray
    total: float
    # Token ids of the whole corpus in reading order (parts concatenated),
    # kept only when positions are asked for.
    token_ids: np.ndarray | None = None
    part_starts: list[int] = field(default_factory=list)


@dataclass
class ReadOptions:
    pattern: str = "*.txt"
    exclude: tuple[str, ...] = ()
    encoding: str = "utf-8"
    skip_errors: bool = False
    token_pattern: str = ""
    keep_case: bool = False
    text: bool = False
    long: bool = False
    table_format: str | None = None
    sizes_row: str = "__size__"
    vocabulary: Path | None = None
    drop_empty: bool = False
    positions: bool = False
    progress: bool = False


def is_text_input(source: Path, options: ReadOptions) -> bool:
    return options.text or (str(source) != STDIN and source.is_dir())


def text_parts(source: Path, options: ReadOptions, reduce: Callable[[Pieces], _Result]
               ) -> tuple[Iterator[tuple[str, _Result]], int]:
    """(part name, reduce(its pieces of text)) pairs and the number of files
    (0 for a stream). Texts are cut into pieces only at white space, and only
    with the default word rule, whose words never cross it."""
    cut = options.token_pattern == WORD_PATTERN
    if str(source) != STDIN and source.is_dir():
        folder = FolderParts(source, options.pattern, options.exclude, options.encoding,
                             options.skip_errors)
        return folder.parts(reduce, cut), len(folder.list())
    if str(source) != STDIN and not source.exists():
        raise InputError(source, "no such file or directory")
    return line_parts(source, options.encoding, reduce, cut), 0


def read(source: Path, options: ReadOptions, total: float | None) -> Corpus:
    inferred = False
    if is_text_input(source, options):
        corpus = _count_texts(source, options)
    else:
        matrix = read_table(source, options.table_format, long=options.long,
                            sizes_row=options.sizes_row, encoding=options.encoding,
                            vocabulary=options.vocabulary)
        inferred = matrix.sizes is None
        if matrix.sizes is None:
            matrix.sizes = matrix.column_sums()
        corpus = Corpus(matrix, matrix.sizes, 0.0)
    _empty_parts(corpus, options.drop_empty)
    corpus.sizes = corpus.matrix.sizes if corpus.matrix.sizes is not None else corpus.sizes
    value = ordered_sum(corpus.sizes)
    if not value > 0:
        if is_text_input(source, options):
            raise InputError(display(source), f"no words in any of the "
                                              f"{len(corpus.matrix.part_names)} "
                                              f"{'files' if source.is_dir() else 'lines'}")
        raise InputError(display(source), "the part sizes add up to 0")
    if inferred:
        note(f"{display(source)}: the part sizes are the column sums "
             f"(the table has no {options.sizes_row!r} row)")
    corpus.total = value if total is None else total
    return corpus


def _count_texts(source: Path, options: ReadOptions) -> Corpus:
    builder = PartBuilder()
    ids = array.array("i") if options.positions else None
    starts: list[int] = []
    counter = make_counter(options.token_pattern, options.keep_case)
    tokenize = make_tokenizer(options.token_pattern, options.keep_case)

    def counted(pieces: Pieces) -> collections.Counter[str]:
        total: collections.Counter[str] = counter(next(pieces, ""))
        for piece in pieces:
            total.update(counter(piece))
        return total

    def tokens(pieces: Pieces) -> list[str]:
        return [token for piece in pieces for token in tokenize(piece)]

    if ids is None:
        counts, files = text_parts(source, options, counted)
        with progress_callback(files, options.progress, "files") as report:
            for done, (name, found) in enumerate(counts, 1):
                builder.add_part(name, found)
                if report is not None:
                    report(done)
    else:
        texts, files = text_parts(source, options, tokens)
        with progress_callback(files, options.progress, "files") as report:
            for done, (name, found_tokens) in enumerate(texts, 1):
                builder.add_part(name, collections.Counter(found_tokens))
                starts.append(len(ids))
                vocabulary = builder.vocabulary
                ids.extend([vocabulary[t] for t in found_tokens])
                del found_tokens
                if report is not None:
                    report(done)
    if not builder.part_names:
        raise InputError(display(source), "no file could be read" if files else "no text")
    matrix = builder.matrix()
    token_ids = None if ids is None else np.frombuffer(ids, dtype=np.int32)
    assert matrix.sizes is not None
    return Corpus(matrix, matrix.sizes, 0.0, token_ids, starts)


def _empty_parts(corpus: Corpus, drop: bool) -> None:
    """A part without any word still counts in n (D, DA, PT...): name it, or leave it out."""
    matrix = corpus.matrix
    assert matrix.sizes is not None
    occupied = np.bincount(matrix.indices, minlength=len(matrix.part_names)) > 0
    empty = ~occupied & (matrix.sizes == 0)
    if not empty.any() or empty.all():
        return  # with every part empty, the no-words error follows
    if not drop:
        for name in (n for n, e in zip(matrix.part_names, empty.tolist()) if e):
            warn(f"{name}: an empty part (no words); it still counts as a part, "
                 f"--drop-empty leaves it out")
        return
    if corpus.token_ids is not None:
        corpus.part_starts = [s for s, e in zip(corpus.part_starts, empty.tolist()) if not e]
    corpus.matrix = matrix.drop_parts(~empty)
