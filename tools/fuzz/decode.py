"""Small values and structures decoded from fuzzer bytes, shared by the harnesses."""

from __future__ import annotations

from typing import Any

import atheris
import numpy as np

# Values where the arithmetic and the checks have their edges.
SPECIALS = (0.0, -0.0, 1.0, 2.0, 3.0, 0.5, 7.0, 1e16, 2.0**53, 1e308, 5e-324, float("nan"),
            float("inf"), float("-inf"), -1.0, -2.5)
INDEX_EDGES = (0, 1, 2, -1, 3, 2**31 - 1, 2**31, 2**32, -(2**31), 2**62, 10**9)


def number(fdp: atheris.FuzzedDataProvider) -> float:
    if fdp.ConsumeBool():
        return SPECIALS[fdp.ConsumeIntInRange(0, len(SPECIALS) - 1)]
    return float(fdp.ConsumeIntInRange(0, 20))


def numbers(fdp: atheris.FuzzedDataProvider, count: int) -> np.ndarray:
    return np.array([number(fdp) for _ in range(count)], dtype=np.float64)


def index(fdp: atheris.FuzzedDataProvider, limit: int) -> int:
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return INDEX_EDGES[fdp.ConsumeIntInRange(0, len(INDEX_EDGES) - 1)]
    return fdp.ConsumeIntInRange(0, max(limit, 0))


def pick(fdp: atheris.FuzzedDataProvider, choices: tuple[Any, ...]) -> Any:
    return choices[fdp.ConsumeIntInRange(0, len(choices) - 1)]
