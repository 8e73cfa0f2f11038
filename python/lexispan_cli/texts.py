"""Reading texts: the files of a folder (one part each) or a stream with one
part per line, decoded one at a time so that memory holds one text at most."""

from __future__ import annotations

import codecs
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath
from typing import BinaryIO

from lexispan_cli.errors import InputError, note, warn

STDIN = "-"


def decoder_name(encoding: str) -> str:
    """UTF-8 drops a leading byte-order mark, as it always has here."""
    return "utf-8-sig" if codecs.lookup(encoding).name == "utf-8" else encoding


def _decode_error(path: Path | str, data: bytes, exc: UnicodeDecodeError, encoding: str,
                  first_line: int = 1) -> InputError:
    line = data.count(b"\n", 0, exc.start) + first_line
    what = "UTF-8" if codecs.lookup(encoding).name == "utf-8" else encoding
    return InputError(path, f"not valid {what} (byte 0x{data[exc.start]:02x})", line)


def decode(path: Path | str, data: bytes, encoding: str) -> str:
    try:
        return data.decode(decoder_name(encoding))
    except UnicodeDecodeError as exc:
        raise _decode_error(path, data, exc, encoding) from None


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

    def texts(self) -> Iterator[tuple[str, str]]:
        """(part name, text) for every file, one file in memory at a time.
        A file reached again through a link is read once; with skip_errors an
        unreadable or undecodable file is named in a warning and left out."""
        seen: dict[tuple[int, int], str] = {}
        for path in self.files or self.list():
            name = self.name(path)
            try:
                text, identity = self._read(path)
            except InputError as exc:
                if not self.skip_errors:
                    raise
                warn(f"{exc} (skipped)")
                self.skipped += 1
                continue
            if identity in seen:
                note(f"{path}: the same file as {self.folder / seen[identity]}, counted once")
                continue
            seen[identity] = name
            yield name, text

    def _read(self, path: Path) -> tuple[str, tuple[int, int]]:
        try:
            info = path.stat()
            if not path.is_file():
                raise InputError(path, "not a regular file")
            data = path.read_bytes()
        except OSError as exc:
            raise InputError(path, f"cannot read: {exc.strerror or exc}") from None
        return decode(path, data, self.encoding), (info.st_dev, info.st_ino)


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
