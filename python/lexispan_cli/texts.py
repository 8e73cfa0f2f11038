"""Reading texts: the files of a folder (one part each) or a stream with one
part per line. Bytes are read and decoded 1 MiB at a time; a part reaches
its consumer as pieces of text, each ending at ASCII white space when the
caller allows the cut (the default word rule, whose words never cross white
space): a file is never held whole, a line of --text input at most once, and
every line is read in time linear in its length."""

from __future__ import annotations

import codecs
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath
from typing import BinaryIO, TypeVar

from lexispan_cli.errors import InputError, note, warn

STDIN = "-"
BLOCK = 1 << 20  # bytes read at once
PIECE = 1 << 20  # characters a piece reaches before it is cut at the next white space

_Result = TypeVar("_Result")
Pieces = Iterator[str]


def decoder_name(encoding: str) -> str:
    """UTF-8 drops a leading byte-order mark, as it always has here."""
    return "utf-8-sig" if codecs.lookup(encoding).name == "utf-8" else encoding


def _encoding_name(encoding: str) -> str:
    return "UTF-8" if codecs.lookup(encoding).name == "utf-8" else encoding


def _decode_error(path: Path | str, data: bytes, exc: UnicodeDecodeError, encoding: str,
                  first_line: int = 1) -> InputError:
    line = data.count(b"\n", 0, exc.start) + first_line
    return InputError(path, f"not valid {_encoding_name(encoding)} "
                            f"(byte 0x{data[exc.start]:02x})", line)


def standard_input() -> BinaryIO:
    if sys.stdin is None:
        raise InputError("<stdin>", "cannot read: standard input is closed")
    return sys.stdin.buffer


def decoded_blocks(stream: BinaryIO, name: Path | str, encoding: str) -> Iterator[str]:
    """The stream decoded a block at a time; a decoding error names its line."""
    decoder = codecs.getincrementaldecoder(decoder_name(encoding))()
    line = 1
    while True:
        try:
            block = stream.read(BLOCK)
        except OSError as exc:
            raise InputError(name, f"cannot read: {exc.strerror or exc}") from None
        try:
            text = decoder.decode(block, final=not block)
        except UnicodeDecodeError as exc:
            # The decoder may hold bytes from the block before; exc.object has them too.
            raise _decode_error(name, bytes(exc.object), exc, encoding, line) from None
        except UnicodeError as exc:  # a codec's own complaint, e.g. UTF-16 without its mark
            raise InputError(name, f"not valid {_encoding_name(encoding)} ({exc})", line) \
                from None
        line += text.count("\n")
        yield text
        if not block:
            return


def _last_space(text: str) -> int:
    return max(map(text.rfind, " \n\t\r\f\v"))


def cut_pieces(blocks: Iterator[str], cut: bool) -> Pieces:
    """The text of `blocks` in pieces of at least PIECE characters (the last
    shorter) each ending at ASCII white space, or whole when not `cut`. What
    is held beyond a piece has no white space: a run without any is held
    whole."""
    held: list[str] = []
    size = 0
    for text in blocks:
        end = _last_space(text) + 1 if cut else 0
        if end and size + end >= PIECE:
            held.append(text[:end])
            yield "".join(held)
            held, size = [text[end:]], len(text) - end
        elif text:
            held.append(text)
            size += len(text)
    if size:
        yield "".join(held)


def line_pieces(blocks: Iterator[str], cut: bool) -> Iterator[tuple[int, list[str]]]:
    """Every line (its end kept) with its number, as pieces: one for a line
    shorter than PIECE, else cut at white space when `cut`. A line is held
    once, however long, and each block is split once."""
    number = 1
    done: list[str] = []  # pieces of the current line
    held: list[str] = []  # its text since the last piece
    size = 0
    for text in blocks:
        lines = text.split("\n")
        for line in lines[:-1]:
            held.append(line)
            held.append("\n")
            done.append("".join(held))
            yield number, done
            number += 1
            done, held, size = [], [], 0
        tail = lines[-1]
        end = _last_space(tail) + 1 if cut else 0
        if end and size + end >= PIECE:
            held.append(tail[:end])
            done.append("".join(held))
            held, size = [tail[end:]], len(tail) - end
        elif tail:
            held.append(tail)
            size += len(tail)
    if size:
        done.append("".join(held))
    if done:
        yield number, done


def read_lines(stream: BinaryIO, name: str, encoding: str) -> Iterator[tuple[int, str]]:
    """Numbered decoded lines of a byte stream (line ends kept), in time and
    memory linear in each line; a decoding error names its line."""
    for number, pieces in line_pieces(decoded_blocks(stream, name, encoding), False):
        yield number, pieces[0]


@dataclass
class FolderParts:
    """Which files of a folder are parts, in order, and how to read them."""

    folder: Path
    pattern: str = "*.txt"
    exclude: Sequence[str] = ()
    encoding: str = "utf-8"
    skip_errors: bool = False
    files: list[Path] = field(default_factory=list)
    skipped: int = 0

    def list(self) -> list[Path]:
        folder = self.folder
        if not folder.exists():
            raise InputError(folder, "no such file or directory")
        try:
            os.listdir(folder)  # glob would quietly find nothing in an unreadable folder
            found = list(folder.glob(self.pattern))
        except OSError as exc:
            raise InputError(folder, f"cannot read: {exc.strerror or exc}") from None
        except (ValueError, NotImplementedError) as exc:
            raise InputError(folder, f"bad --glob pattern {self.pattern!r}: {exc}") from None
        chosen = []
        for path in found:
            relative = PurePosixPath(path.relative_to(folder).as_posix())
            if any(part.startswith(".") for part in relative.parts) or path.is_dir():
                continue
            if any(relative.match(pattern) for pattern in self.exclude):
                continue
            chosen.append((relative.as_posix(), path))
        chosen.sort()
        if not chosen:
            raise InputError(folder, f"no files matching '{self.pattern}'"
                             + (" that are not excluded" if found and self.exclude else ""))
        self.files = [path for _, path in chosen]
        return self.files

    def name(self, path: Path) -> str:
        return path.relative_to(self.folder).as_posix()

    def parts(self, reduce: Callable[[Pieces], _Result], cut: bool
              ) -> Iterator[tuple[str, _Result]]:
        """(part name, reduce(its pieces)) for every file, read a block at a
        time. A file reached again through a link is read once; with
        skip_errors an unreadable or undecodable file is named in a warning
        and left out."""
        seen: dict[tuple[int, int], str] = {}
        for path in self.files or self.list():
            name = self.name(path)
            try:
                with _open_regular(path) as (stream, identity):
                    if identity in seen:
                        note(f"{path}: the same file as {self.folder / seen[identity]}, "
                             f"counted once")
                        continue
                    result = reduce(cut_pieces(decoded_blocks(stream, path, self.encoding),
                                               cut))
            except InputError as exc:
                if not self.skip_errors:
                    raise
                warn(f"{exc} (skipped)")
                self.skipped += 1
                continue
            seen[identity] = name
            yield name, result


class _open_regular:
    """A regular file opened for reading, with its (device, inode). Opened
    without blocking and checked on the open descriptor, so a FIFO or device
    put in a file's place is refused, not waited on."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.stream: BinaryIO | None = None

    def __enter__(self) -> tuple[BinaryIO, tuple[int, int]]:
        try:
            fd = os.open(self.path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)
                         | getattr(os, "O_CLOEXEC", 0))
        except OSError as exc:
            raise InputError(self.path, f"cannot read: {exc.strerror or exc}") from None
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            os.close(fd)
            raise InputError(self.path, "not a regular file")
        self.stream = open(fd, "rb")
        return self.stream, (info.st_dev, info.st_ino)

    def __exit__(self, *exc: object) -> None:
        if self.stream is not None:
            self.stream.close()


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
