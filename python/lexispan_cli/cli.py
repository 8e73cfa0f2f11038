"""The ``lexispan`` command: options, error reporting and the progress line."""

from __future__ import annotations

import argparse
import os
import re
import sys
import time
from collections.abc import Sequence
from importlib import metadata
from pathlib import Path
from typing import NoReturn, TextIO

from lexispan_cli.report import COLUMNS, compute, order, write_table
from lexispan_cli.sources import WORD_PATTERN, InputError, make_tokenizer, read_folder, read_table

PROG = "lexispan"

DESCRIPTION = """\
Compute dispersion measures for every word of a corpus and write them as a CSV
or TSV table: word, frequency, then the sixteen measures.

INPUT is either a folder of UTF-8 text files (each file one corpus part) or a
CSV/TSV frequency table (a header row of part names, then one row per word:
the word, then its count in each part; an optional row named by --sizes-row
gives the part sizes, which otherwise are the column sums)."""

EPILOG = """\
Numbers are written with every digit of the double (Python's repr), so reading
them back with float() gives the exact value; "nan" and "inf" are written as
such, and an absent value as an empty cell."""


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, like every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"not a non-negative number: {text!r}")
    return value


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not (value > 0 and value != float("inf")):
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a non-negative integer: {text!r}")
    return value


def _regex(text: str) -> str:
    try:
        re.compile(text)
    except re.error as exc:
        raise argparse.ArgumentTypeError(f"bad regular expression {text!r}: {exc}") from None
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT", type=Path, help="folder of text files, or a CSV/TSV table")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")

    out = parser.add_argument_group("output")
    out.add_argument("-o", "--output", metavar="FILE", type=Path, help="write the table to FILE instead of stdout")
    out.add_argument(
        "--format",
        choices=("csv", "tsv"),
        help="output format (default: tsv when FILE ends in .tsv, else csv)",
    )
    out.add_argument(
        "--sort",
        metavar="MEASURE",
        choices=COLUMNS,
        default="frequency",
        help="column to sort by: word, frequency or any measure (default: frequency)",
    )
    direction = out.add_mutually_exclusive_group()
    direction.add_argument("--ascending", dest="descending", action="store_false", default=None,
                           help="smallest first (the default for --sort word)")
    direction.add_argument("--descending", dest="descending", action="store_true",
                           help="largest first (the default for every other column)")
    out.add_argument("--min-freq", metavar="N", type=_non_negative, default=0.0,
                     help="keep only words whose frequency is at least N (default: 0)")
    out.add_argument("--top", metavar="N", type=_count, help="write only the first N rows after sorting")
    out.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                     help="progress line on stderr (default: auto, only when stderr is a terminal)")

    texts = parser.add_argument_group("folder input")
    texts.add_argument("--glob", metavar="PATTERN", default="*.txt",
                       help="which files of the folder are parts (default: '*.txt'; '**/*.txt' recurses)")
    texts.add_argument("--keep-case", action="store_true", help="do not case-fold the words")
    texts.add_argument("--token-pattern", metavar="REGEX", type=_regex, default=WORD_PATTERN,
                       help="regular expression whose matches are the words "
                            "(default: runs of letters and digits, joined inside by ' or -)")

    table = parser.add_argument_group("table input")
    table.add_argument("--table-format", choices=("csv", "tsv"),
                       help="delimiter of the input table (default: by extension, else tab if the header has one)")
    table.add_argument("--sizes-row", metavar="NAME", default="__size__",
                       help="word cell of the row holding the part sizes (default: __size__); "
                            "without such a row the sizes are the column sums")
    parser.add_argument("--total", metavar="N", type=_positive,
                        help="total corpus words (default: the sum of the part sizes)")
    return parser


def _version() -> str:
    try:
        return metadata.version("lexispan")
    except metadata.PackageNotFoundError:
        return "unknown"


class Progress:
    """A self-overwriting status line on stderr.

    Nothing is drawn during the first half second, so quick runs stay quiet;
    after that the line is redrawn at most ten times a second.
    """

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self.stream = stream
        self.enabled = enabled
        self.last = time.monotonic() + 0.4
        self.shown = False

    def __call__(self, message: str) -> None:
        now = time.monotonic()
        if not self.enabled or now - self.last < 0.1:
            return
        self.last = now
        self.shown = True
        self.stream.write(f"\r\x1b[K{PROG}: {message}")
        self.stream.flush()

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False


def _run(args: argparse.Namespace, progress: Progress) -> None:
    source: Path = args.input
    if source.is_dir():
        tokenize = make_tokenizer(args.token_pattern, keep_case=args.keep_case)
        corpus = read_folder(source, tokenize, args.glob, progress)
    else:
        delimiter = {"csv": ",", "tsv": "\t", None: None}[args.table_format]
        corpus = read_table(source, delimiter, args.sizes_row, progress)
    if args.total is not None:
        corpus.total = args.total

    try:
        rows = compute(corpus, args.min_freq, progress)
    except ValueError as exc:
        raise InputError(source, str(exc)) from None
    descending = args.descending if args.descending is not None else args.sort != "word"
    rows = order(rows, args.sort, descending)
    if args.top is not None:
        rows = rows[: args.top]
    progress.clear()

    output: Path | None = args.output
    fmt = args.format or ("tsv" if output is not None and output.suffix.lower() == ".tsv" else "csv")
    delimiter = "\t" if fmt == "tsv" else ","
    if output is None:
        write_table(sys.stdout, rows, delimiter)
        sys.stdout.flush()
        return
    try:
        with output.open("w", encoding="utf-8", newline="") as stream:
            write_table(stream, rows, delimiter)
    except OSError as exc:
        raise InputError(output, f"cannot write: {exc.strerror or exc}") from None


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    enabled = args.progress == "always" or (args.progress == "auto" and sys.stderr.isatty())
    progress = Progress(sys.stderr, enabled)
    try:
        _run(args, progress)
    except InputError as exc:
        progress.clear()
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`lexispan ... | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        progress.clear()
        return 130
    return 0
