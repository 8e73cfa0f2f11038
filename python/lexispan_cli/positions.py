"""Distance-based measures: where each word occurs in the concatenated corpus,
handed to lexispan_table.position_dispersion."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

import lexispan_table

from lexispan_cli.counts import CountMatrix


def position_columns(matrix: CountMatrix, names: Sequence[str]) -> dict[str, np.ndarray]:
    assert matrix.token_ids is not None
    frame = lexispan_table.position_dispersion(matrix.positions(), int(matrix.token_ids.size),
                                               measures=list(names))
    frame = frame.reindex(list(matrix.words))
    return {name: np.asarray(frame[name].to_numpy(), dtype=np.float64) for name in names}
