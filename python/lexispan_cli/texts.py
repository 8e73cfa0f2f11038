"""Reading text streams: a file or standard input with one part per line, and
the lines of a table, decoded as they are read. (A folder's files are read by
lexispan_table's counter.)"""

from __future__ import annotations

import codecs
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import BinaryIO

from lexispan_table._files import decode_failure, decoder_name, marked_encoding

from lexispan_cli.errors import InputError

STDIN = "-"


def _decode_error(path: Path | str, data: bytes, exc: UnicodeDecodeError, encoding: str,
                  first_line: int = 1) -> InputError:
    reason, line = decode_failure(data, exc, encoding, first_line)
    marked = marked_encoding(data) if first_line == 1 else None
    if marked is not None:
        reason += f"; it starts with a {marked.upper()} byte-order mark: --encoding {marked}"
    return InputError(path, reason, line)


def read_lines(stream: BinaryIO, name: str, encoding: str) -> Iterator[tuple[int, str]]:
    """Numbered decoded lines of a byte stream (line ends kept), read in
    blocks; a decoding error names its line."""
    decoder = codecs.getincrementaldecoder(decoder_name(encoding))()
    number = 1
    pending = ""
    while True:
        try:
            block = stream.read(1 << 20)
        except OSError as exc:
            raise InputError(name, f"cannot read: {exc.strerror or exc}") from None
        try:
            text = decoder.decode(block, final=not block)
        except UnicodeDecodeError as exc:
            # The decoder may hold bytes from the block before; exc.object has them too.
            raise _decode_error(name, bytes(exc.object), exc, encoding, number) from None
        pending += text
        lines = pending.split("\n")
        pending = lines.pop()
        for line in lines:
            yield number, line + "\n"
            number += 1
        if not block:
            break
    if pending:
        yield number, pending


def stream_lines(path: Path | str, encoding: str) -> Iterator[tuple[str, str]]:
    """(part name, text) for every non-blank line of a text file or of standard
    input: one document per line, the form many corpus tools write."""
    name = "<stdin>" if str(path) == STDIN else str(path)
    if str(path) == STDIN:
        yield from _lines_as_parts(sys.stdin.buffer, name, encoding)
        return
    try:
        stream = open(path, "rb")
    except OSError as exc:
        raise InputError(path, f"cannot read: {exc.strerror or exc}") from None
    with stream:
        yield from _lines_as_parts(stream, name, encoding)


def _lines_as_parts(stream: BinaryIO, name: str, encoding: str) -> Iterator[tuple[str, str]]:
    for number, line in read_lines(stream, name, encoding):
        if line.strip():
            yield f"line {number}", line
