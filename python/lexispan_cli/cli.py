"""The ``lexispan`` command: options, the order of the work, and error reporting."""

from __future__ import annotations

import argparse
import codecs
import os
import re
import sys
from collections.abc import Sequence
from importlib import metadata
from pathlib import Path
from typing import NoReturn

import numpy as np

import lexispan_table
from lexispan_table import MEASURE_NAMES, POSITION_MEASURE_NAMES

from lexispan_cli.corpus import Corpus, ReadOptions, is_text_input, read
from lexispan_cli.counts import compute, engine_measures
from lexispan_cli.errors import PROG, InputError, UsageError, need
from lexispan_cli.report import FORMATS, Output, order, output_format, write
from lexispan_cli.tables import TABLE_KINDS
from lexispan_cli.tokens import WORD_PATTERN

DESCRIPTION = """\
Compute dispersion measures for every word of a corpus and write them as a
table: word, frequency, then the measures.

INPUT is a folder of text files (each file one corpus part), a text file or
stream with one part per line (--text), or a table of counts: CSV/TSV with a
column per part, or rows of word, part, count (--long), Matrix Market (.mtx,
with --vocab), or Parquet. "-" reads standard input.

'lexispan plot ...' draws frequency against a measure, or where words occur
('lexispan plot --help')."""

EPILOG = """\
Numbers are written with every digit of the double (Python's repr), so reading
them back with float() gives the exact value, unless --precision is given;
"nan" and "inf" are written as such (null in JSON Lines)."""


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


def _digits(text: str) -> int:
    value = _count(text)
    if not 1 <= value <= 17:
        raise argparse.ArgumentTypeError(f"not a number of digits from 1 to 17: {text!r}")
    return value


def _regex(text: str) -> str:
    try:
        re.compile(text)
    except re.error as exc:
        raise argparse.ArgumentTypeError(f"bad regular expression {text!r}: {exc}") from None
    return text


def _encoding(text: str) -> str:
    try:
        codecs.lookup(text)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None
    return text


def _measures(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    valid = (*MEASURE_NAMES, *POSITION_MEASURE_NAMES)
    for name in names:
        if name not in valid:
            raise argparse.ArgumentTypeError(
                f"unknown measure {name!r} (valid: {', '.join(valid)})")
    if len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"a measure is listed twice: {text!r}")
    return names


def position_measures() -> tuple[str, ...]:
    """The measures that need where each occurrence is (distances between tokens)."""
    return POSITION_MEASURE_NAMES


def add_input_options(parser: argparse.ArgumentParser) -> None:
    texts = parser.add_argument_group("text input (a folder, or --text)")
    texts.add_argument("--glob", metavar="PATTERN", default="*.txt",
                       help="which files of the folder are parts (default: '*.txt'; '**/*.txt' "
                            "recurses)")
    texts.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                       help="leave out files whose path in the folder matches PATTERN, from the "
                            "right ('*.bak', 'drafts/*'); repeatable")
    texts.add_argument("--encoding", metavar="NAME", type=_encoding, default="utf-8",
                       help="text encoding of the input (default: utf-8)")
    texts.add_argument("--on-error", choices=("stop", "skip"), default="stop",
                       help="a file that cannot be read or decoded stops the run (default), or "
                            "is skipped with a warning")
    texts.add_argument("--text", action="store_true",
                       help="INPUT (a file, or - for standard input) is text with one part per "
                            "line; blank lines are skipped")
    texts.add_argument("--keep-case", action="store_true", help="do not case-fold the words")
    texts.add_argument("--token-pattern", metavar="REGEX", type=_regex, default=WORD_PATTERN,
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
    parser.add_argument("--total", metavar="N", type=_positive,
                        help="total corpus words (default: the sum of the part sizes)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT", type=Path,
                        help="folder of text files, a table, or - for standard input")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")

    out = parser.add_argument_group("output")
    out.add_argument("-o", "--output", metavar="FILE", type=Path,
                     help="write the table to FILE instead of stdout")
    out.add_argument("--format", choices=FORMATS,
                     help="output format (default: by FILE's extension: .tsv, .jsonl, "
                          ".parquet; else csv)")
    out.add_argument("--measures", metavar="NAME,...", type=_measures,
                     help="the measures to compute, in this order (default: all of them); "
                          "frequency is always written")
    out.add_argument("--da", choices=("pairwise", "sorted"), default="pairwise",
                     help="DA by its pairwise definition, with the exact bits (default), or by "
                          "the sorted O(n log n) formula (faster; may differ in the last digits)")
    out.add_argument("--positions", action="store_true",
                     help="also compute the distance-based measures from where each token "
                          "occurs (text input only)")
    out.add_argument("--precision", metavar="N", type=_digits,
                     help="write N significant digits (default: every digit)")
    out.add_argument("--sort", metavar="MEASURE", choices=("word", *MEASURE_NAMES, *POSITION_MEASURE_NAMES),
                     default="frequency",
                     help="column to sort by: word, frequency or any measure (default: "
                          "frequency)")
    direction = out.add_mutually_exclusive_group()
    direction.add_argument("--ascending", dest="descending", action="store_false", default=None,
                           help="smallest first (the default for --sort word)")
    direction.add_argument("--descending", dest="descending", action="store_true",
                           help="largest first (the default for every other column)")
    out.add_argument("--min-freq", metavar="N", type=_non_negative, default=0.0,
                     help="keep only words whose frequency is at least N (default: 0)")
    out.add_argument("--top", metavar="N", type=_count,
                     help="write only the first N rows after sorting")
    out.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                     help="progress bar on stderr (default: auto, only when stderr is a "
                          "terminal)")
    add_input_options(parser)
    return parser


def _version() -> str:
    try:
        return metadata.version("lexispan")
    except metadata.PackageNotFoundError:
        return "unknown"


def read_options(args: argparse.Namespace, positions: bool = False) -> ReadOptions:
    return ReadOptions(
        pattern=args.glob, exclude=tuple(args.exclude), encoding=args.encoding,
        skip_errors=args.on_error == "skip", token_pattern=args.token_pattern,
        keep_case=args.keep_case, text=args.text, long=args.long,
        table_format=args.table_format, sizes_row=args.sizes_row, vocabulary=args.vocab,
        drop_empty=args.drop_empty, positions=positions,
        progress=progress_enabled(args.progress))


def progress_enabled(choice: str) -> bool:
    return choice == "always" or (choice == "auto" and sys.stderr.isatty())


def _chosen_measures(args: argparse.Namespace) -> tuple[list[str], list[str]]:
    """(count measures, position measures) to compute, in output order."""
    by_counts = engine_measures()
    if args.measures is None:
        chosen = list(by_counts) + (list(position_measures()) if args.positions else [])
    else:
        chosen = args.measures
    if "frequency" in chosen:
        chosen.remove("frequency")
    chosen.insert(0, "frequency")
    needs_positions = [name for name in chosen if name not in by_counts]
    if needs_positions and not args.positions:
        raise UsageError(f"{needs_positions[0]} is computed from token positions: add "
                         f"--positions")
    if args.sort not in ("word", *chosen):
        raise UsageError(f"--sort {args.sort}: not among the measures computed (--measures)")
    return [n for n in chosen if n in by_counts], [n for n in chosen if n not in by_counts]


def _run(args: argparse.Namespace) -> None:
    source: Path = args.input
    counted, positional = _chosen_measures(args)
    if args.positions:
        if not hasattr(lexispan_table, "position_dispersion"):
            raise UsageError("--positions needs lexispan_table.position_dispersion, which "
                             "this installation lacks")
        if not is_text_input(source, read_options(args)):
            raise UsageError("--positions needs text input (a folder, or --text)")
        need("pandas", "table", "--positions")
    fmt = output_format(args.format, args.output)
    if fmt == "parquet":
        need("pyarrow", "parquet", "writing Parquet")
    output = Output(args.output, binary=fmt == "parquet")
    try:
        options = read_options(args, positions=args.positions)
        corpus = read(source, options, args.total)
        try:
            columns = compute(corpus.matrix, corpus.sizes, corpus.total, counted, args.da,
                              options.progress)
        except (ValueError, TypeError) as exc:
            raise InputError(source, str(exc)) from None
        if positional:
            columns.update(_position_columns(corpus, positional))
        columns = {name: columns[name] for name in ("frequency", *counted[1:], *positional)}
        descending = args.descending if args.descending is not None else args.sort != "word"
        rows = order(corpus.matrix.words, columns, args.sort, descending, args.min_freq,
                     args.top)
        write(output, fmt, corpus.matrix.words, columns, rows, args.precision)
        output.commit()
    finally:
        output.discard()


def _position_columns(corpus: Corpus, names: list[str]) -> dict[str, np.ndarray]:
    from lexispan_cli.positions import position_columns

    assert corpus.token_ids is not None
    return position_columns(corpus.matrix.words, corpus.token_ids, names)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["plot"]:
        from lexispan_cli.plot import main as plot_main

        status: int = plot_main(arguments[1:])
        return status
    args = build_parser().parse_args(arguments)
    return guarded(_run, args)


def guarded(run: object, args: argparse.Namespace) -> int:
    """Runs one command: an error is one line and exit status 1, an interrupt 130."""
    assert callable(run)
    try:
        run(args)
    except (InputError, UsageError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"{PROG}: error: out of memory", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`lexispan ... | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
