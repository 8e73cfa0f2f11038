"""What every table reader shares: how a table is opened and named, the
options it is read with, the rule for a count, and the word list that refuses
an empty or repeated word."""

from __future__ import annotations

import array
import math
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

import numpy as np

from lexispan_cli.errors import InputError
from lexispan_cli.texts import STDIN, standard_input


@dataclass(frozen=True)
class TableOptions:
    kind: str | None   # None: a delimited table whose header line decides the delimiter
    long: bool = False
    sizes_row: str = "__size__"
    encoding: str = "utf-8"
    vocabulary: Path | None = None


def display(path: Path | str) -> str:
    return "<stdin>" if str(path) == STDIN else str(path)


def open_table(path: Path | str) -> BinaryIO:
    if str(path) == STDIN:
        return standard_input()
    try:
        if Path(path).is_dir():
            raise InputError(path, "is a folder")
        return open(path, "rb")
    except FileNotFoundError:
        raise InputError(path, "no such file or directory") from None
    except OSError as exc:
        raise InputError(path, f"cannot read: {exc.strerror or exc}") from None


def first_non_count(values: np.ndarray) -> int | None:
    """The index of the first value that is not a count (a finite number of at
    least zero; NaN is none), or None."""
    bad = np.flatnonzero(~((values >= 0) & (values < math.inf)))
    return int(bad[0]) if bad.size else None


class WordIndex:
    """The words of a table numbered in the order first read. An empty word
    is an error, and so is a repeated one when `unique`; the error names the
    line (or, with unit="row", the row) of the word and of its first
    occurrence."""

    def __init__(self, path: Path | str, *, unique: bool = True, unit: str = "line") -> None:
        self.path = path
        self.unique = unique
        self.by_row = unit == "row"
        self.ids: dict[str, int] = {}
        self._first = array.array("q")  # where each word was first read, when unique

    def number(self, word: str, at: int) -> int:
        """The word's number, a new one for a word not read before."""
        known = self.ids.get(word)
        if known is not None:
            if self.unique:
                raise self._duplicate(word, self._first[known], at)
            return known
        if not word:
            raise (InputError(self.path, f"empty word in row {at}") if self.by_row
                   else InputError(self.path, "empty word", at))
        known = self.ids[word] = len(self.ids)
        if self.unique:
            self._first.append(at)
        return known

    def _duplicate(self, word: str, first: int, at: int) -> InputError:
        if self.by_row:
            return InputError(self.path, f"duplicate word {word!r} (rows {first} and {at})")
        return InputError(self.path, f"duplicate word {word!r} (first on line {first})", at)
