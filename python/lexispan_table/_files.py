"""Reading text files as corpus parts: which files of a folder are parts, in
what order, and their text. Bytes are read and decoded 1 MiB at a time; a
part reaches the counter as pieces of text, each ending at ASCII white space
when the word rule allows the cut (the default one, whose words never cross
white space): a file is never held whole, a line of one-part-per-line input
at most once, and every line is read in time linear in its length."""

from __future__ import annotations

import codecs
import os
import stat
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path, PurePosixPath
from typing import BinaryIO, TypeVar

BLOCK = 1 << 20  # bytes read at once
PIECE = 1 << 20  # characters a piece reaches before it is cut at the next white space

_Result = TypeVar("_Result")
Pieces = Iterator[str]

# Byte-order marks that name their encoding: UTF-32 first, since its
# little-endian mark starts with UTF-16's.
_MARKS = ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"),
          (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))


class TextFileError(ValueError):
    """A text that cannot be read as a corpus part: a missing folder, no
    matching files, a file that cannot be read or does not decode.

    Parameters
    ----------
    path : str or path
        The file or folder (kept as a str).
    reason : str
        What is wrong.
    line : int, optional
        The line of a decoding error, else None.

    Examples
    --------
    >>> from lexispan_table import TextFileError, count_files
    >>> try:
    ...     count_files("no/such/folder")
    ... except TextFileError as error:
    ...     print(error.path, "|", error.reason)
    no/such/folder | no such file or directory
    """

    def __init__(self, path: Path | str, reason: str, line: int | None = None) -> None:
        self.path = str(path)
        self.reason = reason
        self.line = line
        # The UTF-16 or UTF-32 encoding a text that failed to decode declares by
        # its byte-order mark, when it was read in another.
        self.marked: str | None = None
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


class SkippedFileWarning(UserWarning):
    """A file left out by `count_files` with ``errors="skip"``, because it
    could not be read or decoded; the message names it and says why.

    Examples
    --------
    >>> import pathlib, tempfile, warnings
    >>> from lexispan_table import SkippedFileWarning, count_files
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "good.txt").write_text("fine words")
    >>> _ = (folder / "bad.txt").write_bytes(b"caf\\xe9 au lait")
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     counts = count_files(folder, errors="skip")
    >>> counts.part_names, caught[0].category is SkippedFileWarning
    (['good.txt'], True)
    """


class RepeatedFileWarning(UserWarning):
    """A file that `count_files` reaches a second time (through a symbolic or
    a hard link), counted once; the message names both paths.

    Examples
    --------
    >>> import os, pathlib, tempfile, warnings
    >>> from lexispan_table import RepeatedFileWarning, count_files
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "a.txt").write_text("some words")
    >>> os.link(folder / "a.txt", folder / "b.txt")
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     counts = count_files(folder)
    >>> counts.part_names, caught[0].category is RepeatedFileWarning
    (['a.txt'], True)
    """


def is_utf8(encoding: str) -> bool:
    return codecs.lookup(encoding).name == "utf-8"


def _shown(encoding: str) -> str:
    """The encoding as messages name it."""
    return "UTF-8" if is_utf8(encoding) else encoding


def decoder_name(encoding: str) -> str:
    """UTF-8 drops a leading byte-order mark."""
    return "utf-8-sig" if is_utf8(encoding) else encoding


def marked_encoding(data: bytes) -> str | None:
    """The UTF-16 or UTF-32 encoding whose byte-order mark `data` starts with."""
    for mark, name in _MARKS:
        if data.startswith(mark):
            return name
    return None


def decode_failure(data: bytes, exc: UnicodeDecodeError, encoding: str, first_line: int = 1
                   ) -> tuple[str, int]:
    """What a decoding error says, and its line; `data` holds the bytes from
    the start of line `first_line` on."""
    line = data.count(b"\n", 0, exc.start) + first_line
    return f"not valid {_shown(encoding)} (byte 0x{data[exc.start]:02x})", line


def list_folder(folder: Path, pattern: str = "*.txt", exclude: Sequence[str] = ()
                ) -> list[tuple[str, Path]]:
    """(name, path) of every file of `folder` matching `pattern` (a glob,
    '**' recursing) and none of `exclude` (matched from the right, as
    PurePath.match does), in name order; names starting with "." are left
    out, and so are folders."""
    if not folder.exists():
        raise TextFileError(folder, "no such file or directory")
    try:
        os.listdir(folder)  # glob would quietly find nothing in an unreadable folder
        found = list(folder.glob(pattern))
    except OSError as exc:
        raise TextFileError(folder, f"cannot read: {exc.strerror or exc}") from None
    except (ValueError, NotImplementedError) as exc:
        raise TextFileError(folder, f"bad glob pattern {pattern!r}: {exc}") from None
    chosen = []
    for path in found:
        name = path.relative_to(folder).as_posix()
        if name.startswith(".") or "/." in name:
            continue
        if exclude and any(PurePosixPath(name).match(rule) for rule in exclude):
            continue
        chosen.append((name, path))
    chosen.sort()
    # A folder matching the pattern is no part: one stat for each name kept.
    chosen = [(name, path) for name, path in chosen if not path.is_dir()]
    if not chosen:
        raise TextFileError(folder, f"no files matching '{pattern}'"
                                    + (" that are not excluded" if found and exclude else ""))
    return chosen


class _RegularFile:
    """A regular file opened for reading, with its (device, inode). Opened
    without blocking and checked on the open descriptor, so a FIFO or device
    put in a file's place is refused, not waited on."""

    def __init__(self, path: Path | str) -> None:
        self.path = path
        self.stream: BinaryIO | None = None

    def __enter__(self) -> tuple[BinaryIO, tuple[int, int]]:
        try:
            fd = os.open(self.path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)
                         | getattr(os, "O_CLOEXEC", 0))
        except OSError as exc:
            raise TextFileError(self.path, f"cannot read: {exc.strerror or exc}") from None
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            os.close(fd)
            raise TextFileError(self.path, "not a regular file")
        self.stream = open(fd, "rb")
        return self.stream, (info.st_dev, info.st_ino)

    def __exit__(self, *exc: object) -> None:
        if self.stream is not None:
            self.stream.close()


def decoded_blocks(stream: BinaryIO, path: Path | str, encoding: str,
                   follow_marks: bool = False) -> Iterator[str]:
    """The stream decoded a block at a time; a decoding error names its line.
    With `follow_marks`, a UTF-8 stream that starts with a UTF-16 or UTF-32
    byte-order mark is read in that encoding instead."""
    first = _read(stream, path)
    marked = marked_encoding(first)
    if follow_marks and is_utf8(encoding) and marked is not None:
        encoding, marked = marked, None
    decoder = codecs.getincrementaldecoder(decoder_name(encoding))()
    line = 1
    block = first
    while True:
        try:
            text = decoder.decode(block, final=not block)
        except UnicodeDecodeError as exc:
            # The decoder may hold bytes from the block before; exc.object has them too.
            reason, at = decode_failure(bytes(exc.object), exc, encoding, line)
            raise _failure(TextFileError(path, reason, at), marked) from None
        except UnicodeError as exc:  # a codec's own complaint, e.g. UTF-16 without its mark
            raise _failure(TextFileError(path, f"not valid {_shown(encoding)} ({exc})", line),
                           marked) from None
        line += text.count("\n")
        yield text
        if not block:
            return
        block = _read(stream, path)


def _failure(error: TextFileError, marked: str | None) -> TextFileError:
    error.marked = marked
    return error


def _read(stream: BinaryIO, path: Path | str) -> bytes:
    try:
        return stream.read(BLOCK)
    except OSError as exc:
        raise TextFileError(path, f"cannot read: {exc.strerror or exc}") from None


def _last_space(text: str) -> int:
    return max(map(text.rfind, " \n\t\r\f\v"))


def cut_pieces(blocks: Iterable[str], cut: bool) -> Pieces:
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


def line_pieces(blocks: Iterable[str], cut: bool) -> Iterator[tuple[int, list[str]]]:
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


def file_parts(files: Iterable[tuple[str, Path]], reduce: Callable[[Pieces], _Result],
               cut: bool, encoding: str = "utf-8", skip_errors: bool = False,
               shown: Path | None = None) -> Iterator[tuple[str, _Result]]:
    """(name, reduce(the file's pieces of text)) for every (name, path), read
    a block at a time: a file is never held whole. A file reached again
    through a link is read once (RepeatedFileWarning); with skip_errors an
    unreadable or undecodable file is left out (SkippedFileWarning). `shown`
    is the folder the names are relative to, for the warnings' paths."""
    seen: dict[tuple[int, int], str] = {}
    for name, path in files:
        try:
            with _RegularFile(path) as (stream, identity):
                if identity in seen:
                    earlier = seen[identity] if shown is None else shown / seen[identity]
                    warnings.warn(RepeatedFileWarning(
                        f"{path}: the same file as {earlier}, counted once"), stacklevel=2)
                    continue
                result = reduce(cut_pieces(decoded_blocks(stream, path, encoding, True), cut))
        except TextFileError as exc:
            if not skip_errors:
                raise
            warnings.warn(SkippedFileWarning(f"{exc} (skipped)"), stacklevel=2)
            continue
        seen[identity] = name
        yield name, result
