"""Progress over words for long calls: a tqdm bar where tqdm is installed, a
plain line on standard error otherwise."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager


@contextmanager
def progress_callback(total: int, enabled: bool, description: str = "words",
                      unit: str = " words") -> Iterator[Callable[[int], None] | None]:
    """Yields a callback taking the number of items (words, or the `unit`
    counted) done so far, or None when progress is off; the display is
    closed on exit."""
    if not enabled or total == 0:
        yield None
        return
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        tqdm = None
    if tqdm is not None:
        bar = tqdm(total=total, unit=unit, desc=description, file=sys.stderr,
                   dynamic_ncols=True)
        shown = 0

        def advance(done: int) -> None:
            nonlocal shown
            bar.update(done - shown)
            shown = done

        try:
            yield advance
        finally:
            bar.close()
        return

    start = time.monotonic()

    def report(done: int) -> None:
        elapsed = time.monotonic() - start
        sys.stderr.write(f"\r{description}: {done}/{total}{unit} ({100 * done // total}%) "
                         f"{elapsed:.1f}s")
        sys.stderr.flush()

    try:
        yield report
    finally:
        sys.stderr.write("\n")
        sys.stderr.flush()
