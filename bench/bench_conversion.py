"""Time calculate_batch_metrics on the same matrix given in different forms.

    python bench/bench_conversion.py [--rows 20000] [--columns 2000] [--repeat 3]

"convert" is a call whose part sizes are one entry short, so it ends at the
row-length check right after the conversions; "batch" is the whole call.
Every form must give the same records, bit for bit, before a time is shown.
"""

import argparse
import struct
import time

import numpy as np

from lexispan import CorpusWordAnalyzer
from reference_python import FIELDS


def fingerprint(records):
    out = []
    for record in records:
        for name in FIELDS:
            value = getattr(record, name)
            out.append(struct.pack("<d", value) if isinstance(value, float) else value)
    return out


class Total(float):
    """A float subclass: its conversion may run Python code, so the matrix is copied."""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--columns", type=int, default=2_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", default="")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    matrix = rng.integers(0, 50, size=(args.rows, args.columns)).astype(np.float64)
    sizes = [1000.0 + i for i in range(args.columns)]
    total = float(sum(sizes))

    forms = {
        "list of lists": lambda: (matrix.tolist(), total),
        "float64 array, in place": lambda: (matrix, total),
        "float64 array, one copy": lambda: (matrix, Total(total)),
        "int64 array": lambda: (matrix.astype(np.int64), total),
        "list of 1-D arrays": lambda: (list(matrix), total),
        "Fortran-order array": lambda: (np.asfortranarray(matrix), total),
    }
    if args.only:
        forms = {k: v for k, v in forms.items() if k in args.only.split(";")}

    reference = None
    for label, make in forms.items():
        given, given_total = make()
        expected = f"Row 0 has length {args.columns}, expected {args.columns - 1}"
        convert = batch = float("inf")
        for _ in range(args.repeat):
            start = time.perf_counter()
            try:
                CorpusWordAnalyzer.calculate_batch_metrics(given, sizes[:-1], given_total)
            except ValueError as error:
                assert str(error) == expected, error
            convert = min(convert, time.perf_counter() - start)
            start = time.perf_counter()
            records = CorpusWordAnalyzer.calculate_batch_metrics(given, sizes, given_total)
            batch = min(batch, time.perf_counter() - start)
        result = fingerprint(records)
        if reference is None:
            reference = result
        assert result == reference, label
        del records, result, given
        print(f"{label:26s} convert {convert:7.3f} s   batch {batch:7.3f} s")


if __name__ == "__main__":
    main()
