"""Distance-based measures: where each word occurs in the concatenated corpus,
handed to lexispan_table.position_dispersion."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

import lexispan_table


def positions_by_word(words: Sequence[str], token_ids: np.ndarray) -> dict[str, np.ndarray]:
    """{word: ascending positions}, as positions_from_tokens gives them for the
    same token sequence, built from token ids without a list of the tokens."""
    order = np.argsort(token_ids, kind="stable").astype(np.int64, copy=False)
    counts = np.bincount(token_ids, minlength=len(words))
    return dict(zip(words, np.split(order, np.cumsum(counts)[:-1])))


def position_columns(words: Sequence[str], token_ids: np.ndarray, names: Sequence[str]
                     ) -> dict[str, np.ndarray]:
    positions = positions_by_word(words, token_ids)
    frame = lexispan_table.position_dispersion(positions, int(token_ids.size), measures=list(names))
    frame = frame.reindex(list(words))
    return {name: np.asarray(frame[name].to_numpy(), dtype=np.float64) for name in names}
