"""Turning a folder of texts or a frequency table into a word x part count matrix."""

from __future__ import annotations

import collections
import csv
import io
import math
import os
import re
import unicodedata
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path

# A word is a maximal run of letters and digits (as str.isalnum sees them, so
# any script), which may be joined by single apostrophes or hyphens inside it:
# "don't", "well-known", "l'homme". Underscores and all other characters
# separate words.
_JOINERS = "'\u2019\\-\u2010\u2011"
WORD_PATTERN = rf"[^\W_]+(?:[{_JOINERS}][^\W_]+)*"


class InputError(Exception):
    """Bad input, reported to the user as one line naming the file and line."""

    def __init__(self, path: Path | str, message: str, line: int | None = None) -> None:
        where = str(path) if line is None else f"{path}:{line}"
        super().__init__(f"{where}: {message}")


@dataclass
class Corpus:
    """Counts of every word in every part, with the part sizes and the corpus total."""

    source: Path
    part_names: list[str]
    words: list[str]
    rows: list[list[float]]
    part_sizes: list[float]
    total: float


Tokenizer = Callable[[str], Iterable[str]]


def make_tokenizer(pattern: str = WORD_PATTERN, keep_case: bool = False) -> Tokenizer:
    """Split NFC-normalised text into the non-empty matches of `pattern`, case-folded unless asked not to."""
    regex = re.compile(pattern)

    def tokenize(text: str) -> Iterable[str]:
        text = unicodedata.normalize("NFC", text)
        for match in regex.finditer(text):
            token = match.group(0)
            if token:
                yield token if keep_case else token.casefold()

    return tokenize


def _read_text(path: Path) -> str:
    try:
        data = path.read_bytes()
    except OSError as exc:
        raise InputError(path, f"cannot read: {exc.strerror or exc}") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise InputError(path, f"not valid UTF-8 (byte 0x{data[exc.start]:02x})", line) from None


def _check_exists(path: Path) -> None:
    if not path.exists():
        raise InputError(path, "no such file or directory")


def _hidden(relative: Path) -> bool:
    return any(part.startswith(".") for part in relative.parts)


def read_folder(
    folder: Path,
    tokenize: Tokenizer,
    pattern: str = "*.txt",
    progress: Callable[[str], None] | None = None,
) -> Corpus:
    """Count the tokens of every file in `folder` matching `pattern`; each file is one part."""
    _check_exists(folder)
    try:
        os.listdir(folder)  # glob would quietly find nothing in an unreadable folder
        found = list(folder.glob(pattern))
    except OSError as exc:
        raise InputError(folder, f"cannot read: {exc.strerror or exc}") from None
    except (ValueError, NotImplementedError) as exc:
        raise InputError(folder, f"bad --glob pattern {pattern!r}: {exc}") from None
    files = sorted(
        (p for p in found if not p.is_dir() and not _hidden(p.relative_to(folder))),
        key=lambda p: p.relative_to(folder).as_posix(),
    )
    if not files:
        raise InputError(folder, f"no files matching '{pattern}'")

    counts: list[collections.Counter[str]] = []
    for index, path in enumerate(files, 1):
        if progress is not None:
            progress(f"reading file {index}/{len(files)}")
        if path.exists() and not path.is_file():
            raise InputError(path, "not a regular file")
        counts.append(collections.Counter(tokenize(_read_text(path))))

    sizes = [float(sum(c.values())) for c in counts]
    total = math.fsum(sizes)
    if total == 0:
        raise InputError(folder, f"no words in any of the {len(files)} files")
    words = sorted(set().union(*counts))
    rows = [[float(c[word]) for c in counts] for word in words]
    names = [p.relative_to(folder).as_posix() for p in files]
    return Corpus(folder, names, words, rows, sizes, total)


def _count(cell: str) -> float | None:
    """A count is a finite non-negative number as float() reads it, minus its "1_000" form."""
    try:
        value = float(cell)
    except ValueError:
        return None
    if "_" in cell or not 0.0 <= value < math.inf:
        return None
    return value + 0.0  # "-0" counts as +0


def _parse_counts(cells: list[str], path: Path, line: int, header: list[str]) -> list[float]:
    # Fast path for a clean row; the cell-by-cell pass only runs to name the bad cell.
    try:
        values = list(map(float, cells))
    except ValueError:
        pass
    else:
        if all(0.0 <= v < math.inf for v in values) and not any("_" in c for c in cells):
            return [v + 0.0 for v in values]
    counts = []
    for column, cell in enumerate(cells, 1):
        value = _count(cell)
        if value is None:
            shown = repr(cell) if cell.strip() else "an empty cell"
            raise InputError(
                path, f"column {column} ({header[column]!r}): {shown} is not a count (a non-negative number)", line
            )
        counts.append(value)
    return counts


def guess_delimiter(path: Path, first_line: str) -> str:
    """Tab for .tsv/.tab files, comma for .csv; otherwise a tab if the header holds one."""
    suffix = path.suffix.lower()
    if suffix in (".tsv", ".tab"):
        return "\t"
    if suffix == ".csv":
        return ","
    return "\t" if "\t" in first_line else ","


def read_table(
    path: Path,
    delimiter: str | None = None,
    sizes_row: str = "__size__",
    progress: Callable[[str], None] | None = None,
) -> Corpus:
    """Read a frequency table: a header of part names, then one row per word.

    The first column holds the word, each further column the word's count in one
    part. A row whose word is `sizes_row` gives the part sizes; without one, the
    part sizes are the column sums.
    """
    _check_exists(path)
    text = _read_text(path)
    if delimiter is None:
        delimiter = guess_delimiter(path, text.partition("\n")[0])
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True)

    words: list[str] = []
    rows: list[list[float]] = []
    first_seen: dict[str, int] = {}
    sizes: list[float] | None = None
    sizes_line = 0
    header: list[str] | None = None
    try:
        for record in reader:
            line = reader.line_num
            if progress is not None and line % 1024 == 0:
                progress(f"reading line {line}")
            if not record:
                continue
            if header is None:
                header = record
                if len(header) < 2:
                    raise InputError(path, "the header needs a word column and at least one part column", line)
                continue
            if len(record) != len(header):
                raise InputError(path, f"row has {len(record)} cells, the header has {len(header)}", line)
            word = record[0]
            values = _parse_counts(record[1:], path, line, header)
            if word == sizes_row:
                if sizes is not None:
                    raise InputError(path, f"second {sizes_row!r} row (the first is on line {sizes_line})", line)
                sizes, sizes_line = values, line
                continue
            if not word:
                raise InputError(path, "empty word", line)
            if word in first_seen:
                raise InputError(path, f"duplicate word {word!r} (first on line {first_seen[word]})", line)
            first_seen[word] = line
            words.append(word)
            rows.append(values)
    except csv.Error as exc:
        raise InputError(path, f"malformed table: {exc}", reader.line_num) from None

    if header is None:
        raise InputError(path, "empty table")
    if not rows:
        raise InputError(path, "no word rows")
    if sizes is None:
        sizes = [math.fsum(column) for column in zip(*rows)]
    total = math.fsum(sizes)
    if total == 0:
        raise InputError(path, "the part sizes add up to 0")
    return Corpus(path, header[1:], words, rows, sizes, total)
