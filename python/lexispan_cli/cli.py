"""The ``lexispan`` command: its options and the order of the work."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from lexispan_table import MEASURE_NAMES, POSITION_MEASURE_NAMES, __version__

from lexispan_cli import keyness, options, plot, plot_keyness
from lexispan_cli.corpus import Corpus, is_text_input, read
from lexispan_cli.counts import compute
from lexispan_cli.errors import PROG, InputError, UsageError, guarded, need
from lexispan_cli.groups import LongTable, bootstrap_measures, intervals, part_groups
from lexispan_cli.positions import position_columns
from lexispan_cli.output_files import Output
from lexispan_cli.report import order, output_format, write

DESCRIPTION = """\
Compute dispersion measures for every word of a corpus and write them as a
table: word, frequency, then the measures.

INPUT is a folder of text files (each file one corpus part), a text file or
stream with one part per line (--text), or a table of counts: CSV/TSV with a
column per part, or rows of word, part, count (--long), Matrix Market (.mtx,
with --vocab), or Parquet. "-" reads standard input.

With --groups FILE or --groups-from-folders, the table is in long form: for
every word, one row per group of parts (the measures over that group's parts)
and one row across the groups (group "across": the groups taken as parts).
--bootstrap B --seed S adds the median and the limits at --level of each
measure over B replicates of the parts drawn with replacement (within each
group, and stratified by group across them).

'lexispan plot ...' draws frequency against a measure, or where words occur
('lexispan plot --help'). 'lexispan keyness TARGET REFERENCE' compares two
corpora ('lexispan keyness --help')."""

EPILOG = """\
Numbers are written with every digit of the double (Python's repr), so reading
them back with float() gives the exact value, unless --precision is given;
"nan" and "inf" are written as such (null in JSON Lines)."""


def build_parser() -> argparse.ArgumentParser:
    parser = options.Parser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT", type=Path,
                        help="folder of text files, a table, or - for standard input")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")

    out = parser.add_argument_group("output")
    options.add_output_options(out)
    out.add_argument("--measures", metavar="NAME,...", type=options.measures,
                     help="the measures to compute, in this order, or all (default: all of "
                          "them); frequency is always written")
    options.add_engine_options(out)
    options.add_level_option(out)
    out.add_argument("--positions", action="store_true",
                     help="also compute the distance-based measures from where each token "
                          "occurs (text input only)")
    out.add_argument("--precision", metavar="N", type=options.digits,
                     help="write N significant digits (default: every digit)")
    out.add_argument("--sort", metavar="MEASURE", default="frequency", type=options.sort_key,
                     help="column to sort by: word, frequency or any measure (default: "
                          "frequency)")
    options.add_row_options(out, "keep only words whose frequency is at least N (default: 0)")
    options.add_progress_option(out)
    options.add_structure_options(parser, "add each measure's bootstrap median and limits over "
                                          "B replicates (with --seed)", with_level=False)
    options.add_input_options(parser)
    return parser


def _chosen_measures(args: argparse.Namespace) -> tuple[list[str], list[str]]:
    """(count measures, position measures) to compute, in output order."""
    by_counts = MEASURE_NAMES
    if args.measures is None:
        chosen = list(by_counts) + (list(POSITION_MEASURE_NAMES) if args.positions else [])
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
    options.check_structure(args)
    counted, positional = _chosen_measures(args)
    if positional and (args.groups is not None or args.groups_from_folders):
        raise UsageError("the distance-based measures (--positions) have no groups")
    if args.positions:
        if not is_text_input(source, options.read_options(args)):
            raise UsageError("--positions needs text input (a folder, or --text)")
        need("pandas", "table", "--positions")
    fmt = output_format(args.format, args.output)
    if fmt == "parquet":
        need("pyarrow", "parquet", "writing Parquet")
    output = Output(args.output, binary=fmt == "parquet")
    try:
        chosen = options.read_options(args, positions=args.positions)
        corpus = read(source, chosen, args.total)
        groups = part_groups(args, corpus)
        if groups is not None:
            _write_groups(args, output, fmt, corpus, groups, counted, chosen.progress)
            output.commit()
            return
        try:
            columns = compute(corpus.matrix, corpus.sizes, corpus.total, counted, args.da,
                              chosen.progress, args.threads, args.level)
        except (ValueError, TypeError) as exc:
            raise InputError(source, str(exc)) from None
        if args.bootstrap:
            columns.update(intervals(corpus, args, bootstrap_measures(counted), None,
                                     chosen.progress))
        if positional:
            columns.update(position_columns(corpus.matrix, positional))
        columns = {name: columns[name] for name in
                   ("frequency", *counted[1:], *positional, *_interval_names(columns))}
        descending = args.descending if args.descending is not None else args.sort != "word"
        rows = order(corpus.matrix.words, columns, args.sort, descending, args.min_freq,
                     args.top)
        write(output, fmt, corpus.matrix.words, columns, rows, args.precision)
        output.commit()
    finally:
        output.discard()


def _interval_names(columns: dict[str, np.ndarray]) -> list[str]:
    names = [name for name in columns if name.endswith(("_median", "_low", "_high"))]
    return names + (["replicates_absent"] if "replicates_absent" in columns else [])


def _write_groups(args: argparse.Namespace, output: Output, fmt: str, corpus: Corpus,
                  groups: list[str], counted: list[str], progress: bool) -> None:
    """The long table: each word's rows within its groups, then across them,
    the words ordered by their values across the groups."""
    try:
        table = LongTable(corpus, groups, counted, args, progress)
    except (ValueError, TypeError) as exc:
        raise InputError(args.input, str(exc)) from None
    words = corpus.matrix.words
    across = table.across()
    descending = args.descending if args.descending is not None else args.sort != "word"
    word_rows = order(words, across, args.sort, descending, args.min_freq, args.top)
    keys, columns, rows = table.long(words, word_rows)
    write(output, fmt, words, columns, rows, args.precision, keys=keys)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["keyness"]:
        return keyness.main(arguments[1:])
    if arguments[:2] == ["plot", "keyness"]:
        return plot_keyness.main(arguments[2:])
    if arguments[:1] == ["plot"]:
        return plot.main(arguments[1:])
    args = build_parser().parse_args(arguments)
    return guarded(_run, args)

