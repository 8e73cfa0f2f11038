"""The lexispan command, run as an installed program: inputs, options, numbers and errors."""

import csv
import io
import math
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import lexispan_table
from conftest import bits

from lexispan import CorpusWordAnalyzer, DispersionMetrics

SCRIPT = shutil.which("lexispan", path=str(Path(sys.executable).parent))
COMMAND = [SCRIPT] if SCRIPT else [sys.executable, "-m", "lexispan_cli"]


def run(*args, cwd=None):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd)


def table(result, delimiter=",", stderr=""):
    assert result.returncode == 0, result.stderr
    assert result.stderr == stderr  # no progress line when stderr is not a terminal
    rows = list(csv.reader(io.StringIO(result.stdout), delimiter=delimiter))
    return rows[0], {row[0]: row for row in rows[1:]}


def assert_row_is_exact(cells, header, counts, sizes, total):
    expected = CorpusWordAnalyzer(counts, sizes, total).calculate_all_metrics()
    assert float(cells[1]) == sum(counts)
    for name, cell in zip(header[2:], cells[2:]):
        if not hasattr(type(expected), name):
            continue  # the catalogue columns are checked against the table API
        want = getattr(expected, name)
        if name == "range":
            assert int(cell) == want
        else:
            assert bits(float(cell)) == bits(want), name


@pytest.fixture
def corpus(tmp_path):
    folder = tmp_path / "corpus"
    folder.mkdir()
    (folder / "a.txt").write_text("The cat sat. The cat's hat!\n", encoding="utf-8")
    (folder / "b.txt").write_text("A well-known CAT; the_dog -- done 42\n", encoding="utf-8")
    (folder / "c.txt").write_text("\ufeffÜber über UBER Strasse straße\n", encoding="utf-8")
    (folder / "README").write_text("not a part\n")
    (folder / ".hidden.txt").write_text("not a part either\n")
    return folder


# Token counts of a.txt, b.txt and c.txt under the default rule.
SIZES = [6, 7, 5]


def test_folder_tokens_counts_and_exact_numbers(corpus):
    header, rows = table(run(corpus, "--da", "pairwise"))
    assert header[:2] == ["word", "frequency"]
    record_fields = [name for name, attr in vars(DispersionMetrics).items()
                     if type(attr).__name__ == "getset_descriptor"]
    assert header[2:] == list(lexispan_table.MEASURE_NAMES[1:])
    assert header[2:18] == record_fields
    freq = {word: cells[1] for word, cells in rows.items()}
    assert freq["the"] == "3"  # "The" twice in a.txt, "the" from "the_dog"
    assert freq["cat's"] == "1" and freq["well-known"] == "1" and freq["42"] == "1"
    assert freq["über"] == "2" and freq["uber"] == "1"
    assert freq["strasse"] == "2"  # casefold maps ß to ss
    assert "dog" in freq and "_" not in "".join(freq) and "not" not in freq
    assert_row_is_exact(rows["cat"], header, [1, 1, 0], SIZES, sum(SIZES))
    assert_row_is_exact(rows["the"], header, [2, 1, 0], SIZES, sum(SIZES))


def test_keep_case_and_own_token_rule(corpus):
    _, rows = table(run(corpus, "--keep-case"))
    assert rows["The"][1] == "2" and rows["the"][1] == "1" and rows["CAT"][1] == "1"
    _, rows = table(run(corpus, "--token-pattern", "[a-z]+", "--keep-case"))
    assert set(rows) >= {"he", "cat", "s", "well", "known", "dog", "ber", "trasse", "stra", "e"}
    assert "The" not in rows and "42" not in rows


def test_glob_selects_the_parts(corpus):
    (corpus / "sub").mkdir()
    (corpus / "sub" / "d.txt").write_text("zebra zebra\n")
    (corpus / ".git").mkdir()
    (corpus / ".git" / "e.txt").write_text("hidden\n")
    _, rows = table(run(corpus))
    assert "zebra" not in rows
    header, rows = table(run(corpus, "--glob", "**/*.txt", "--da", "pairwise"))
    assert_row_is_exact(rows["zebra"], header, [0, 0, 0, 2], [*SIZES, 2], sum(SIZES) + 2)


TABLE = [
    ["word", "p1", "p2", "p3"],
    ["alpha", "3", "0", "1"],
    ["beta", "2.5", "2.5", "0"],
    ["gamma", "0", "0", "0"],
]


SUMS_NOTE = "lexispan: note: {path}: the part sizes are the column sums (the table has no '__size__' row)\n"


@pytest.mark.parametrize("suffix, delimiter", [(".csv", ","), (".tsv", "\t"), (".dat", "\t")])
@pytest.mark.parametrize("with_sizes", [True, False])
def test_table_input(tmp_path, suffix, delimiter, with_sizes):
    lines = TABLE + ([["__size__", "100", "50", "150"]] if with_sizes else [])
    path = tmp_path / f"freq{suffix}"
    path.write_text("\n".join(delimiter.join(line) for line in lines) + "\n", encoding="utf-8")
    sizes = [100, 50, 150] if with_sizes else [5.5, 2.5, 1.0]
    note = "" if with_sizes else SUMS_NOTE.format(path=path)
    header, rows = table(run(path, "--da", "pairwise"), stderr=note)
    assert set(rows) == {"alpha", "beta", "gamma"}
    assert rows["alpha"][1] == "4" and rows["beta"][1] == "5" and rows["gamma"][1] == "0"
    for word, *counts in TABLE[1:]:
        assert_row_is_exact(rows[word], header, [float(c) for c in counts], sizes, sum(sizes))


def test_table_sizes_row_name_and_total(tmp_path):
    path = tmp_path / "freq.csv"
    path.write_text("w,a,b\nx,1,2\nTOTALS,10,30\n")
    header, rows = table(run(path, "--sizes-row", "TOTALS", "--total", "50", "--da", "pairwise"))
    assert set(rows) == {"x"}
    assert_row_is_exact(rows["x"], header, [1, 2], [10, 30], 50)
    # Without the option the TOTALS row is an ordinary word.
    _, rows = table(run(path), stderr=SUMS_NOTE.format(path=path))
    assert set(rows) == {"x", "TOTALS"}


def test_output_file_and_format(corpus, tmp_path):
    out = tmp_path / "out.tsv"
    result = run(corpus, "-o", out)
    assert result.returncode == 0 and result.stdout == "" and result.stderr == ""
    from_file = list(csv.reader(io.StringIO(out.read_text(encoding="utf-8")), delimiter="\t"))
    header, rows = table(run(corpus, "--format", "tsv"), "\t")
    assert from_file[0] == header and {r[0]: r for r in from_file[1:]} == rows


def column(result, name):
    header, _ = table(result)
    rows = list(csv.reader(io.StringIO(result.stdout)))[1:]
    return [row[header.index(name)] for row in rows]


@pytest.mark.parametrize("measure", ["frequency", "dp", "juilland_d", "range", "evenness_da"])
@pytest.mark.parametrize("ascending", [False, True])
def test_sort_by_any_measure(corpus, measure, ascending):
    args = ["--sort", measure] + (["--ascending"] if ascending else [])
    values = [float(v) for v in column(run(corpus, *args), measure)]
    assert values == sorted(values, reverse=not ascending)
    words = column(run(corpus, *args), "word")
    # Ties keep alphabetical order.
    for (v1, w1), (v2, w2) in zip(zip(values, words), zip(values[1:], words[1:])):
        assert v1 != v2 or w1 < w2


def test_default_order_and_word_sort(corpus):
    assert column(run(corpus), "word")[:2] == ["the", "cat"]
    words = column(run(corpus, "--sort", "word"), "word")
    assert words == sorted(words)
    assert column(run(corpus, "--sort", "word", "--descending"), "word") == words[::-1]


def test_min_freq_and_top(corpus):
    freqs = [int(f) for f in column(run(corpus, "--min-freq", "2"), "frequency")]
    assert freqs and min(freqs) >= 2
    assert len(freqs) == sum(1 for f in column(run(corpus), "frequency") if int(f) >= 2)
    assert column(run(corpus, "--top", "3"), "word") == column(run(corpus), "word")[:3]
    assert column(run(corpus, "--top", "0"), "word") == []
    assert column(run(corpus, "--min-freq", "2", "--top", "1", "--sort", "word"), "word") == ["cat"]


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


# name: (make the input under a temporary folder, expected error text[, extra arguments])
BAD_INPUTS = {
    "missing path": (lambda d: d / "nowhere", "nowhere: no such file or directory"),
    "no text files": (lambda d: write(d / "f" / "notes.md", b"x").parent, "f: no files matching '*.txt'"),
    "empty corpus": (lambda d: write(d / "f" / "a.txt", b" ... !\n").parent, "f: no words in any of the 1 files"),
    "undecodable text": (lambda d: write(d / "f" / "a.txt", b"ok\nfine \xff\n").parent, "a.txt:2: not valid UTF-8"),
    "undecodable table": (lambda d: write(d / "t.csv", b"w,a\nx,1\n\xc3(,1\n"), "t.csv:3: not valid UTF-8"),
    "empty table": (lambda d: write(d / "t.csv", b""), "t.csv: empty table"),
    "header only": (lambda d: write(d / "t.csv", b"w,a,b\n"), "t.csv: no word rows"),
    "one column": (lambda d: write(d / "t.csv", b"w\nx\n"), "t.csv:1: the header needs"),
    "ragged row": (lambda d: write(d / "t.csv", b"w,a,b\nx,1,2\ny,1\n"), "t.csv:3: row has 2 cells, the header has 3"),
    "non-numeric": (lambda d: write(d / "t.tsv", b"w\ta\tb\nx\t1\tabc\n"), "t.tsv:2: column 2 ('b'): 'abc' is not a count"),
    "negative": (lambda d: write(d / "t.csv", b"w,a\nx,-1\n"), "t.csv:2: column 1 ('a'): '-1' is not a count"),
    "nan": (lambda d: write(d / "t.csv", b"w,a\nx,nan\n"), "t.csv:2: column 1 ('a'): 'nan' is not a count"),
    "underscore": (lambda d: write(d / "t.csv", b"w,a\nx,1_0\n"), "t.csv:2: column 1 ('a'): '1_0' is not a count"),
    "empty cell": (lambda d: write(d / "t.csv", b"w,a,b\nx,1,\n"), "t.csv:2: column 2 ('b'): an empty cell"),
    "duplicate word": (lambda d: write(d / "t.csv", b"w,a\nx,1\ny,2\nx,3\n"), "t.csv:4: duplicate word 'x' (first on line 2)"),
    "zero sizes": (lambda d: write(d / "t.csv", b"w,a\nx,0\n"), "t.csv: the part sizes add up to 0"),
    "absolute glob": (lambda d: write(d / "f" / "a.txt", b"x").parent, "f: bad --glob pattern", ("--glob", "/x")),
    "bad quoting": (lambda d: write(d / "t.csv", b'w,a\n"x"y,1\n'), "t.csv:2: malformed table"),
    "plain text": (lambda d: write(d / "notes.txt", b"It was night.\nThe end.\n"), "notes.txt:1: the header needs a word column and at least one part column; is this plain text? (--text reads one part per line"),
    "tabs in a .csv": (lambda d: write(d / "t.csv", b"w\ta\tb\nx\t1\t2\n"), "t.csv:1: the header needs a word column and at least one part column; it holds tabs: a tab-separated table? (--table-format tsv)"),
    "UTF-16 table": (lambda d: write(d / "t.csv", "w,a\nx,1\n".encode("utf-16")), "t.csv:1: not valid UTF-8 (byte 0xff); it starts with a UTF-16 byte-order mark: --encoding utf-16"),
    "output extension": (lambda d: write(d / "f" / "a.txt", b"x").parent, "r.xlsx: '.xlsx' is not an output format (known: .csv, .tsv", ("-o", "r.xlsx")),
}


@pytest.mark.parametrize("make, message, args", [(*case, ())[:3] for case in BAD_INPUTS.values()],
                         ids=BAD_INPUTS.keys())
def test_bad_input_is_one_error_line(tmp_path, make, message, args):
    result = run(make(tmp_path), *args)
    assert result.returncode == 1
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("lexispan: error: ")
    assert message in result.stderr


def test_unreadable_part_and_unwritable_output(corpus, tmp_path):
    (corpus / "gone.txt").symlink_to(tmp_path / "missing-target")
    result = run(corpus)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.strip().endswith("gone.txt: cannot read: No such file or directory")
    (corpus / "gone.txt").unlink()
    result = run(corpus, "-o", tmp_path / "no" / "such" / "dir.csv")
    assert result.returncode == 1 and result.stderr.count("\n") == 1
    assert "dir.csv: cannot write" in result.stderr


@pytest.mark.parametrize("args", [["--sort", "nonsense"], ["--top", "-1"], ["--min-freq", "x"],
                                  ["--token-pattern", "("], ["--total", "0"], []])
def test_usage_errors(corpus, args):
    result = run(*([corpus] if args else []), *args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr


def test_examples_corpus_runs(tmp_path):
    examples = Path(__file__).resolve().parent.parent / "examples" / "licenses"
    if not examples.is_dir():
        pytest.skip("examples not present")
    header, rows = table(run(examples, "--top", "15"))
    assert len(rows) == 15 and "the" in rows
    assert all(cells[header.index("range")] in "1234567" for cells in rows.values())
    assert all(math.isfinite(float(c)) for cells in rows.values() for c in cells[1:])
