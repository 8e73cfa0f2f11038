"""Reading text files as corpus parts: which files of a folder are parts, in
what order, and their text, decoded one file at a time so that memory holds
one text at most."""

from __future__ import annotations

import codecs
import os
import stat
import warnings
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path, PurePosixPath

# Byte-order marks that name their encoding: UTF-32 first, since its
# little-endian mark starts with UTF-16's.
_MARKS = ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"),
          (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))


class TextFileError(ValueError):
    """A text that cannot be read as a corpus part: a missing folder, no
    matching files, a file that cannot be read or does not decode.

    ``path`` names the file or folder, ``line`` the line of a decoding error
    (else None) and ``reason`` says what is wrong; ``str()`` gives all three
    as ``path:line: reason``.
    """

    def __init__(self, path: Path | str, reason: str, line: int | None = None) -> None:
        self.path = str(path)
        self.reason = reason
        self.line = line
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


class SkippedFileWarning(UserWarning):
    """A file left out with ``errors="skip"``, because it could not be read or
    decoded; the message names it and says why."""


class RepeatedFileWarning(UserWarning):
    """A file reached a second time (through a link, or a hard link), counted
    once; the message names both paths."""


def is_utf8(encoding: str) -> bool:
    return codecs.lookup(encoding).name == "utf-8"


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
    what = "UTF-8" if is_utf8(encoding) else encoding
    return f"not valid {what} (byte 0x{data[exc.start]:02x})", line


def decode(path: Path | str, data: bytes, encoding: str = "utf-8") -> str:
    """The text of a file. Read as UTF-8, a file that starts with a UTF-16 or
    UTF-32 byte-order mark is read in that encoding instead."""
    chosen = (marked_encoding(data) or encoding) if is_utf8(encoding) else encoding
    try:
        return data.decode(decoder_name(chosen))
    except UnicodeDecodeError as exc:
        reason, line = decode_failure(data, exc, chosen)
        raise TextFileError(path, reason, line) from None


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


def read_file(path: Path | str) -> tuple[bytes, tuple[int, int]]:
    """A regular file's bytes and identity (device, inode)."""
    try:
        handle = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise TextFileError(path, f"cannot read: {exc.strerror or exc}") from None
    try:
        info = os.fstat(handle)
        if not stat.S_ISREG(info.st_mode):
            raise TextFileError(path, "not a regular file")
        with open(handle, "rb", closefd=False) as stream:
            data = stream.read()
    except OSError as exc:
        raise TextFileError(path, f"cannot read: {exc.strerror or exc}") from None
    finally:
        os.close(handle)
    return data, (info.st_dev, info.st_ino)


def file_texts(files: Iterable[tuple[str, Path]], encoding: str = "utf-8",
               skip_errors: bool = False, shown: Path | None = None
               ) -> Iterator[tuple[str, str]]:
    """(name, text) for every (name, path), one file in memory at a time. A
    file reached again through a link is read once (RepeatedFileWarning);
    with skip_errors an unreadable or undecodable file is left out
    (SkippedFileWarning). `shown` is the folder the names are relative to,
    for the warnings' paths."""
    seen: dict[tuple[int, int], str] = {}
    for name, path in files:
        try:
            data, identity = read_file(path)
            if identity in seen:
                earlier = seen[identity] if shown is None else shown / seen[identity]
                warnings.warn(RepeatedFileWarning(
                    f"{path}: the same file as {earlier}, counted once"), stacklevel=2)
                continue
            text = decode(path, data, encoding)
        except TextFileError as exc:
            if not skip_errors:
                raise
            warnings.warn(SkippedFileWarning(f"{exc} (skipped)"), stacklevel=2)
            continue
        del data
        seen[identity] = name
        yield name, text
