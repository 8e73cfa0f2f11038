"""lexispan plot: the picture files exist, are valid images of the expected size,
and every bad request is one error line."""

import os
import re
import struct
import subprocess
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest

from lexispan_cli.plot import Labels, _labelled, ordinal, part_marks
from test_cli import COMMAND, run
from test_cli_inputs import one_error

pytest.importorskip("matplotlib", reason="lexispan plot needs matplotlib (lexispan[plot])")

DPI = 150


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.fixture
def corpus(tmp_path):
    folder = tmp_path / "corpus"
    folder.mkdir()
    texts = ["the cat sat on the mat", "the dog ran", "a cat and a dog and the end",
             "nothing about animals here at all", "the the the cat"]
    for i, text in enumerate(texts):
        (folder / f"{i}.txt").write_text(text + "\n")
    return folder


@pytest.mark.parametrize("args", [[], ["--measure", "juilland_d", "--label", "3"],
                                  ["--label", "0"], ["--measure", "range", "--label", "50"],
                                  ["--measure", "arf", "--positions", "--label-words", "end"],
                                  ["--measure", "rosengren_s", "--label-extremes", "0"],
                                  ["--measure", "chi_squared", "--label-words", "CAT,dog"]])
def test_frequency_plot_png(corpus, tmp_path, args):
    out = tmp_path / "f.png"
    result = run("plot", corpus, "-o", out, *args)
    assert result.returncode == 0 and result.stderr == "" and result.stdout == ""
    assert png_size(out) == (10 * DPI, int(6.5 * DPI))
    assert sorted(os.listdir(tmp_path)) == ["corpus", "f.png"]  # no temporary file left


def test_frequency_plot_svg_from_a_table(tmp_path):
    table = tmp_path / "t.csv"
    table.write_text("word,a,b,c\nx,1,2,3\ny,5,0,0\nz,0,1,0\n__size__,10,10,10\n")
    out = tmp_path / "f.svg"
    result = run("plot", table, "-o", out)
    assert result.returncode == 0, result.stderr
    root = ElementTree.parse(out).getroot()
    assert root.tag.endswith("svg") and root.get("width") == "720pt"
    assert root.get("height") == "468pt"


@pytest.mark.parametrize("words", [["cat"], ["the", "cat", "dog", "animals"]])
def test_dispersion_plot(corpus, tmp_path, words):
    out = tmp_path / "d.png"
    result = run("plot", corpus, "--words", ",".join(words), "-o", out)
    assert result.returncode == 0 and result.stderr == ""
    assert png_size(out) == (10 * DPI, round((1.6 + 0.5 * len(words)) * DPI))


def test_dispersion_plot_names_an_absent_word_and_folds_case(corpus, tmp_path):
    out = tmp_path / "d.svg"
    result = run("plot", corpus, "--words", "CAT,zebra", "-o", out)
    assert result.returncode == 0
    assert result.stderr == "lexispan: warning: 'zebra' does not occur in the corpus\n"
    text = out.read_text()
    assert "CAT (3)" in text and "zebra (0)" in text


def test_dispersion_plot_from_a_text_stream(tmp_path):
    out = tmp_path / "d.png"
    result = subprocess.run([*COMMAND, "plot", "-", "--text", "--words", "a,b", "-o", str(out)],
                            input="a b\nb b\n\na\n", capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert png_size(out)[0] == 10 * DPI


BAD_PLOTS = {
    "suffix": (["-o", "{tmp}/f.gif"], "f.gif: the picture must end in .png, .svg or .pdf"),
    "words of a table": (["--words", "x", "-o", "{tmp}/f.png", "--table"],
                         "--words needs text input"),
    "unwritable": (["-o", "{tmp}/no/dir/f.png"], "f.png: cannot write"),
    "empty words": (["--words", ",", "-o", "{tmp}/f.png"], "--words needs at least one word"),
    "positions not asked": (["--measure", "f_ald", "-o", "{tmp}/f.png"],
                            "f_ald is computed from token positions: add --positions"),
    "frequency": (["--measure", "frequency", "-o", "{tmp}/f.png"],
                  "frequency is the horizontal axis"),
}


@pytest.mark.parametrize("args, message", BAD_PLOTS.values(), ids=BAD_PLOTS.keys())
def test_bad_plot_requests(corpus, tmp_path, args, message):
    source = corpus
    if "--table" in args:
        args = [a for a in args if a != "--table"]
        source = tmp_path / "t.csv"
        source.write_text("w,a\nx,1\n__size__,1\n")
    one_error(run("plot", source, *[a.format(tmp=tmp_path) for a in args]), message)
    assert not any(name.startswith(".f.") for name in os.listdir(tmp_path))


def test_plot_usage(corpus):
    result = run("plot", corpus)
    assert result.returncode == 2 and result.stderr.count("\n") == 1
    assert "-o/--output" in result.stderr
    result = run("plot", corpus, "-o", "x.png", "--measure", "nonsense")
    assert result.returncode == 2


def test_without_matplotlib_one_line_says_what_to_install(corpus, tmp_path):
    # A package that fails to import stands in for an installation without matplotlib.
    fake = tmp_path / "fake" / "matplotlib"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = dict(os.environ, PYTHONPATH=str(fake.parent))
    result = subprocess.run([*COMMAND, "plot", str(corpus), "-o", str(tmp_path / "f.png")],
                            capture_output=True, text=True, env=env, timeout=120)
    one_error(result, "lexispan plot needs matplotlib: pip install 'lexispan[plot]'")
    assert not (tmp_path / "f.png").exists()


def test_labels_of_words_asked_for_and_of_the_extremes(corpus, tmp_path):
    out = tmp_path / "f.svg"
    result = run("plot", corpus, "-o", out, "--label", "0", "--label-words", "Dog,zebra",
                 "--label-extremes", "0")
    assert result.returncode == 0
    assert result.stderr == "lexispan: warning: 'zebra' is not in the plot (it does not occur in " \
                            "the corpus)\n"
    assert [t for t in re.findall(r"<!-- (.*?) -->", out.read_text()) if t.isalpha()] == ["dog"]
    # On a smooth trend with one word far above and one far below its
    # neighbours in frequency, those two are the extremes, whatever the slope.
    rng = np.random.default_rng(3)
    frequency = np.arange(400, 0, -1, dtype=float)
    values = 1 - frequency / 400 + rng.normal(0, 0.002, 400)
    values[[10, 30]] += [0.05, -0.05]
    words = [f"w{i}" for i in range(400)]
    chosen = _labelled(words, frequency, values, np.ones(400, bool), Labels(2, 1, [], []))
    assert chosen == [0, 1, 10, 30]


@pytest.mark.parametrize("n, text", [(1, "1st"), (2, "2nd"), (3, "3rd"), (4, "4th"),
                                     (11, "11th"), (12, "12th"), (13, "13th"), (21, "21st"),
                                     (102, "102nd"), (111, "111th")])
def test_ordinals(n, text):
    assert ordinal(n) == text


def test_part_names_level_when_they_fit_else_upright_and_thinned():
    level, rotation = part_marks([0, 100, 200], 300, ["a.txt", "b.txt", "c.txt"])
    assert rotation == 0 and [name for _, name in level] == ["a", "b", "c"]
    starts = list(range(0, 100_000, 1000))
    names = [f"{i:02d} Book {i}.txt" for i in range(100)]
    upright, rotation = part_marks(starts, 100_000, names)
    assert rotation == 90 and 30 <= len(upright) < 100
    assert upright[0][1] == "00 Book 0"
    gaps = [b - a for (a, _), (b, _) in zip(upright, upright[1:])]
    assert min(gaps) >= 1000 and max(gaps) <= 2000
