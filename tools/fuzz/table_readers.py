#!/usr/bin/env python3
"""Fuzzes the command's readers with files decoded from bytes: wide CSV and TSV tables, long
tables, Matrix Market files with their vocabulary, and text with one part per line, each read
as the command reads it (lexispan_cli.corpus.read: reader, part sizes, empty parts, total).

A read may end in the command's one-line InputError; anything else, a crash or a hang is a
finding.

    python tools/fuzz/table_readers.py [libFuzzer options] [corpus folders]
"""

from __future__ import annotations

import contextlib
import io
import sys
import tempfile
from pathlib import Path

import atheris

with atheris.instrument_imports(include=["lexispan_cli"]):
    from lexispan_cli.corpus import ReadOptions, read
    from lexispan_cli.errors import InputError

FOLDER = Path(tempfile.mkdtemp(prefix="lexispan-fuzz-"))
# (file name, read options) per kind of input; the vocabulary comes second in the bytes.
KINDS = (("t.csv", {}), ("t.tsv", {}), ("t.csv", {"long": True}), ("t.tsv", {"long": True}),
         ("t.mtx", {"vocabulary": FOLDER / "v.txt"}), ("t.txt", {"text": True}),
         ("t.dat", {}), ("t.csv", {"sizes_row": "s"}))


def one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    name, options = KINDS[fdp.ConsumeIntInRange(0, len(KINDS) - 1)]
    encoding = ("utf-8", "latin-1", "utf-16")[fdp.ConsumeIntInRange(0, 2)]
    vocabulary = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    (FOLDER / "v.txt").write_bytes(vocabulary)
    source = FOLDER / name
    source.write_bytes(fdp.ConsumeBytes(fdp.remaining_bytes()))
    total = None if fdp.ConsumeBool() else 10.0
    with contextlib.redirect_stderr(io.StringIO()):
        try:
            read(source, ReadOptions(encoding=encoding, **options), total)
        except InputError:
            pass


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
