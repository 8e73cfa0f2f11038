"""From INPUT to counts: picks the reader (folder, text stream or table), counts
texts one at a time with lexispan_table's counter, and settles the part sizes,
empty parts and total."""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from lexispan_table import RepeatedFileWarning, SkippedFileWarning, TextFileError, count_files
from lexispan_table._counts import count_parts
from lexispan_table._engine import ordered_sum
from lexispan_table._tokens import WORD_PATTERN

from lexispan_cli.counts import CountMatrix, column_sums, drop_parts
from lexispan_cli.errors import InputError, note, warn
from lexispan_cli.tables import display, read_table
from lexispan_cli.texts import STDIN, input_error, line_parts


@dataclass
class Corpus:
    # With positions asked for, matrix.token_ids holds the corpus's tokens as
    # word ids in reading order (parts concatenated).
    matrix: CountMatrix
    sizes: np.ndarray
    total: float


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


def read(source: Path, options: ReadOptions, total: float | None) -> Corpus:
    inferred = False
    if is_text_input(source, options):
        matrix = _count_texts(source, options)
    else:
        matrix = read_table(source, options.table_format, long=options.long,
                            sizes_row=options.sizes_row, encoding=options.encoding,
                            vocabulary=options.vocabulary)
        if matrix.part_sizes is None:
            inferred = True
            matrix.part_sizes = column_sums(matrix)
    matrix = _empty_parts(matrix, options.drop_empty)
    assert matrix.part_sizes is not None
    value = ordered_sum(matrix.part_sizes)
    if not value > 0:
        if is_text_input(source, options):
            raise InputError(display(source), f"no words in any of the "
                                              f"{len(matrix.part_names)} "
                                              f"{'files' if source.is_dir() else 'lines'}")
        raise InputError(display(source), "the part sizes add up to 0")
    if inferred:
        note(f"{display(source)}: the part sizes are the column sums "
             f"(the table has no {options.sizes_row!r} row)")
    return Corpus(matrix, matrix.part_sizes, value if total is None else total)


def _show(message: Any, category: type[Warning], *_: Any, **__: Any) -> None:
    """The counter's warnings as the command's own lines."""
    if issubclass(category, RepeatedFileWarning):
        note(str(message))
    else:
        warn(str(message))


def _count_texts(source: Path, options: ReadOptions) -> CountMatrix:
    folder = str(source) != STDIN and source.is_dir()
    if not folder and str(source) != STDIN and not source.exists():
        raise InputError(source, "no such file or directory")
    rule: dict[str, Any] = dict(keep_case=options.keep_case,
                                token_pattern=options.token_pattern or None,
                                positions=options.positions, progress=options.progress)
    with warnings.catch_warnings():
        for category in (SkippedFileWarning, RepeatedFileWarning):
            warnings.simplefilter("always", category)
        warnings.showwarning = _show
        try:
            if folder:
                matrix = count_files(source, glob=options.pattern, exclude=options.exclude,
                                     encoding=options.encoding,
                                     errors="skip" if options.skip_errors else "raise", **rule)
            else:
                # A long line is counted in pieces cut at white space under the
                # default word rule, whose words never cross it.
                cut = options.token_pattern in ("", WORD_PATTERN)
                matrix = count_parts(
                    lambda reduce: line_parts(source, options.encoding, reduce, cut), 0,
                    options.keep_case, options.token_pattern or None, options.positions,
                    options.progress, " lines")
        except TextFileError as exc:
            raise input_error(exc) from None
    if not matrix.part_names:
        raise InputError(display(source), "no file could be read" if folder else "no text")
    return matrix


def _empty_parts(matrix: CountMatrix, drop: bool) -> CountMatrix:
    """A part without any word still counts in n (D, DA, PT...): name it, or leave it out."""
    assert matrix.part_sizes is not None
    occupied = np.bincount(matrix.indices, minlength=len(matrix.part_names)) > 0
    empty = ~occupied & (matrix.part_sizes == 0)
    if not empty.any() or empty.all():
        return matrix  # with every part empty, the no-words error follows
    if not drop:
        for name in (n for n, e in zip(matrix.part_names, empty.tolist()) if e):
            warn(f"{name}: an empty part (no words); it still counts as a part, "
                 f"--drop-empty leaves it out")
        return matrix
    return drop_parts(matrix, ~empty)
