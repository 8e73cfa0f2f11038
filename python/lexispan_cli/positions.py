"""Distance-based measures: where each word occurs in the concatenated corpus,
handed to lexispan_table.position_dispersion."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

import lexispan_table


def positions_by_word(words: Sequence[str], token_ids: np.ndarray) -> dict[str, np.ndarray]:
    """{word: ascending positions}, as positions_from_tokens gives them for the
    same token sequence, built from token ids without a list of the tokens."""
    table: Any = lexispan_table
    # The numbering (first position, dtype) is the table layer's; ask it once.
    probe = np.asarray(table.positions_from_tokens(["w"])["w"])
    base = int(probe[0])
    order = np.argsort(token_ids, kind="stable")
    counts = np.bincount(token_ids, minlength=len(words))
    positions = (order + base).astype(probe.dtype, copy=False)
    return dict(zip(words, np.split(positions, np.cumsum(counts)[:-1])))


def position_columns(words: Sequence[str], token_ids: np.ndarray, names: Sequence[str]
                     ) -> dict[str, np.ndarray]:
    table: Any = lexispan_table
    positions = positions_by_word(words, token_ids)
    frame = table.position_dispersion(positions, int(token_ids.size), measures=list(names))
    frame = frame.reindex(list(words))
    return {name: np.asarray(frame[name].to_numpy(), dtype=np.float64) for name in names}
