"""The options the command and 'lexispan plot' share: their parser, the value
checks, how the input is read, and how DA and progress are chosen."""

from __future__ import annotations

import argparse
import codecs
import math
import re
import sys
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn, TypeVar

from lexispan_table import MEASURE_ALIASES, MEASURE_NAMES, POSITION_MEASURE_NAMES, WORD_PATTERN
from lexispan_table._engine import DEFAULT_LEVEL

from lexispan_cli.corpus import ReadOptions
from lexispan_cli.report import FORMATS
from lexispan_cli.tables import TABLE_KINDS

_Number = TypeVar("_Number", int, float)


class Parser(argparse.ArgumentParser):
    """Usage errors as one line, like every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _checked(text: str, convert: Callable[[str], _Number], accept: Callable[[_Number], bool],
             what: str) -> _Number:
    try:
        value = convert(text)
    except ValueError:
        accepted = False
    else:
        accepted = accept(value)
    if not accepted:
        raise argparse.ArgumentTypeError(f"not a {what}: {text!r}")
    return value


def non_negative(text: str) -> float:
    return _checked(text, float, lambda value: value >= 0, "non-negative number")


def positive(text: str) -> float:
    return _checked(text, float, lambda value: 0 < value < math.inf, "positive number")


def count(text: str) -> int:
    return _checked(text, int, lambda value: value >= 0, "non-negative integer")


def threads(text: str) -> int:
    return _checked(text, int, lambda value: value >= 1, "positive integer")


def digits(text: str) -> int:
    value = count(text)
    if not 1 <= value <= 17:
        raise argparse.ArgumentTypeError(f"not a number of digits from 1 to 17: {text!r}")
    return value


def regex(text: str) -> str:
    try:
        re.compile(text)
    except re.error as exc:
        raise argparse.ArgumentTypeError(f"bad regular expression {text!r}: {exc}") from None
    return text


def encoding(text: str) -> str:
    try:
        codecs.lookup(text)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None
    return text


def measure(text: str, valid: tuple[str, ...] = (*MEASURE_NAMES, *POSITION_MEASURE_NAMES)
            ) -> str:
    """A measure's column name, from its name or another one it is known by."""
    name = MEASURE_ALIASES.get(text.strip(), text.strip())
    if name not in valid:
        raise argparse.ArgumentTypeError(f"unknown measure {text.strip()!r} (valid: "
                                         f"{', '.join(valid)})")
    return name


def sort_key(text: str) -> str:
    return text if text == "word" else measure(text)


def measures(text: str, valid: tuple[str, ...] = (*MEASURE_NAMES, *POSITION_MEASURE_NAMES)
             ) -> list[str] | None:
    """The names listed, in order; "all" gives None, as leaving the option out."""
    if text.strip() == "all":
        return None
    names = [measure(name, valid) for name in text.split(",")]
    if len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"a measure is listed twice: {text!r}")
    return names


def add_input_options(parser: argparse.ArgumentParser, total: bool = True) -> None:
    texts = parser.add_argument_group("text input (a folder, or --text)")
    texts.add_argument("--glob", metavar="PATTERN",
                       help="which files of the folder are parts (default: '*.txt'; '**/*.txt' "
                            "recurses)")
    texts.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                       help="leave out files whose path in the folder matches PATTERN, from the "
                            "right ('*.bak', 'drafts/*'); repeatable")
    texts.add_argument("--encoding", metavar="NAME", type=encoding, default="utf-8",
                       help="text encoding of the input (default: utf-8)")
    texts.add_argument("--on-error", choices=("stop", "skip"), default="stop",
                       help="a file that cannot be read or decoded stops the run (default), or "
                            "is skipped with a warning")
    texts.add_argument("--text", action="store_true",
                       help="INPUT (a file, or - for standard input) is text with one part per "
                            "line; blank lines are skipped")
    texts.add_argument("--keep-case", action="store_true", help="do not case-fold the words")
    texts.add_argument("--token-pattern", metavar="REGEX", type=regex, default=WORD_PATTERN,
                       help="regular expression whose matches are the words "
                            "(default: runs of letters and digits, joined inside by ' or -)")
    texts.add_argument("--drop-empty", action="store_true",
                       help="leave out parts without any word (by default they count, with a "
                            "warning)")

    table = parser.add_argument_group("table input")
    table.add_argument("--table-format", choices=TABLE_KINDS,
                       help="kind of the input table (default: by extension; else tab-separated "
                            "if the header has a tab, else comma-separated)")
    table.add_argument("--long", action="store_true",
                       help="the CSV/TSV or Parquet table has rows of word, part, count")
    table.add_argument("--vocab", metavar="FILE", type=Path,
                       help="the words of a Matrix Market table, one per line, in row (or "
                            "column) order")
    table.add_argument("--sizes-row", metavar="NAME", default="__size__",
                       help="word of the row(s) holding the part sizes (default: __size__); "
                            "without them the sizes are the column sums")
    if total:
        parser.add_argument("--total", metavar="N", type=positive,
                            help="total corpus words (default: the sum of the part sizes)")


def add_output_options(group: argparse._ActionsContainer) -> None:
    group.add_argument("-o", "--output", metavar="FILE", type=Path,
                       help="write the table to FILE instead of stdout")
    group.add_argument("--format", choices=FORMATS,
                       help="output format (default: by FILE's extension: .tsv, .jsonl, "
                            ".parquet; else csv)")


def add_row_options(group: argparse._ActionsContainer, min_freq: str) -> None:
    """The order of the rows and which are kept; `min_freq` says what --min-freq counts."""
    direction = group.add_mutually_exclusive_group()
    direction.add_argument("--ascending", dest="descending", action="store_false", default=None,
                           help="smallest first (the default for --sort word)")
    direction.add_argument("--descending", dest="descending", action="store_true",
                           help="largest first (the default for every other column)")
    group.add_argument("--min-freq", metavar="N", type=non_negative, default=0.0, help=min_freq)
    group.add_argument("--top", metavar="N", type=count,
                       help="write only the first N rows after sorting")


def add_engine_options(group: argparse._ActionsContainer) -> None:
    group.add_argument("--da", choices=("sorted", "pairwise"), default="sorted",
                       help="how DA sums its pairs: 'sorted' (default), O(k log k) for a word "
                            "in k parts and the more accurate (within 4.1e-14 of exact "
                            "rational DA on the 31,103 verses of the KJV), or 'pairwise', the "
                            "record's rounding: bit-identical to calculate_batch_metrics, "
                            "O(n^2) per word (within 4.8e-10 there)")
    group.add_argument("--threads", metavar="N", type=threads,
                       help="worker threads for the measures (default: one per processor, or "
                            "RAYON_NUM_THREADS)")


def level(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"must lie strictly between 0 and 1: {text!r}")
    return value


def add_level_option(group: argparse._ActionsContainer) -> None:
    group.add_argument("--level", metavar="P", type=level, default=DEFAULT_LEVEL,
                       help="confidence level of the intervals: D_MB's (dmb_low and dmb_high) "
                            f"and the bootstrap's (default: {DEFAULT_LEVEL})")


def add_structure_options(parser: argparse.ArgumentParser, bootstrap_help: str,
                          with_level: bool = True) -> None:
    """--groups, --groups-from-folders and the bootstrap's options (--level
    too, unless the parser has it already)."""
    groups = parser.add_argument_group("groups of parts and bootstrap intervals")
    given = groups.add_mutually_exclusive_group()
    given.add_argument("--groups", metavar="FILE", type=Path,
                       help="a CSV or TSV table of part name and group, one part a row")
    given.add_argument("--groups-from-folders", action="store_true",
                       help="the subfolders of the input folder are the groups (the default "
                            "--glob becomes '*/**/*.txt')")
    groups.add_argument("--bootstrap", metavar="B", type=count, default=0, help=bootstrap_help)
    groups.add_argument("--seed", metavar="S", type=count,
                        help="the seed of the bootstrap's draws (required with --bootstrap)")
    if with_level:
        add_level_option(groups)


def check_structure(args: argparse.Namespace) -> None:
    """--bootstrap needs --seed; --groups-from-folders reads the subfolders'
    files unless --glob says otherwise."""
    from lexispan_cli.errors import UsageError

    if args.bootstrap and args.seed is None:
        raise UsageError("--bootstrap needs --seed S: the replicates are drawn from it, so that "
                         "they can be drawn again")
    if args.groups_from_folders and args.glob is None:
        args.glob = "*/**/*.txt"


def add_progress_option(group: argparse._ActionsContainer) -> None:
    group.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                       help="progress bar on stderr (default: auto, only when stderr is a "
                            "terminal)")


def read_options(args: argparse.Namespace, positions: bool = False) -> ReadOptions:
    return ReadOptions(
        pattern=args.glob or "*.txt", exclude=tuple(args.exclude), encoding=args.encoding,
        skip_errors=args.on_error == "skip", token_pattern=args.token_pattern,
        keep_case=args.keep_case, text=args.text, long=args.long,
        table_format=args.table_format, sizes_row=args.sizes_row, vocabulary=args.vocab,
        drop_empty=args.drop_empty, positions=positions,
        progress=progress_enabled(args.progress))


def progress_enabled(choice: str) -> bool:
    if sys.stderr is None:  # closed: nowhere to show it
        return False
    return choice == "always" or (choice == "auto" and sys.stderr.isatty())
