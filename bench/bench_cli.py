"""The lexispan command on a corpus of many files, against plain tokenising and
counting of the same files, measured in the same run; and the share of the
run that writing the table takes, in every output format.

    python bench/bench_cli.py [--files 20000] [--tokens 10000000] [--types 200000]
                              [--repeat 1] [--keep DIR] [--old-cli DIR]

A synthetic corpus is written to a temporary folder: word ranks drawn from a
Zipf-Mandelbrot law over --types distinct words, files of log-normal length,
text with punctuation and line breaks. Each program runs as its own process;
its wall time and its peak resident memory (ru_maxrss from wait4) are shown,
and every time as a multiple of the baseline's.

baseline: read each file, bring it to NFC, case-fold it and keep
Counter(regex.findall(text)) with the command's word pattern, one Counter per
file (the least a dispersion table needs), and nothing else.
writing: in one more process, the corpus is read and its default table
(every column) computed once, then written in each format, timed alone; the
share is that time over the default run's wall time.
--old-cli DIR: also run a copy of an earlier lexispan_cli package found in DIR
(under an address-space limit of 4 GB, since it holds a dense table).
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np

from lexispan_table import DEFAULT_MEASURE_NAMES

BASELINE = textwrap.dedent("""
    import collections, re, sys, unicodedata
    from pathlib import Path
    from lexispan_table import WORD_PATTERN
    word = re.compile(WORD_PATTERN)
    counts = []
    for path in sorted(Path(sys.argv[1]).glob("*.txt")):
        text = unicodedata.normalize("NFC", path.read_text(encoding="utf-8"))
        counts.append(collections.Counter(word.findall(text.casefold())))
    print(len(counts), len(set().union(*counts)), sum(sum(c.values()) for c in counts))
""")

# The table written alone, in each format, after one reading and computing.
WRITERS = textwrap.dedent("""
    import sys, tempfile, time
    from pathlib import Path
    from lexispan_cli.corpus import ReadOptions, read
    from lexispan_cli.counts import compute
    from lexispan_cli.report import Output, order, write
    from lexispan_table import MEASURE_NAMES, WORD_PATTERN
    corpus = read(Path(sys.argv[1]), ReadOptions(token_pattern=WORD_PATTERN), None)
    columns = compute(corpus.matrix, corpus.sizes, corpus.total, MEASURE_NAMES, "sorted", False)
    rows = order(corpus.matrix.words, columns, "frequency", True, 0.0, None)
    folder = Path(tempfile.mkdtemp())
    for fmt in ("csv", "tsv", "jsonl", "parquet"):
        output = Output(folder / f"t.{fmt}", binary=fmt == "parquet")
        started = time.perf_counter(), time.process_time()
        write(output, fmt, corpus.matrix.words, columns, rows, None)
        output.commit()
        print(fmt, len(rows), len(columns), time.perf_counter() - started[0],
              time.process_time() - started[1], flush=True)
""")


def word_list(types: int, rng: np.random.Generator) -> list[str]:
    letters = np.array(list("abcdefghijklmnopqrstuvwxyzéüø"))
    words: set[str] = set()
    while len(words) < types:
        lengths = rng.integers(2, 12, size=types)
        for n in lengths:
            words.add("".join(rng.choice(letters, size=n)))
            if len(words) == types:
                break
    return sorted(words, key=len)  # short words get the frequent ranks


def make_corpus(folder: Path, files: int, tokens: int, types: int, seed: int = 20261208
                ) -> tuple[int, int]:
    rng = np.random.default_rng(seed)
    vocabulary = np.array(word_list(types, rng), dtype=object)
    ranks = np.arange(1, types + 1, dtype=np.float64)
    weights = 1.0 / (ranks + 2.7) ** 1.0
    weights /= weights.sum()
    sizes = rng.lognormal(0.0, 0.8, size=files)
    sizes = np.maximum(1, np.round(sizes / sizes.sum() * tokens)).astype(np.int64)
    drawn = rng.choice(types, size=int(sizes.sum()), p=weights)
    punctuation = np.array([" ", " ", " ", " ", " ", " ", ", ", ". ", "; ", " - ", "\n"],
                           dtype=object)
    start = 0
    for number, size in enumerate(sizes):
        ids = drawn[start:start + size]
        start += size
        words = vocabulary[ids]
        # Capitalise some words so that case folding has work to do.
        capital = rng.random(size) < 0.05
        words[capital] = [w.capitalize() for w in words[capital]]
        gaps = punctuation[rng.integers(0, len(punctuation), size=size)]
        text = "".join(w + g for w, g in zip(words, gaps))
        (folder / f"doc{number:05d}.txt").write_text(text, encoding="utf-8")
    return int(sizes.sum()), int(np.unique(drawn).size)


def run(command: list[str], limit: int | None = None
        ) -> tuple[float, float, float, int, str]:
    """Wall seconds, CPU seconds, peak resident MB, exit status and the last
    line of stderr of one process."""
    def restrict() -> None:
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    start = time.perf_counter()
    with tempfile.TemporaryFile() as err:
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=err,
                                   preexec_fn=restrict)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        message = err.read().decode(errors="replace").strip().splitlines()
    return (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, process.returncode,
            message[-1] if message else "")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=20_000)
    parser.add_argument("--tokens", type=int, default=10_000_000)
    parser.add_argument("--types", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--keep", type=Path, help="write the corpus here and keep it")
    parser.add_argument("--old-cli", type=Path, help="folder holding an older lexispan_cli")
    args = parser.parse_args()

    folder = args.keep or Path(tempfile.mkdtemp(prefix="lexispan-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    out = Path(tempfile.mkdtemp(prefix="lexispan-bench-out-"))
    try:
        if not any(folder.glob("*.txt")):
            started = time.perf_counter()
            tokens, types = make_corpus(folder, args.files, args.tokens, args.types)
            print(f"corpus: {args.files} files, {tokens:,} tokens, {types:,} types drawn "
                  f"({time.perf_counter() - started:.1f} s to write)")
        size = sum(p.stat().st_size for p in folder.glob("*.txt")) / 1e6
        print(f"folder: {folder} ({size:.1f} MB of text)")
        python = sys.executable
        lexispan = [python, "-m", "lexispan_cli"]
        cases: list[tuple[str, list[str], dict[str, str] | None, int | None]] = [
            ("baseline: tokenise + count", [python, "-c", BASELINE, str(folder)], None, None),
            ("lexispan (every column, DA sorted)",
             [*lexispan, str(folder), "-o", str(out / "all.csv")], None, None),
            ("lexispan --da pairwise", [*lexispan, str(folder), "--da", "pairwise",
                                        "-o", str(out / "pairwise.csv")], None, None),
            ("lexispan --measures (the record's 16 fields)",
             [*lexispan, str(folder), "--measures", ",".join(DEFAULT_MEASURE_NAMES[1:]),
              "-o", str(out / "record.csv")], None, None),
            ("lexispan --measures frequency,range,dp,juilland_d",
             [*lexispan, str(folder), "--measures", "frequency,range,dp,juilland_d",
              "-o", str(out / "some.csv")], None, None),
        ]
        if args.old_cli is not None:
            cases.append(("earlier lexispan_cli (4 GB limit)",
                          [python, "-c", f"import sys; sys.path.insert(0, {str(args.old_cli)!r}); "
                                         f"from lexispan_cli.cli import main; sys.exit(main())",
                           str(folder), "-o", str(out / "old.csv")], None, 4 << 30))
        base: tuple[float, float] | None = None
        default_wall = float("nan")
        print(f"{'program':<52} {'wall s':>7} {'x base':>6} {'CPU s':>7} {'x base':>6} "
              f"{'peak MB':>8}  status")
        for name, command, _, limit in cases:
            best = None
            for _ in range(args.repeat):
                result = run(command, limit)
                if best is None or result[0] < best[0]:
                    best = result
            assert best is not None
            wall, cpu, peak, status, message = best
            if base is None:
                base = (wall, cpu)
            note = "ok" if status == 0 else f"exit {status}: {message[:60]}"
            print(f"{name:<52} {wall:7.2f} {wall / base[0]:6.2f} {cpu:7.2f} {cpu / base[1]:6.2f} "
                  f"{peak:8.0f}  {note}", flush=True)
            if name.startswith("lexispan (every column"):
                default_wall = wall
        rows = sum(1 for _ in open(out / "all.csv", encoding="utf-8")) - 1
        print(f"rows written: {rows:,}")
        writers = subprocess.run([python, "-c", WRITERS, str(folder)], capture_output=True,
                                 text=True, check=True).stdout.split("\n")
        print(f"{'writing alone':<26} {'rows':>8} {'cols':>4} {'wall s':>7} {'CPU s':>7} "
              f"{'of the default run':>18}")
        for line in filter(None, writers):
            fmt, count, width, seconds, cpu = line.split()
            print(f"{fmt:<26} {int(count):>8,} {width:>4} {float(seconds):7.2f} {float(cpu):7.2f} "
                  f"{float(seconds) / default_wall:18.1%}")
    finally:
        shutil.rmtree(out, ignore_errors=True)
        if args.keep is None:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
