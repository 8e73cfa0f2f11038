"""lexispan keyness and lexispan plot keyness, run as installed programs: the
table is the library's, bit for bit, in the asked order; formats, settings,
errors, and a real picture."""

import collections
import csv
import io
import json

import pytest

import lexispan_table as lt
from test_cli import run
from test_cli_inputs import one_error
from test_cli_plot import DPI, png_size

pd = pytest.importorskip("pandas")

TARGET = ["the licence grants the right to copy", "copy the source and the licence",
          "a licence a right"]
REFERENCE = ["the cat sat on the mat", "the dog and the cat", "a right cat", "mat mat mat"]


def folder(tmp_path, name, texts):
    path = tmp_path / name
    path.mkdir()
    for i, text in enumerate(texts):
        (path / f"{i}.txt").write_text(text + "\n")
    return path


@pytest.fixture
def corpora(tmp_path):
    return folder(tmp_path, "target", TARGET), folder(tmp_path, "reference", REFERENCE)


def expected_table():
    frames = [pd.DataFrame({i: collections.Counter(text.split()) for i, text in
                            enumerate(texts)}).fillna(0) for texts in (TARGET, REFERENCE)]
    return lt.keyness(*frames)


def rows_of(result):
    assert result.returncode == 0 and result.stderr == "", result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout)))
    return rows[0], rows[1:]


def test_the_table_is_the_librarys_sorted_by_text_dispersion_keyness(corpora):
    header, rows = rows_of(run("keyness", *corpora))
    want = expected_table()
    assert header == ["word", *lt.KEYNESS_MEASURE_NAMES]
    order = sorted(want.index, key=lambda w: (-want.at[w, "text_dispersion_keyness"], w))
    assert [row[0] for row in rows] == order
    for word, *cells in rows:
        for name, cell in zip(header[1:], cells):
            value = want.at[word, name]
            assert cell == (str(int(value)) if name.endswith(("range", "frequency"))
                            else repr(float(value))), (word, name)


@pytest.mark.parametrize("options, names, keep", [
    (["--top", "3", "--ascending"], lt.KEYNESS_MEASURE_NAMES,
     lambda t: t.sort_values("text_dispersion_keyness", kind="stable")[:3]),
    (["--min-freq", "3", "--sort", "word", "--measures", "log_ratio,target_range"],
     ["log_ratio", "target_range"], lambda t: t[t.target_frequency + t.reference_frequency >= 3]),
    (["--sort", "log_likelihood", "--measures", "p_log_likelihood"], ["p_log_likelihood"],
     lambda t: t.sort_values("log_likelihood", ascending=False, kind="stable")),
])
def test_selection_and_order(corpora, options, names, keep):
    # Ties stay in word order.
    header, rows = rows_of(run("keyness", *corpora, *options))
    assert header == ["word", *names]
    assert [row[0] for row in rows] == list(keep(expected_table().sort_index()).index)


def test_formats_and_settings(corpora, tmp_path):
    out = tmp_path / "k.jsonl"
    assert run("keyness", *corpora, "-o", out, "--top", "2").returncode == 0
    first = json.loads(out.read_text().splitlines()[0])
    assert list(first) == ["word", *lt.KEYNESS_MEASURE_NAMES] and first["word"] == "licence"
    parquet = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "k.parquet"
    assert run("keyness", *corpora, "-o", out, "--measures", "log_ratio").returncode == 0
    settings = json.loads(parquet.read_metadata(out).metadata[b"lexispan.keyness"])
    assert settings == {"target": {"input": str(corpora[0]), "parts": 3, "total": 17.0},
                        "reference": {"input": str(corpora[1]), "parts": 4, "total": 17.0},
                        "measures": ["log_ratio"]}
    assert parquet.read_table(out).column_names == ["word", "log_ratio"]


def test_a_table_against_a_folder(corpora, tmp_path):
    table = tmp_path / "t.csv"
    table.write_text("word,a,b\nlicence,2,0\ncat,0,1\n__size__,10,10\n")
    header, rows = rows_of(run("keyness", table, corpora[1], "--measures",
                               "target_frequency,reference_frequency,target_range"))
    cells = {row[0]: row[1:] for row in rows}
    assert cells["licence"] == ["2", "0", "1"] and cells["cat"] == ["1", "3", "1"]
    assert cells["mat"] == ["0", "4", "0"] and len(cells) == 10


def test_bad_input_is_one_error_line(corpora, tmp_path):
    one_error(run("keyness", corpora[0], tmp_path / "missing"), "missing: no such file")
    empty = folder(tmp_path, "empty", ["", ""])
    one_error(run("keyness", empty, corpora[1]), "no words in any of the 2 files")
    usage = run("keyness", *corpora, "--measures", "dp")
    assert usage.returncode == 2 and "unknown measure 'dp'" in usage.stderr


def test_keyness_plot_is_a_real_picture(corpora, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "k.png"
    result = run("plot", "keyness", *corpora, "-o", out, "--label", "2")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert png_size(out) == (10 * DPI, int(6.5 * DPI)) and out.stat().st_size > 20_000
    svg = tmp_path / "k.svg"
    assert run("plot", "keyness", *corpora, "-o", svg, "--title", "T").returncode == 0
    text = svg.read_text()
    assert "licence" in text and "mat" in text and "T: 14 words" in text
