"""The lexispan command on every kind of input: folders (exclusions, encodings,
bad files, links, empty parts), text streams, long tables, Matrix Market,
Parquet and standard input. Numbers are checked against the record of the
same counts, bit for bit."""

import csv
import io
import os
import random
import subprocess

import pytest

from conftest import FIELDS, bits
from lexispan import CorpusWordAnalyzer
from test_cli import COMMAND, run, table

ERROR = "lexispan: error: "


def stdin_run(data, *args):
    return subprocess.run([*COMMAND, "-", *map(str, args)], input=data, capture_output=True,
                          timeout=120)


def rows_of(result, delimiter=","):
    text = result.stdout if isinstance(result.stdout, str) else result.stdout.decode()
    rows = list(csv.reader(io.StringIO(text), delimiter=delimiter))
    return rows[0], {row[0]: row for row in rows[1:]}


def expect_record(header, rows, matrix, sizes, total=None):
    """Every written cell equals the record of the dense row (and the row sum)."""
    words = list(matrix)
    total = sum(sizes) if total is None else total
    records = CorpusWordAnalyzer.calculate_batch_metrics([matrix[w] for w in words], sizes, total)
    assert set(rows) == set(words)
    for word, record in zip(words, records):
        cells = rows[word]
        assert float(cells[1]) == sum(matrix[word])
        for name, cell in zip(header[2:], cells[2:]):
            if name not in FIELDS:
                continue  # the catalogue columns are checked against the table API
            want = getattr(record, name)
            assert (int(cell) == want) if name == "range" else bits(float(cell)) == bits(want), \
                (word, name)


def one_error(result, message):
    stderr = result.stderr if isinstance(result.stderr, str) else result.stderr.decode()
    assert result.returncode == 1, stderr
    assert not result.stdout
    assert stderr.count("\n") == 1 and stderr.startswith(ERROR), stderr
    assert "Traceback" not in stderr
    assert message in stderr, stderr


@pytest.fixture
def random_corpus(tmp_path):
    """Forty files over a Zipf-like vocabulary, some words in one file only."""
    rng = random.Random(15)
    vocabulary = [f"w{i}" for i in range(300)]
    weights = [1 / (i + 1) for i in range(300)]
    folder = tmp_path / "random"
    folder.mkdir()
    counts = {}
    for part in range(40):
        tokens = rng.choices(vocabulary, weights, k=rng.randint(1, 400))
        (folder / f"p{part:02d}.txt").write_text(" ".join(tokens), encoding="utf-8")
        for token in tokens:
            counts.setdefault(token, [0] * 40)[part] += 1
    sizes = [sum(row[p] for row in counts.values()) for p in range(40)]
    return folder, counts, sizes


def test_sparse_folder_counts_give_the_records_bits(random_corpus):
    folder, counts, sizes = random_corpus
    header, rows = table(run(folder, "--da", "pairwise"))
    assert header[2:18] == list(FIELDS)
    expect_record(header, rows, counts, sizes)


def test_sorted_da_equals_the_table_function_on_the_same_matrix(random_corpus):
    sparse = pytest.importorskip("scipy.sparse")
    import numpy as np
    from lexispan_table import dispersion_arrays

    folder, counts, sizes = random_corpus
    header, rows = table(run(folder, "--da", "sorted"))
    words = list(counts)
    matrix = sparse.csr_array(np.array([counts[w] for w in words], dtype=np.float64))
    expected = dispersion_arrays(matrix, da="sorted", measures="all")
    for i, word in enumerate(words):
        for name, cell in zip(header[1:], rows[word][1:]):
            want = expected[name][i]
            assert (int(cell) == want) if name == "range" else \
                bits(float(cell)) == bits(float(want)), (word, name)


def test_sorted_da_changes_only_da(random_corpus):
    folder, counts, sizes = random_corpus
    header, exact_rows = table(run(folder, "--da", "pairwise"))
    _, sorted_rows = table(run(folder, "--da", "sorted"))
    for word, cells in exact_rows.items():
        for name, a, b in zip(header, cells, sorted_rows[word]):
            if name in ("evenness_da", "ft_adjusted_by_da"):
                assert float(b) == pytest.approx(float(a), rel=1e-9, abs=1e-12)
            else:
                assert a == b


def test_exclude_patterns(tmp_path):
    folder = tmp_path / "f"
    for name in ("a.txt", "b.txt", "drafts/c.txt", "keep/d.txt"):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(f"word {name[-5]}\n")
    _, rows = table(run(folder, "--glob", "**/*.txt", "--exclude", "drafts/*", "--exclude", "b.*"))
    assert set(rows) == {"word", "a", "d"} and rows["word"][1] == "2"
    one_error(run(folder, "--exclude", "*.txt"), "no files matching '*.txt' that are not excluded")


def test_encoding(tmp_path):
    folder = tmp_path / "f"
    folder.mkdir()
    (folder / "a.txt").write_bytes("café naïve café\n".encode("latin-1"))
    _, rows = table(run(folder, "--encoding", "latin-1"))
    assert rows["café"][1] == "2" and rows["naïve"][1] == "1"
    one_error(run(folder), "a.txt:1: not valid UTF-8 (byte 0xe9)")
    (folder / "a.txt").write_bytes("x\ny\n".encode("utf-16"))
    one_error(run(folder, "--encoding", "ascii"), "a.txt:1: not valid ascii (byte 0xff)")
    _, rows = table(run(folder, "--encoding", "utf-16"))
    assert set(rows) == {"x", "y"}
    result = run(folder, "--encoding", "no-such-codec")
    assert result.returncode == 2 and "unknown encoding" in result.stderr


def test_on_error_skip_names_each_skipped_file(tmp_path):
    folder = tmp_path / "f"
    folder.mkdir()
    (folder / "a.txt").write_text("one two\n")
    (folder / "b.txt").write_bytes(b"bad \xff byte\n")
    (folder / "c.txt").write_text("two three\n")
    (folder / "d.txt").symlink_to(tmp_path / "missing")
    one_error(run(folder), "b.txt:1: not valid UTF-8")
    result = run(folder, "--on-error", "skip", "--da", "pairwise")
    assert result.returncode == 0
    warnings = result.stderr.splitlines()
    assert len(warnings) == 2 and all(w.startswith("lexispan: warning: ") for w in warnings)
    assert "b.txt:1: not valid UTF-8 (byte 0xff) (skipped)" in warnings[0]
    assert "d.txt: cannot read: No such file or directory (skipped)" in warnings[1]
    header, rows = rows_of(result)
    expect_record(header, rows, {"one": [1, 0], "two": [1, 1], "three": [0, 1]}, [2, 2])
    # Nothing readable at all is still an error.
    (folder / "a.txt").unlink()
    (folder / "c.txt").unlink()
    result = run(folder, "--on-error", "skip")
    assert result.returncode == 1 and result.stderr.splitlines()[-1].endswith(
        "f: no file could be read")


def test_a_file_reached_twice_counts_once(tmp_path):
    folder = tmp_path / "f"
    folder.mkdir()
    (folder / "a.txt").write_text("x y\n")
    (folder / "b.txt").write_text("y\n")
    (folder / "c.txt").symlink_to(folder / "a.txt")
    result = run(folder, "--da", "pairwise")
    assert result.returncode == 0
    assert result.stderr == f"lexispan: note: {folder / 'c.txt'}: the same file as " \
                            f"{folder / 'a.txt'}, counted once\n"
    header, rows = rows_of(result)
    expect_record(header, rows, {"x": [1, 0], "y": [1, 1]}, [2, 1])


def test_empty_parts_are_named_and_can_be_dropped(tmp_path):
    folder = tmp_path / "f"
    folder.mkdir()
    (folder / "a.txt").write_text("x y y\n")
    (folder / "b.txt").write_text("")
    (folder / "c.txt").write_text(" -- ... \n")
    (folder / "d.txt").write_text("y z\n")
    result = run(folder, "--da", "pairwise")
    assert result.returncode == 0
    assert result.stderr.splitlines() == [
        f"lexispan: warning: {name}: an empty part (no words); it still counts as a part, "
        f"--drop-empty leaves it out" for name in ("b.txt", "c.txt")]
    header, rows = rows_of(result)
    expect_record(header, rows, {"x": [1, 0, 0, 0], "y": [2, 0, 0, 1], "z": [0, 0, 0, 1]},
                  [3, 0, 0, 2])
    dropped = run(folder, "--drop-empty", "--da", "pairwise")
    header, rows = table(dropped)
    expect_record(header, rows, {"x": [1, 0], "y": [2, 1], "z": [0, 1]}, [3, 2])


def test_text_stream_one_part_per_line(tmp_path):
    text = "The cat sat.\n\nthe dog\r\nA cat, a dog, the end\n"
    header, rows = rows_of(stdin_run(text.encode(), "--text", "--da", "pairwise"))
    matrix = {"the": [1, 1, 1], "cat": [1, 0, 1], "sat": [1, 0, 0], "dog": [0, 1, 1],
              "a": [0, 0, 2], "end": [0, 0, 1]}
    expect_record(header, rows, matrix, [3, 2, 6])
    path = tmp_path / "docs.txt"
    path.write_text(text)
    assert rows_of(run(path, "--text"))[1] == rows
    one_error(stdin_run(b"ok\n\xff\n", "--text"), "<stdin>:2: not valid UTF-8 (byte 0xff)")


WIDE = "word,p1,p2,p3\nalpha,3,0,1\nbeta,2.5,2.5,0\ngamma,0,0,0\n__size__,10,20,30\n"
MATRIX = {"alpha": [3, 0, 1], "beta": [2.5, 2.5, 0], "gamma": [0, 0, 0]}
LONG = ("word,part,count\nbeta,p2,2.5\nalpha,p1,3\nalpha,p3,1\nbeta,p1,2.5\ngamma,p1,0\n"
        "__size__,p1,10\n__size__,p2,20\n__size__,p3,30\n")


@pytest.mark.parametrize("delimiter", [",", "\t"])
@pytest.mark.parametrize("header", [True, False])
def test_long_table_equals_the_wide_one(tmp_path, delimiter, header):
    lines = LONG.splitlines()[0 if header else 1:]
    path = tmp_path / ("t.tsv" if delimiter == "\t" else "t.csv")
    path.write_text("\n".join(line.replace(",", delimiter) for line in lines) + "\n")
    header_row, rows = table(run(path, "--long", "--da", "pairwise"))
    expect_record(header_row, rows, MATRIX, [10, 20, 30])
    wide = tmp_path / "wide.csv"
    wide.write_text(WIDE)
    assert table(run(wide)) == (header_row, rows)


BAD_LONG = {
    "two cells": ("w,p,c\nx,p1\n", "t.csv:2: row has 2 cells; a long table has 3"),
    "bad count": ("w,p,c\nx,p1,1\ny,p1,-2\n", "t.csv:3: column 3 ('count'): '-2' is not a count"),
    "twice": ("x,p1,1\ny,p1,1\nx,p1,2\n", "t.csv:3: second count of 'x' in part 'p1' (the first is on line 1)"),
    "size twice": ("x,p1,1\n__size__,p1,4\n__size__,p1,5\n", "t.csv:3: second size of part 'p1'"),
    "size missing": ("x,p1,1\nx,p2,1\n__size__,p1,4\n", "part 'p2' has no '__size__' row"),
    "header only": ("word,part,count\n", "t.csv: no word rows"),
    "empty word": ("x,p1,1\n,p1,1\n", "t.csv:2: empty word"),
}


@pytest.mark.parametrize("text, message", BAD_LONG.values(), ids=BAD_LONG.keys())
def test_bad_long_tables(tmp_path, text, message):
    path = tmp_path / "t.csv"
    path.write_text(text)
    one_error(run(path, "--long"), message)


def mtx(rows, columns, entries, field="integer"):
    lines = [f"%%MatrixMarket matrix coordinate {field} general", "% a comment",
             f"{rows} {columns} {len(entries)}"]
    lines += [" ".join(map(str, entry)) for entry in entries]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("words_on", ["rows", "columns"])
def test_matrix_market_with_vocabulary(tmp_path, words_on):
    vocab = tmp_path / "vocab.txt"
    vocab.write_text("alpha\nbeta\ngamma\n")
    # word, part, count; four parts, so the vocabulary fits one axis only.
    entries = [(1, 1, 3), (1, 3, 1), (2, 1, 2.5), (2, 2, 2.5), (2, 4, 1)]
    shape = (3, 4)
    if words_on == "columns":
        entries = [(j, i, v) for i, j, v in entries]
        shape = (4, 3)
    path = tmp_path / "m.mtx"
    path.write_text(mtx(*shape, entries, "real"))
    header, rows = table(run(path, "--vocab", vocab, "--da", "pairwise"),
                         stderr=f"lexispan: note: {path}: the part sizes are the column sums "
                                f"(the table has no '__size__' row)\n")
    matrix = {"alpha": [3, 0, 1, 0], "beta": [2.5, 2.5, 0, 1], "gamma": [0, 0, 0, 0]}
    expect_record(header, rows, matrix, [5.5, 2.5, 1.0, 1.0])


def test_matrix_market_pattern(tmp_path):
    vocab = tmp_path / "v.txt"
    vocab.write_text("a\nb\n")
    path = tmp_path / "m.mtx"
    path.write_text(mtx(2, 3, [(1, 1), (1, 2), (2, 3)], "pattern"))
    header, rows = rows_of(run(path, "--vocab", vocab, "--total", "10", "--da", "pairwise"))
    expect_record(header, rows, {"a": [1, 1, 0], "b": [0, 0, 1]}, [1, 1, 1], 10)


BAD_MTX = {
    "no vocabulary": (None, mtx(1, 1, [(1, 1, 1)]), "m.mtx: a Matrix Market file needs --vocab"),
    "banner": ("a\n", "hello\n1 1 1\n", "m.mtx:1: not a Matrix Market file"),
    "symmetric": ("a\n", mtx(1, 1, [(1, 1, 1)]).replace("general", "symmetric"),
                  "only 'coordinate real|integer|pattern general'"),
    "size line": ("a\n", "%%MatrixMarket matrix coordinate real general\n1 1\n",
                  "m.mtx:2: the size line must be"),
    "vocabulary length": ("a\nb\nc\n", mtx(2, 2, [(1, 1, 1)]), "2 rows x 2 columns, but the vocabulary"),
    "index": ("a\nb\n", mtx(2, 3, [(1, 1, 1), (3, 1, 1)]), "m.mtx:5: row index 3 is outside 1..2"),
    "negative": ("a\nb\n", mtx(2, 3, [(1, 1, 1), (2, 1, -1)]), "m.mtx:5: -1.0 is not a count"),
    "text": ("a\nb\n", mtx(2, 3, [(1, 1, 1), (2, 1, "x")]), "m.mtx:5: not a number"),
    "too few": ("a\nb\n", mtx(2, 3, [(1, 1, 1)]).replace("2 3 1", "2 3 2"), "1 entries, the size line"),
    "twice": ("a\nb\n", mtx(2, 3, [(1, 1, 1), (2, 2, 1), (1, 1, 2)]),
              "m.mtx:6: second entry for 'a' in column 1 (the first is on line 4)"),
    "vocabulary duplicate": ("a\na\n", mtx(2, 3, [(1, 1, 1)]), "v.txt:2: duplicate word 'a'"),
}


@pytest.mark.parametrize("vocab, text, message", BAD_MTX.values(), ids=BAD_MTX.keys())
def test_bad_matrix_market(tmp_path, vocab, text, message):
    path = tmp_path / "m.mtx"
    path.write_text(text)
    args = []
    if vocab is not None:
        (tmp_path / "v.txt").write_text(vocab)
        args = ["--vocab", tmp_path / "v.txt"]
    one_error(run(path, *args), message)


# pyarrow's own threads, uninstrumented, sometimes end a child interpreter
# with std::terminate at exit under the preloaded sanitizer runtime.
@pytest.mark.skipif(os.environ.get("LEXISPAN_SANITIZED") == "1",
                    reason="pyarrow is checked in the plain run")
def test_parquet_tables(tmp_path):
    pa = pytest.importorskip("pyarrow", reason="Parquet needs pyarrow (lexispan[parquet])")
    pq = pytest.importorskip("pyarrow.parquet")
    wide = pa.table({"word": ["alpha", "beta", "gamma", "__size__"], "p1": [3, 2.5, 0, 10],
                     "p2": [0, 2.5, 0, 20], "p3": [1, 0, 0, 30]})
    pq.write_table(wide, tmp_path / "w.parquet")
    header, rows = table(run(tmp_path / "w.parquet", "--da", "pairwise"))
    expect_record(header, rows, MATRIX, [10, 20, 30])
    records = [line.split(",") for line in LONG.splitlines()[1:]]
    long = pa.table({"w": [r[0] for r in records], "p": [r[1] for r in records],
                     "c": [float(r[2]) for r in records]})
    pq.write_table(long, tmp_path / "l.parquet")
    assert table(run(tmp_path / "l.parquet", "--long")) == (header, rows)
    # From standard input, named by --table-format.
    data = (tmp_path / "w.parquet").read_bytes()
    assert rows_of(stdin_run(data, "--table-format", "parquet")) == (header, rows)
    pq.write_table(pa.table({"word": ["a"], "p": ["x"]}), tmp_path / "bad.parquet")
    one_error(run(tmp_path / "bad.parquet"), "column 'p' is not numeric")
    (tmp_path / "junk.parquet").write_bytes(b"not parquet at all")
    one_error(run(tmp_path / "junk.parquet"), "junk.parquet: not a readable Parquet file")


@pytest.mark.skipif(os.environ.get("LEXISPAN_SANITIZED") == "1",
                    reason="pyarrow is checked in the plain run")
def test_long_parquet_counts_are_the_stored_doubles(tmp_path):
    pa = pytest.importorskip("pyarrow", reason="Parquet needs pyarrow (lexispan[parquet])")
    pq = pytest.importorskip("pyarrow.parquet")
    rng = random.Random(26)
    matrix = {f"w{i}": [rng.choice((0.0, rng.random() * 10.0 ** rng.randint(-3, 5)))
                        for _ in range(6)] for i in range(40)}
    sizes = [sum(column) + 1 / 3 for column in zip(*matrix.values())]
    entries = [(word, f"p{j}", v) for word, row in matrix.items() for j, v in enumerate(row)]
    rng.shuffle(entries)
    # The size rows first, so the parts are numbered in column order.
    records = [("__size__", f"p{j}", size) for j, size in enumerate(sizes)] + entries
    pq.write_table(pa.table({"w": [r[0] for r in records], "p": [r[1] for r in records],
                             "c": [r[2] for r in records]}), tmp_path / "l.parquet")
    header, rows = table(run(tmp_path / "l.parquet", "--long", "--da", "pairwise"))
    expect_record(header, rows, matrix, sizes)
    bad = {"c": ([1.0, float("nan")], "l.parquet: column 'c', row 2: nan is not a count"),
           "w": (["a", "a"], "l.parquet:2: second count of 'a' in part 'p' (the first is on "
                             "line 1)")}
    for column, (cells, message) in bad.items():
        columns = {"w": ["a", "b"], "p": ["p", "p"], "c": [1.0, 2.0], column: cells}
        pq.write_table(pa.table(columns), tmp_path / "l.parquet")
        one_error(run(tmp_path / "l.parquet", "--long"), message)


@pytest.mark.parametrize("fmt, text", [("csv", WIDE), ("tsv", WIDE.replace(",", "\t")),
                                       (None, WIDE.replace(",", "\t"))])
def test_table_from_stdin(fmt, text):
    args = ["--table-format", fmt] if fmt else []
    header, rows = rows_of(stdin_run(text.encode(), *args, "--da", "pairwise"))
    expect_record(header, rows, MATRIX, [10, 20, 30])


def test_column_sums_are_announced_once(tmp_path):
    result = stdin_run(b"word,a,b\nx,1,2\ny,3,0\n", "--da", "pairwise")
    assert result.stderr.decode() == ("lexispan: note: <stdin>: the part sizes are the column "
                                      "sums (the table has no '__size__' row)\n")
    header, rows = rows_of(result)
    expect_record(header, rows, {"x": [1, 2], "y": [3, 0]}, [4, 2])


def test_a_wide_table_with_an_empty_column(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("word,a,b,c\nx,1,0,2\ny,3,0,0\n")
    result = run(path)
    assert "lexispan: warning: b: an empty part (no words)" in result.stderr
    header, rows = rows_of(run(path, "--drop-empty", "--da", "pairwise"))
    expect_record(header, rows, {"x": [1, 2], "y": [3, 0]}, [4, 2])
