"""Which reader reads a table: the kind given by --table-format, else the
file's suffix, else a delimited table whose header line decides the
delimiter. A new format is a module with a `read` and an entry here."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO

from lexispan_cli.counts import CountMatrix
from lexispan_cli.errors import InputError
from lexispan_cli.tables import delimited, matrix_market, parquet
from lexispan_cli.tables.common import TableOptions, display, open_table
from lexispan_cli.texts import STDIN

Reader = Callable[[BinaryIO, str, TableOptions], CountMatrix]

_READERS: dict[str | None, Reader] = {
    None: delimited.read, "csv": delimited.read, "tsv": delimited.read,
    "mtx": matrix_market.read, "parquet": parquet.read,
}
TABLE_KINDS = tuple(kind for kind in _READERS if kind is not None)
_SUFFIXES = {".tsv": "tsv", ".tab": "tsv", ".csv": "csv", ".mtx": "mtx",
             ".parquet": "parquet", ".pq": "parquet"}


def table_kind(path: Path | str, given: str | None) -> str | None:
    """The kind by --table-format, else by suffix; None for a delimited table
    whose delimiter the header line decides."""
    if given is not None:
        return given
    suffix = Path(path).suffix.lower() if str(path) != STDIN else ""
    return _SUFFIXES.get(suffix)


def read_table(path: Path | str, kind: str | None, *, long: bool = False,
               sizes_row: str = "__size__", encoding: str = "utf-8",
               vocabulary: Path | None = None) -> CountMatrix:
    """The counts of a table; `sizes` is None when the table gives no part sizes."""
    options = TableOptions(table_kind(path, kind), long, sizes_row, encoding, vocabulary)
    name = display(path)
    if options.kind == "mtx" and vocabulary is None:
        raise InputError(name, "a Matrix Market file needs --vocab FILE (its words, one per "
                               "line)")
    with open_table(path) as stream:
        return _READERS[options.kind](stream, name, options)
