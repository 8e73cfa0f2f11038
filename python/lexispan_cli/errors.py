"""How the command reports: one error line ending the run, warnings and notes that do not."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TypeVar

PROG = "lexispan"

_Args = TypeVar("_Args")


class InputError(Exception):
    """Bad input, reported to the user as one line naming the file and line."""

    def __init__(self, path: Path | str, message: str, line: int | None = None) -> None:
        where = str(path) if line is None else f"{path}:{line}"
        super().__init__(f"{where}: {message}")


class UsageError(Exception):
    """A run that cannot start as asked (a missing optional package, clashing options)."""


def say(line: str) -> None:
    """One line on standard error; nothing when it is closed (print would
    fall back to standard output, into the table)."""
    if sys.stderr is not None:
        print(line, file=sys.stderr, flush=True)


def warn(message: str) -> None:
    """Something the user should know about the result (a skipped file, an empty part)."""
    say(f"{PROG}: warning: {message}")


def note(message: str) -> None:
    """How the input was read, where a default decided it."""
    say(f"{PROG}: note: {message}")


def hold_closed_streams() -> None:
    """Puts /dev/null on standard descriptors that were closed when the
    program started, so no file opened later takes their number (Python has
    left sys.stdin/stdout/stderr None for them, which the readers and the
    output check)."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            held = os.open(os.devnull, os.O_RDWR)
            if held != fd:
                os.dup2(held, fd)
                os.close(held)


def need(module: str, extra: str, purpose: str) -> object:
    """Imports an optional package, or stops with the one line saying what to install."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise UsageError(f"{purpose} needs {module.split('.')[0]}: pip install 'lexispan[{extra}]'") from None


def guarded(run: Callable[[_Args], None], args: _Args) -> int:
    """Runs one command: an error is one line and exit status 1, an interrupt 130."""
    hold_closed_streams()
    try:
        run(args)
    except (InputError, UsageError) as exc:
        say(f"{PROG}: error: {exc}")
        return 1
    except MemoryError:
        say(f"{PROG}: error: out of memory")
        return 1
    except BrokenPipeError:
        # The reader went away (`lexispan ... | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    return 0
