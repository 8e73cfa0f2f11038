#!/usr/bin/env python3
"""Fuzzes lexispan_table.position_dispersion (and positions_from_tokens) with position arrays
decoded from bytes: sorted or not, repeated, negative, at and past the corpus length, of every
integer dtype, as a mapping, a Series or a list, with the corpus lengths at the edges.

A call may raise ValueError or TypeError; anything else, a crash or a hang is a finding. Arrays
that keep the rule must give every word the values it gets alone.

    python tools/fuzz/positions.py [libFuzzer options] [corpus folders]
"""

from __future__ import annotations

import os
import sys
import warnings

import atheris

with atheris.instrument_imports(include=["lexispan_table"]):
    import lexispan_table as lt

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from decode import index, pick  # noqa: E402

warnings.simplefilter("ignore")
DTYPES = (np.int64, np.int32, np.uint64, np.uint8, np.int16, np.float64)
LENGTHS = (1, 2, 7, 100, 2**31, 2**63 - 1, 0, -1, 2**63)


def one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    length = LENGTHS[fdp.ConsumeIntInRange(0, len(LENGTHS) - 1)] if fdp.ConsumeBool() \
        else fdp.ConsumeIntInRange(1, 60)
    arrays = []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        values = [index(fdp, 60) for _ in range(fdp.ConsumeIntInRange(0, 8))]
        if fdp.ConsumeBool():
            values = sorted(set(values))
        try:
            arrays.append(np.array(values).astype(pick(fdp, DTYPES)))
        except OverflowError:
            arrays.append(values)
    positions = ({f"w{i}": a for i, a in enumerate(arrays)} if fdp.ConsumeBool() else arrays)
    options = dict(threads=fdp.ConsumeIntInRange(1, 3),
                   measures=pick(fdp, (None, ["arf"], ["awt", "ald"], ["f_ald"])))
    try:
        table = lt.position_dispersion(positions, length, **options)
    except (ValueError, TypeError, OverflowError):
        return
    for row, array in enumerate(arrays):
        alone = lt.position_dispersion([array], length, **options)
        assert table.iloc[row].to_numpy().tobytes() == alone.iloc[0].to_numpy().tobytes()
    tokens = [f"t{fdp.ConsumeIntInRange(0, 3)}" for _ in range(fdp.ConsumeIntInRange(0, 20))]
    grouped = lt.positions_from_tokens(tokens)
    assert sum(len(v) for v in grouped.values()) == len(tokens)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
