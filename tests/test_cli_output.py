"""The lexispan command's output side: measure selection, precision, JSON Lines
and Parquet, the output claimed before any work and replaced only when
complete; the word rule's quick folding; a run under an address-space limit."""

import collections
import csv
import json
import math
import os
import random
import resource
import signal
import struct
import subprocess
import time
import unicodedata
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from conftest import exact
from lexispan_table import DEFAULT_MEASURE_NAMES, MEASURE_NAMES
from test_cli import COMMAND, run, table
from test_cli_inputs import one_error

# The frequency and the record's fields.
COUNT_MEASURES = list(DEFAULT_MEASURE_NAMES)


@pytest.fixture
def corpus(tmp_path):
    folder = tmp_path / "corpus"
    folder.mkdir()
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    for part in range(6):
        text = " ".join(rng.choices(words, [8, 6, 5, 4, 3, 2, 1, 1], k=rng.randint(5, 40)))
        (folder / f"{part}.txt").write_text(text + "\n")
    return folder


@pytest.mark.parametrize("chosen", [["dp"], ["evenness_da", "range", "juilland_d"],
                                    ["frequency", "dp_norm"], ["ft_adjusted_by_da"]])
def test_measures_select_and_order_columns(corpus, chosen):
    full_header, full = table(run(corpus))
    header, rows = table(run(corpus, "--measures", ",".join(chosen), "--sort", "word"))
    assert header == ["word", "frequency", *[n for n in chosen if n != "frequency"]]
    for word, cells in rows.items():
        for name, cell in zip(header, cells):
            assert cell == full[word][full_header.index(name)]


@pytest.mark.parametrize("value, message", [
    ("dp,nonsense", "unknown measure 'nonsense'"), ("dp,dp", "a measure is listed twice"),
    ("", "unknown measure ''")])
def test_measures_usage_errors(corpus, value, message):
    result = run(corpus, "--measures", value)
    assert result.returncode == 2 and result.stderr.count("\n") == 1 and message in result.stderr


def python_text(x, precision, frequency=False):
    """A cell as Python writes it: repr, or format's "g" (its exponent
    dropped below 1e16), a whole frequency as an integer."""
    if frequency and x.is_integer() and abs(x) < 2.0**53:
        return str(int(x))
    if not precision:
        return repr(x)
    text = format(x, f".{precision}g")
    return format(float(text), ".0f") if "e+" in text and abs(x) < 1e16 else text


def test_cells_and_words_are_written_as_python_writes_them(tmp_path):
    import io

    import numpy as np

    from lexispan_cli.report import write_delimited, write_json_lines

    rng = np.random.default_rng(11)
    values = np.concatenate([
        rng.integers(0, 2**64 - 1, 20_000, dtype=np.uint64, endpoint=True).view(np.float64),
        rng.random(5_000) * 10.0 ** rng.integers(-8, 20, 5_000),
        [0.0, -0.0, 1e16, 9.999e15, 40566.3, 99999.5, 2.0**53, 3.0, math.nan, math.inf, -math.inf]])
    words = [f"w{i}" for i in range(values.size)]
    words[:6] = ['a,b', 'say "x"', "two\nlines", "tab\there", "cr\rx", "ünï"]
    columns = {"frequency": values, "dp": values[::-1].copy(),
               "range": np.arange(values.size, dtype=np.int32)}
    rows = rng.permutation(values.size)
    for precision in (None, 1, 4, 17):
        for delimiter in (",", "\t"):
            expected = io.StringIO()
            writer = csv.writer(expected, delimiter=delimiter, lineterminator="\n")
            writer.writerow(["word", *columns])
            writer.writerows([words[r], python_text(float(values[r]), precision, True),
                              python_text(float(columns["dp"][r]), precision), str(r)]
                             for r in rows)
            got = io.StringIO()
            write_delimited(got, words, columns, rows, delimiter, precision)
            assert got.getvalue() == expected.getvalue()
    got = io.StringIO()
    write_json_lines(got, words, columns, rows[:3000], 4)
    for line, r in zip(got.getvalue().splitlines(), rows[:3000]):
        record = json.loads(line)
        assert record["word"] == words[r] and record["range"] == r
        for name, frequency in (("frequency", True), ("dp", False)):
            x = float(columns[name][r])
            assert record[name] == (json.loads(python_text(x, 4, frequency))
                                    if math.isfinite(x) else None)


def test_threads_and_the_other_name_of_rosengrens_s(corpus):
    one = run(corpus, "--measures", "rosengren_s,dp", "--sort", "rosengren_s_adj", "--threads", "1")
    assert one.returncode == 0 and one.stdout.startswith("word,frequency,roschengren_s_adj,dp\n")
    assert run(corpus, "--measures", "roschengren_s_adj,dp", "--sort", "roschengren_s_adj",
               "--threads", "3").stdout == one.stdout
    for args in (["--threads", "0"], ["--measures", "rosengren_s,roschengren_s_adj"]):
        assert run(corpus, *args).returncode == 2


def test_ctrl_c_says_interrupted():
    # Standard input that stays open: the command waits for its text.
    process = subprocess.Popen([*COMMAND, "-", "--text"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        process.stdin.write("some words\n")
        process.stdin.flush()
        # Interrupted once it waits in read(0, ...), past its start-up.
        syscall = Path(f"/proc/{process.pid}/syscall")
        deadline = time.monotonic() + 60
        while not syscall.read_text().startswith("0 0x0 ") and time.monotonic() < deadline:
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130 and stderr == "lexispan: interrupted\n"


def test_sort_must_be_computed(corpus):
    one_error(run(corpus, "--measures", "dp", "--sort", "juilland_d"),
              "--sort juilland_d: not among the measures computed")


@pytest.mark.parametrize("digits", [1, 3, 6, 17])
def test_precision(corpus, digits):
    header, exact_rows = table(run(corpus))
    _, rows = table(run(corpus, "--precision", digits))
    for word, cells in rows.items():
        assert cells[:3] == exact_rows[word][:3]  # word, whole frequency, range
        for cell, exact in zip(cells[3:], exact_rows[word][3:]):
            # The value of format's "g", with no exponent for a large value.
            rounded = format(float(exact), f".{digits}g")
            if "e+" in rounded and abs(float(exact)) < 1e16:
                assert float(cell) == float(rounded) and "e" not in cell, (cell, exact)
            else:
                assert cell == rounded
    result = run(corpus, "--precision", "0")
    assert result.returncode == 2


def cell_value(cell, non_finite):
    """A CSV cell as JSON reads it; `non_finite` for nan and the infinities (the
    frequency-adjusted columns hold NaN where they are undefined)."""
    return non_finite if cell in ("nan", "inf", "-inf") else json.loads(cell)


def comparable(value):
    return "nan" if isinstance(value, float) and value != value else value


@pytest.mark.parametrize("how", ["suffix", "option"])
def test_json_lines(corpus, tmp_path, how):
    header, rows = table(run(corpus))
    out = tmp_path / ("t.jsonl" if how == "suffix" else "t.txt")
    result = run(corpus, "-o", out, *(["--format", "jsonl"] if how == "option" else []))
    assert result.returncode == 0 and result.stdout == "" and result.stderr == ""
    lines = out.read_text(encoding="utf-8").splitlines()
    assert len(lines) == len(rows)
    for line in lines:
        record = json.loads(line)
        assert list(record) == header
        cells = rows[record["word"]]
        assert [record[name] for name in header[1:]] == [cell_value(c, None) for c in cells[1:]]


def test_json_lines_non_finite_values_are_null(tmp_path):
    # A subnormal total makes the shares infinite: DP inf, DPnorm NaN, KL -inf.
    path = tmp_path / "t.csv"
    path.write_text("word,a,b\nx,1,1\n__size__,2,2\n")
    chosen = ["dp", "dp_norm", "kl_divergence", "range"]
    args = ["--total", "1e-320", "--measures", ",".join(chosen)]
    result = run(path, "--format", "jsonl", *args)
    assert result.returncode == 0, result.stderr
    csv_rows = table(run(path, *args))[1]
    assert csv_rows["x"][2:5] == ["inf", "nan", "-inf"]
    record = json.loads(result.stdout)
    for name, cell in zip(["word", "frequency", *chosen], csv_rows["x"]):
        if name != "word":
            value = float(cell)
            assert record[name] == (value if math.isfinite(value) else None)
    assert record["dp"] is None and record["range"] == 2


# pyarrow's own threads, uninstrumented, sometimes end a child interpreter
# with std::terminate at exit under the preloaded sanitizer runtime.
@pytest.mark.skipif(os.environ.get("LEXISPAN_SANITIZED") == "1",
                    reason="pyarrow is checked in the plain run")
def test_parquet_output(corpus, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet", reason="Parquet needs pyarrow (lexispan[parquet])")
    header, rows = table(run(corpus))
    out = tmp_path / "t.parquet"
    assert run(corpus, "-o", out).returncode == 0
    frame = pq.read_table(out).to_pylist()
    assert [list(r) for r in frame[:1]] == [header]
    for record in frame:
        cells = rows[record["word"]]
        assert [comparable(record[name]) for name in header[1:]] == [
            comparable(cell_value(c, float(c))) for c in cells[1:]]
    one_error(run(corpus, "--format", "parquet"), "Parquet output needs -o FILE")


@pytest.mark.parametrize("args", [["-o", "{tmp}/t.parquet"], ["--table-format", "parquet"]])
def test_without_pyarrow_one_line_says_what_to_install(corpus, tmp_path, args):
    fake = tmp_path / "fake" / "pyarrow"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = dict(os.environ, PYTHONPATH=str(fake.parent))
    source = corpus if args[0] == "-o" else tmp_path / "t.parquet"
    source.touch()
    result = subprocess.run([*COMMAND, str(source), *[a.format(tmp=tmp_path) for a in args]],
                            capture_output=True, text=True, env=env, timeout=120)
    one_error(result, "needs pyarrow: pip install 'lexispan[parquet]'")


def test_output_claimed_before_work_and_replaced_only_when_complete(corpus, tmp_path):
    # An unwritable -o is reported before the input is even looked at.
    missing = tmp_path / "no" / "dir.csv"
    one_error(run(tmp_path / "nowhere", "-o", missing), "dir.csv: cannot write")
    one_error(run(corpus, "-o", tmp_path), "cannot write: is a folder")
    # A failed run leaves an existing output as it was, and no stray file.
    out = tmp_path / "out" / "t.csv"
    out.parent.mkdir()
    out.write_text("previous\n")
    (corpus / "bad.txt").write_bytes(b"\xff")
    one_error(run(corpus, "-o", out), "bad.txt:1: not valid UTF-8")
    assert out.read_text() == "previous\n" and os.listdir(out.parent) == ["t.csv"]
    (corpus / "bad.txt").unlink()
    assert run(corpus, "-o", out).returncode == 0
    assert out.read_text().startswith("word,frequency,")
    assert os.listdir(out.parent) == ["t.csv"]
    mode = out.stat().st_mode & 0o777
    umask = os.umask(0)
    os.umask(umask)
    assert mode == 0o666 & ~umask
    # Through a link, the linked file is replaced; a read-only file is refused.
    link = tmp_path / "link.csv"
    link.symlink_to(out)
    out.write_text("previous\n")
    assert run(corpus, "-o", link).returncode == 0
    assert link.is_symlink() and out.read_text().startswith("word,frequency,")
    if os.geteuid() != 0:
        out.chmod(0o444)
        one_error(run(corpus, "-o", out), "t.csv: cannot write: Permission denied")


def test_progress_bar_on_a_terminal(corpus):
    import pty

    import fcntl
    import termios

    leader, follower = pty.openpty()
    # A new terminal is 0 columns wide, which leaves a bar no room at all.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        result = subprocess.run([*COMMAND, str(corpus)], stdout=subprocess.PIPE, stderr=follower,
                                text=True, timeout=120)
        os.close(follower)
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the terminal is closed once everything is read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
    assert result.returncode == 0 and result.stdout == run(corpus).stdout
    assert b"files" in shown and b"words" in shown


def test_progress_bar_only_when_asked_or_on_a_terminal(corpus):
    quiet = run(corpus)
    assert quiet.stderr == ""
    shown = run(corpus, "--progress", "always")
    assert shown.returncode == 0 and shown.stdout == quiet.stdout
    assert "files" in shown.stderr and "words" in shown.stderr


def test_positions_need_the_position_functions_or_text(corpus, tmp_path):
    import lexispan_table

    if hasattr(lexispan_table, "position_dispersion"):
        table_file = tmp_path / "t.csv"
        table_file.write_text("w,a\nx,1\n")
        one_error(run(table_file, "--positions"), "--positions needs text input")
    else:
        one_error(run(corpus, "--positions"), "--positions needs lexispan_table.position_dispersion")


def test_positions_measures_match_the_table_functions(corpus):
    lexispan_table = pytest.importorskip("lexispan_table")
    tokens = []
    for path in sorted(corpus.glob("*.txt")):
        tokens += path.read_text().split()
    names = list(lexispan_table.POSITION_MEASURE_NAMES)
    expected = lexispan_table.position_dispersion(
        lexispan_table.positions_from_tokens(tokens), len(tokens), measures=names)
    header, rows = table(run(corpus, "--positions", "--measures", ",".join(["dp", *names])))
    assert header == ["word", "frequency", "dp", *names]
    for word, cells in rows.items():
        for name, cell in zip(header[3:], cells[3:]):
            want = float(expected.loc[word, name])
            assert exact(float(cell), want)


# Characters whose folding changes what the word rule sees, and some that do not.
TRICKY = "\u0130\u0345\u0390\u1e96\u1fb7ßÉéẞΣςσﬁ'’-‐‑_ a1٣"


def _warm_counter():
    # After many non-ASCII texts the counter looks up the boundary-moving
    # characters by pattern instead of per text; both ways are checked.
    from lexispan_table._tokens import make_counter

    counter = make_counter()
    for _ in range(250):
        counter("café")
    return counter


WARM_COUNTER = []


@pytest.fixture(autouse=True, scope="module")
def warm_counter():
    WARM_COUNTER[:] = [_warm_counter()]


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.sampled_from(TRICKY) | st.characters(), max_size=60))
def test_quick_folding_counts_as_folding_each_token(text):
    from lexispan_table._tokens import make_counter, make_tokenizer

    expected = collections.Counter(make_tokenizer()(text))
    assert make_counter()(text) == expected
    assert WARM_COUNTER[0](text) == expected
    assert make_counter(keep_case=True)(text) == collections.Counter(
        make_tokenizer(keep_case=True)(text))
    assert make_counter("(x)|y")(text) == collections.Counter(make_tokenizer("(x)|y")(text))


def test_tokens_are_folded_after_normalising():
    from lexispan_table._tokens import make_counter

    decomposed = unicodedata.normalize("NFD", "İstanbul Éte")
    counts = make_counter()(decomposed)
    assert counts == {"i̇stanbul": 1, "éte": 1}


def limited(limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return apply


@pytest.mark.skipif(os.environ.get("LEXISPAN_SANITIZED") == "1",
                    reason="ASan's shadow memory cannot live under an address-space limit")
def test_a_large_corpus_runs_in_bounded_memory(tmp_path):
    """1,000 files over 40,200 types, under a 1 GB address-space limit. A
    dense table of Python floats (a cell per word and part) needs more than
    that; the sparse counts need well under 200 MB on a 2-core machine."""
    rng = random.Random(1)
    folder = tmp_path / "big"
    folder.mkdir()
    vocabulary = [f"w{i:05d}" for i in range(40_200)]
    for part in range(1000):
        # Each file: some common words and a slice of the rare ones.
        common = rng.choices(vocabulary[:200], k=150)
        rare = vocabulary[200 + part * 40:200 + part * 40 + 40]
        (folder / f"{part:04d}.txt").write_text(" ".join(common + rare))
    # Address space reserved per thread (stacks, malloc arenas, BLAS buffers)
    # grows with the core count; pin it so the limit measures the data.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", MALLOC_ARENA_MAX="2",
               RAYON_NUM_THREADS="2")
    command = [*COMMAND, str(folder), "--measures", "range,dp,evenness_da", "--top", "5"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env,
                            preexec_fn=limited(1 << 30))
    header, rows = table(result)
    assert header == ["word", "frequency", "range", "dp", "evenness_da"]
    assert len(rows) == 5 and all(word < "w00200" for word in rows)
    frequencies = [int(cells[1]) for cells in rows.values()]
    assert frequencies == sorted(frequencies, reverse=True) and frequencies[0] > 500


def test_the_command_needs_neither_scipy_nor_pandas(corpus, tmp_path):
    # Packages that fail to import stand in for an installation of lexispan alone.
    for name in ("scipy", "pandas"):
        (tmp_path / "fake" / name).mkdir(parents=True)
        (tmp_path / "fake" / name / "__init__.py").write_text("raise ImportError('absent')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "fake"))
    result = subprocess.run([*COMMAND, str(corpus)], capture_output=True, text=True, env=env,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == run(corpus).stdout
