"""lexispan with groups and bootstrap intervals: every cell of the long table
(each word's groups, then its across row) and of the interval columns is the
library's value bit for bit; the plots with groups and intervals are real
pictures; bad requests are one error line."""

import csv
import io
import json

import numpy as np
import pytest

import lexispan_table as lt
from conftest import exact
from test_cli import run
from test_cli_inputs import one_error
from test_cli_plot import png_size

TEXTS = {"news/1.txt": "the cat sat on the mat the end", "news/2.txt": "the dog ran far",
         "talk/3.txt": "a cat and a dog and the end", "talk/4.txt": "cat cat cat here",
         "fiction/5.txt": "the the dog slept"}
MEASURES = ["range", "dp", "evenness_da"]
BOOTSTRAP = {"replicates": 25, "seed": 4, "level": 0.8}


@pytest.fixture
def corpus(tmp_path):
    for name, text in TEXTS.items():
        path = tmp_path / "corpus" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text + "\n")
    return tmp_path / "corpus"


def expected_columns(grouped):
    """The library's columns for the corpus as the command reads it (the
    parts in path order): {group or None: {column: values per word}}."""
    parts = sorted(TEXTS)
    words = list(dict.fromkeys(w for p in parts for w in TEXTS[p].split()))
    counts = np.array([[TEXTS[p].split().count(w) for p in parts] for w in words], float)
    names, groups = ["frequency", *MEASURES], [p.split("/")[0] for p in parts]
    if not grouped:
        columns = {None: {**lt.dispersion_arrays(counts, measures=names),
                          **lt.bootstrap_arrays(counts, measures=MEASURES, **BOOTSTRAP)}}
        return words, columns
    result = lt.group_dispersion_arrays(counts, groups, measures=names)
    columns = {}
    for g, label in enumerate(result.groups):
        keep = np.array(groups) == label
        columns[label] = {**{name: result.within[name][:, g] for name in names},
                          **lt.bootstrap_arrays(counts[:, keep], measures=MEASURES, **BOOTSTRAP)}
    columns[lt.ACROSS] = {**result.across, **lt.bootstrap_arrays(
        counts, measures=MEASURES, strata=groups, **BOOTSTRAP)}
    return words, columns


@pytest.mark.parametrize("how", [None, "file", "folders"])
def test_every_cell_is_the_library(corpus, tmp_path, how):
    args = ["--measures", ",".join(MEASURES), "--sort", "word", "--bootstrap", "25",
            "--seed", "4", "--level", "0.8"]
    if how == "file":
        table = tmp_path / "groups.tsv"
        table.write_text("part\tgroup\n" + "".join(f"{p}\t{p.split('/')[0]}\n" for p in TEXTS)
                         + "other/9.txt\tnews\n")
        args += ["--glob", "**/*.txt", "--groups", table]
    else:
        args += ["--groups-from-folders"] if how else ["--glob", "**/*.txt"]
    result = run(corpus, *args)
    assert result.returncode == 0, result.stderr
    assert ("1 row names no part of the corpus" in result.stderr) == (how == "file")
    header, *rows = list(csv.reader(io.StringIO(result.stdout)))
    words, columns = expected_columns(how is not None)
    keys = ["word", "group"] if how else ["word"]
    intervals = [f"{m}_{s}" for m in MEASURES for s in ("median", "low", "high")]
    assert header == [*keys, "frequency", *MEASURES, *intervals, "replicates_absent"]
    labels = list(columns)
    assert [row[:len(keys)] for row in rows] == \
        [[w, *([g] if how else [])] for w in sorted(words) for g in labels]
    for row in rows:
        expected = columns[row[1] if how else None]
        for name, cell in zip(header[len(keys):], row[len(keys):]):
            want = expected[name][words.index(row[0])].item()
            assert exact(float(cell), float(want)), (row[:len(keys)], name, cell, want)


@pytest.mark.parametrize("fmt", ["tsv", "jsonl", "parquet"])
def test_every_format_holds_the_rows_of_the_csv(corpus, tmp_path, fmt):
    args = ["--groups-from-folders", "--measures", "dp", "--sort", "word"]
    header, *rows = list(csv.reader(io.StringIO(run(corpus, *args).stdout)))
    out = tmp_path / f"table.{fmt}"
    result = run(corpus, *args, "--format", fmt, "-o", out)
    assert result.returncode == 0, result.stderr
    if fmt == "parquet":
        records = pytest.importorskip("pyarrow.parquet").read_table(out).to_pylist()
    elif fmt == "jsonl":
        records = [json.loads(line) for line in out.read_text().splitlines()]
    else:
        lines = list(csv.reader(out.read_text().splitlines(), delimiter="\t"))
        records = [dict(zip(lines[0], line)) for line in lines[1:]]
    assert [list(record) for record in records] == [header] * len(rows)
    for record, row in zip(records, rows):
        assert [record["word"], record["group"]] == row[:2]
        assert [float(record[name]) for name in header[2:]] == [float(c) for c in row[2:]]


def test_plots_with_groups_and_intervals(corpus, tmp_path):
    pytest.importorskip("matplotlib")
    where = tmp_path / "where.png"
    result = run("plot", corpus, "-o", where, "--words", "the,cat", "--groups-from-folders")
    assert result.returncode == 0, result.stderr
    assert png_size(where)[0] == 1500
    scatter = tmp_path / "scatter.png"
    result = run("plot", corpus, "--glob", "**/*.txt", "-o", scatter, "--bootstrap", "30",
                 "--seed", "1", "--label", "3")
    assert result.returncode == 0, result.stderr
    assert png_size(scatter) == (1500, 975)


@pytest.mark.parametrize("args, message", [
    (["--bootstrap", "5"], "--bootstrap needs --seed S"),
    (["--groups-from-folders", "--glob", "**/*.txt", "--exclude", "talk/*"],
     "is not inside a subfolder"),
    (["--groups", "GROUPS", "--glob", "**/*.txt"], "no group for part 'talk/4.txt'"),
    (["--groups-from-folders", "--positions"], "have no groups"),
])
def test_bad_requests_are_one_error_line(corpus, tmp_path, args, message):
    (corpus / "top.txt").write_text("stray words\n")
    groups = tmp_path / "g.csv"
    groups.write_text("".join(f"{p},x\n" for p in [*TEXTS, "top.txt"] if p != "talk/4.txt"))
    one_error(run(corpus, *[str(groups) if a == "GROUPS" else a for a in args]), message)
