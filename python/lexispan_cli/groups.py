"""Corpora with structure: which group each part belongs to (a two-column
table, or the subfolder a file lies in), the measures within and across the
groups in long form, and bootstrap intervals."""

from __future__ import annotations

import argparse
import csv
import itertools
from collections.abc import Iterator, Sequence
from pathlib import Path, PurePosixPath
from typing import BinaryIO

import numpy as np

from lexispan_table import ACROSS, bootstrap_arrays, group_dispersion_arrays

from lexispan_cli.corpus import Corpus
from lexispan_cli.counts import drop_parts, take_words
from lexispan_cli.errors import InputError, UsageError, warn
from lexispan_cli.tables.common import open_table
from lexispan_cli.texts import STDIN, read_lines


def part_groups(args: argparse.Namespace, corpus: Corpus) -> list[str] | None:
    """The group of every part, in part order, or None without --groups or
    --groups-from-folders."""
    names = corpus.matrix.part_names
    if args.groups is not None:
        return read_groups(args.groups, names)
    if args.groups_from_folders:
        return folder_groups(names)
    return None


def folder_groups(part_names: Sequence[str]) -> list[str]:
    """The first folder of each part's path inside the input folder."""
    groups = []
    for name in part_names:
        path = PurePosixPath(name)
        if len(path.parts) < 2:
            raise UsageError(f"--groups-from-folders: {name} is not inside a subfolder (--glob "
                             f"'*/**/*.txt' takes only files in subfolders)")
        groups.append(path.parts[0])
    return groups


def read_groups(path: Path, part_names: Sequence[str]) -> list[str]:
    """Rows of part name and group (CSV, or TSV when the first line has a tab);
    a first row naming no part is a header. Every part needs a group; rows
    for parts the corpus lacks are reported and ignored."""
    stream = open_table(path)
    try:
        return _assign(path, csv_rows(stream, str(path)), part_names)
    finally:
        if str(path) != STDIN:
            stream.close()


def csv_rows(stream: BinaryIO, name: str) -> Iterator[tuple[int, list[str]]]:
    """The numbered rows of a CSV file, or TSV when its first line has a tab."""
    lines = read_lines(stream, name, "utf-8")
    first = next(lines, (1, ""))
    reader = csv.reader((line for _, line in itertools.chain([first], lines)),
                        delimiter="\t" if "\t" in first[1] else ",")
    for row in reader:
        yield reader.line_num, row


def _assign(path: Path, rows: Iterator[tuple[int, list[str]]], part_names: Sequence[str]
            ) -> list[str]:
    known = set(part_names)
    assigned: dict[str, str] = {}
    unknown = 0
    for number, row in rows:
        cells = [cell.strip() for cell in row]
        if not any(cells):
            continue
        if len(cells) != 2 or not all(cells):
            raise InputError(path, "expected two columns: part name, group", number)
        part, group = cells
        if part not in known:
            if number > 1 or assigned:
                unknown += 1
            continue
        if assigned.setdefault(part, group) != group:
            raise InputError(path, f"part {part!r} is given two groups ({assigned[part]!r} and "
                                   f"{group!r})", number)
    if unknown:
        warn(f"{path}: {unknown} row{'s' if unknown != 1 else ''} name{'s' if unknown == 1 else ''}"
             f" no part of the corpus (ignored)")
    missing = [name for name in part_names if name not in assigned]
    if missing:
        more = f" and {len(missing) - 1} more" if len(missing) > 1 else ""
        raise InputError(path, f"no group for part {missing[0]!r}{more}")
    return [assigned[name] for name in part_names]


def bootstrap_measures(counted: Sequence[str]) -> list[str]:
    """The measures whose intervals are written: the chosen ones but the
    frequency, or the frequency alone."""
    return [name for name in counted if name != "frequency"] or ["frequency"]


def intervals(corpus: Corpus, args: argparse.Namespace, measures: Sequence[str],
              strata: Sequence[str] | None, progress: bool, keep: np.ndarray | None = None,
              words: np.ndarray | None = None) -> dict[str, np.ndarray]:
    """The bootstrap columns of every word (or of the row numbers `words`),
    over the parts where `keep` holds."""
    matrix, sizes = corpus.matrix, corpus.sizes
    if keep is not None:
        matrix, sizes = drop_parts(matrix, keep), sizes[keep]
    if words is not None:
        matrix = take_words(matrix, words)
    try:
        return bootstrap_arrays(matrix.engine_input(), sizes, measures=list(measures),
                                replicates=args.bootstrap, level=args.level, seed=args.seed,
                                strata=strata, da=args.da, progress=progress)
    except (ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None


class LongTable:
    """Every word's rows within each group, then its row across the groups
    (group ACROSS): the columns as (words, groups + 1) arrays."""

    def __init__(self, corpus: Corpus, groups: list[str], counted: Sequence[str],
                 args: argparse.Namespace, progress: bool) -> None:
        result = group_dispersion_arrays(corpus.matrix.engine_input(), groups, corpus.sizes,
                                         corpus.total, measures=list(counted), da=args.da,
                                         progress=progress)
        self.labels = [str(label) for label in result.groups] + [ACROSS]
        self.columns = {name: np.column_stack([result.within[name], result.across[name]])
                        for name in counted}
        if args.bootstrap:
            measures = bootstrap_measures(counted)
            codes = np.array([result.groups.index(group) for group in groups])
            pieces = [intervals(corpus, args, measures, None, progress, codes == g)
                      for g in range(len(result.groups))]
            pieces.append(intervals(corpus, args, measures, groups, progress))
            for name in pieces[0]:
                self.columns[name] = np.column_stack([piece[name] for piece in pieces])

    def across(self) -> dict[str, np.ndarray]:
        return {name: values[:, -1] for name, values in self.columns.items()}

    def long(self, words: Sequence[str], word_rows: np.ndarray
             ) -> tuple[dict[str, Sequence[str]], dict[str, np.ndarray], np.ndarray]:
        """The text columns word and group, the measure columns and the row
        numbers of the chosen words, each followed by its groups in order."""
        width = len(self.labels)
        keys: dict[str, Sequence[str]] = {"word": [word for word in words for _ in range(width)],
                "group": self.labels * len(words)}
        columns: dict[str, np.ndarray] = {name: values.reshape(-1)
                                          for name, values in self.columns.items()}
        rows: np.ndarray = (word_rows[:, None] * width + np.arange(width)).reshape(-1)
        return keys, columns, rows
