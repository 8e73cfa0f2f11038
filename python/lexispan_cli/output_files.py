"""Where -o writes. A regular file (new, or replaced through a link to it) is
written beside its target, made durable and renamed over it only when
complete, keeping the target's mode (and, for root, its owner); a run that
fails or is killed leaves the target as it was. Special files (devices,
FIFOs, /dev/stdout and its kin) are written in place: replacing one would put
a regular file where the device was."""

from __future__ import annotations

import os
import re
import stat
import sys
import tempfile
from pathlib import Path
from typing import IO, Any, BinaryIO, TextIO

from lexispan_cli.errors import InputError, UsageError

# The unfinished file is ".NAME.RANDOM.PID.lexispan-part" beside NAME: a run
# that is killed leaves it, and a later run for the same NAME removes it once
# PID has ended.
PART_SUFFIX = ".lexispan-part"
_STREAMS = re.compile(r"/dev/(stdout|stderr|fd/\d+)|/proc/(self|\d+)/fd/\d+")


def _cannot_write(path: Path | str, exc: OSError) -> InputError:
    return InputError(path, f"cannot write: {exc.strerror or exc}")


def is_special(path: Path) -> bool:
    """Whether `path` names a stream, a device, a FIFO or a socket."""
    if _STREAMS.fullmatch(str(path)):
        return True
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


def remove_stale_parts(target: Path) -> None:
    """Removes unfinished files of earlier runs for `target` whose process has
    ended (only this user's, only names this module makes)."""
    pattern = re.compile(re.escape(f".{target.name}.") + r"[A-Za-z0-9_]+\.(\d+)"
                         + re.escape(PART_SUFFIX))
    try:
        names = os.listdir(target.parent)
    except OSError:
        return
    for name in names:
        found = pattern.fullmatch(name)
        if found is None or _running(int(found.group(1))):
            continue
        path = target.parent / name
        try:
            if path.lstat().st_uid == os.geteuid() and stat.S_ISREG(path.lstat().st_mode):
                path.unlink()
        except OSError:
            pass


def _running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # someone else's process
    return True


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class Output:
    """The destination, claimed before any work: an unwritable -o fails at
    once. text() or binary() gives the stream to write; commit() puts the
    file in place, discard() (always called) drops what is unfinished."""

    def __init__(self, path: Path | None, binary: bool) -> None:
        self.path = path
        self._direct = path is not None and is_special(path)
        self._fd: int | None = None
        self._named: Path | None = None
        self._stream: IO[Any] | None = None
        if path is None:
            if binary:
                raise UsageError("Parquet output needs -o FILE")
            if sys.stdout is None:
                raise UsageError("standard output is closed: give -o FILE")
            return
        if self._direct:
            if not os.access(path, os.W_OK):
                raise InputError(path, "cannot write: Permission denied")
            return
        if path.is_dir():
            raise InputError(path, "cannot write: is a folder")
        if path.exists() and not os.access(path, os.W_OK):
            raise InputError(path, "cannot write: Permission denied")
        # Through a link, the file it points to is the one replaced.
        self.target = Path(os.path.realpath(path))
        remove_stale_parts(self.target)
        self._claim()

    def _claim(self) -> None:
        try:
            self._fd, name = tempfile.mkstemp(dir=self.target.parent,
                                              prefix=f".{self.target.name}.",
                                              suffix=f".{os.getpid()}{PART_SUFFIX}")
        except OSError as exc:
            raise _cannot_write(self.path or self.target, exc) from None
        self._named = Path(name)

    def text(self) -> TextIO:
        if self.path is None:
            assert sys.stdout is not None
            return sys.stdout
        stream: TextIO = self._open("w", encoding="utf-8", newline="")
        return stream

    def binary(self) -> BinaryIO:
        stream: BinaryIO = self._open("wb")
        return stream

    def _open(self, mode: str, **options: Any) -> Any:
        assert self.path is not None and self._stream is None
        try:
            if self._direct:
                self._stream = open(self.path, mode, **options)
            else:
                assert self._fd is not None
                self._stream = open(self._fd, mode, closefd=False, **options)
        except OSError as exc:
            raise _cannot_write(self.path, exc) from None
        return self._stream

    def commit(self) -> None:
        """Flushes a special file; puts a regular one in place, durably."""
        if self.path is None:
            return
        try:
            if self._stream is not None:
                self._stream.flush()
            if self._fd is not None:
                self._place()
        except OSError as exc:
            raise _cannot_write(self.path, exc) from None
        finally:
            self.discard()

    def _place(self) -> None:
        assert self._fd is not None
        fd = self._fd
        try:
            kept = os.stat(self.target)
        except FileNotFoundError:
            os.fchmod(fd, 0o666 & ~_umask())
        else:
            os.fchmod(fd, stat.S_IMODE(kept.st_mode))
            if os.geteuid() == 0:
                os.fchown(fd, kept.st_uid, kept.st_gid)
        os.fsync(fd)
        assert self._named is not None
        os.replace(self._named, self.target)
        self._named = None
        folder = os.open(self.target.parent, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(folder)
        except OSError:
            pass  # some file systems cannot sync a folder; the rename is done
        finally:
            os.close(folder)

    def discard(self) -> None:
        if self._stream is not None:
            try:
                self._stream.close()
            except OSError:
                pass
            self._stream = None
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._named is not None:
            try:
                self._named.unlink()
            except OSError:
                pass
            self._named = None
