"""Reading text streams: a file or standard input with one part per line, and
the lines of a table, decoded a block at a time as they are read (a folder's
files are read by lexispan_table's counter). Every line is read in time
linear in its length; a long line of --text input reaches the counter as
pieces cut at white space (the default word rule only)."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import BinaryIO, TypeVar

from lexispan_table._files import Pieces, TextFileError, decoded_blocks, line_pieces

from lexispan_cli.errors import InputError

STDIN = "-"

_Result = TypeVar("_Result")


def input_error(exc: TextFileError) -> InputError:
    """A reader's error as the command's, with a hint where the text declares
    another encoding by its byte-order mark."""
    reason = exc.reason.replace("bad glob pattern", "bad --glob pattern")
    if exc.marked is not None:
        reason += f"; it starts with a {exc.marked.upper()} byte-order mark: " \
                  f"--encoding {exc.marked}"
    return InputError(exc.path, reason, exc.line)


def standard_input() -> BinaryIO:
    if sys.stdin is None:
        raise InputError("<stdin>", "cannot read: standard input is closed")
    return sys.stdin.buffer


def read_lines(stream: BinaryIO, name: str, encoding: str) -> Iterator[tuple[int, str]]:
    """Numbered decoded lines of a byte stream (line ends kept), in time and
    memory linear in each line; a decoding error names its line."""
    try:
        for number, pieces in line_pieces(decoded_blocks(stream, name, encoding), False):
            yield number, pieces[0]
    except TextFileError as exc:
        raise input_error(exc) from None


def line_parts(path: Path | str, encoding: str, reduce: Callable[[Pieces], _Result],
               cut: bool) -> Iterator[tuple[str, _Result]]:
    """(part name, reduce(its pieces)) for every non-blank line of a text file
    or of standard input: one document per line, the form many corpus tools
    write."""
    name = "<stdin>" if str(path) == STDIN else str(path)
    if str(path) == STDIN:
        yield from _lines_as_parts(standard_input(), name, encoding, reduce, cut)
        return
    try:
        stream = open(path, "rb")
    except OSError as exc:
        raise InputError(path, f"cannot read: {exc.strerror or exc}") from None
    with stream:
        yield from _lines_as_parts(stream, name, encoding, reduce, cut)


def _lines_as_parts(stream: BinaryIO, name: str, encoding: str,
                    reduce: Callable[[Pieces], _Result], cut: bool
                    ) -> Iterator[tuple[str, _Result]]:
    for number, pieces in line_pieces(decoded_blocks(stream, name, encoding), cut):
        if any(piece and not piece.isspace() for piece in pieces):
            yield f"line {number}", reduce(iter(pieces))
