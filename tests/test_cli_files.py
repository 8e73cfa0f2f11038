"""The command's files and streams under hostile conditions: -o onto special files, an
existing file's mode, unfinished files of killed runs, a durable rename, closed standard
streams; and readers whose memory follows what they read (a 16 MiB line, sizes a Matrix
Market header declares), each of those run in a child under an address-space limit."""

import os
import resource
import signal
import stat
import subprocess
import sys
import time

import pytest

from test_cli import COMMAND, run
from test_cli_inputs import ERROR, mtx, one_error


@pytest.fixture
def corpus(tmp_path):
    folder = tmp_path / "corpus"
    folder.mkdir()
    (folder / "a.txt").write_text("the cat sat on the mat\n")
    (folder / "b.txt").write_text("a dog and the cat\n")
    return folder


def test_special_files_are_written_in_place(corpus, tmp_path):
    expected = run(corpus).stdout
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE, text=True)
    try:
        assert run(corpus, "-o", fifo).returncode == 0
        assert reader.communicate(timeout=60)[0] == expected
    finally:
        reader.kill()
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    to_stdout = run(corpus, "-o", "/dev/stdout")
    assert to_stdout.returncode == 0 and to_stdout.stdout == expected
    device = tmp_path / "null"
    try:
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a second /dev/null
    except OSError:
        return  # this user or container may not make device nodes
    assert run(corpus, "-o", device).returncode == 0
    assert stat.S_ISCHR(device.stat().st_mode)


def test_a_replaced_file_keeps_its_mode_and_unfinished_files_of_ended_runs_go(corpus, tmp_path):
    out = tmp_path / "t.csv"
    out.write_text("previous\n")
    out.chmod(0o600)
    ended = tmp_path / ".t.csv.abcd1234.999999999.lexispan-part"  # beyond any pid
    running = tmp_path / f".t.csv.efgh5678.{os.getpid()}.lexispan-part"
    foreign = tmp_path / ".t.csv.ijkl.part"
    for path in (ended, running, foreign):
        path.write_text("x")
    assert run(corpus, "-o", out).returncode == 0
    assert stat.S_IMODE(out.stat().st_mode) == 0o600
    assert out.read_text().startswith("word,frequency,")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["corpus", "t.csv", running.name, foreign.name])


def test_a_killed_run_leaves_a_named_part_that_the_next_run_removes(corpus, tmp_path):
    out = tmp_path / "t.csv"
    # Reading a standard input that stays open keeps the run waiting with its file claimed.
    waiting = subprocess.Popen([*COMMAND, "-", "--text", "-o", str(out)], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not [p for p in tmp_path.iterdir() if p.name.endswith(".lexispan-part")]:
            assert time.monotonic() < deadline and waiting.poll() is None
            time.sleep(0.05)
    finally:
        waiting.send_signal(signal.SIGKILL)
        waiting.wait()
        waiting.stdin.close()
    left = [p.name for p in tmp_path.iterdir() if p.name.startswith(".")]
    assert len(left) == 1 and left[0].endswith(f".{waiting.pid}.lexispan-part")
    assert run(corpus, "-o", out).returncode == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["corpus", "t.csv"]


def test_the_file_is_synced_before_it_replaces_the_target(corpus, tmp_path, monkeypatch):
    from lexispan_cli import cli

    steps = []
    fsync, replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: (steps.append("fsync"), fsync(fd))[1])
    monkeypatch.setattr(os, "replace", lambda a, b: (steps.append("replace"), replace(a, b))[1])
    assert cli.main([str(corpus), "-o", str(tmp_path / "t.csv")]) == 0
    assert steps[:2] == ["fsync", "replace"]


@pytest.mark.parametrize("line, message", [
    ("{cmd} - <&-", "<stdin>: cannot read: standard input is closed"),
    ("{cmd} - --text <&-", "<stdin>: cannot read: standard input is closed"),
    ("{cmd} {corpus} >&-", "standard output is closed: give -o FILE"),
    ("{cmd} {corpus}/missing 2>&- >&2", None),
])
def test_closed_standard_streams_give_one_error_line(corpus, line, message):
    command = " ".join(f"'{part}'" for part in COMMAND)
    result = subprocess.run(["bash", "-c", line.format(cmd=command, corpus=corpus)],
                            capture_output=True, text=True, timeout=120)
    if message is None:  # no standard error: the error goes nowhere, not into the output
        assert result.returncode == 1 and result.stdout == "" and result.stderr == ""
    else:
        one_error(result, message)


def test_a_codec_that_refuses_the_start_of_a_file_is_one_error_line(tmp_path):
    # Found by tools/fuzz/table_readers.py: UTF-16 text without its byte-order mark.
    (tmp_path / "t.csv").write_bytes(b"w,")
    one_error(run(tmp_path / "t.csv", "--encoding", "utf-16"),
              "t.csv:1: not valid utf-16 (UTF-16 stream does not start with BOM)")


# A child that runs the command under an address-space limit and reports its peak.
PEAK = ("import resource, runpy, sys\n"
        "limit = int(sys.argv[1])\n"
        "if limit: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))\n"
        "sys.argv = ['lexispan', *sys.argv[2:]]\n"
        "try:\n"
        "    runpy.run_module('lexispan_cli', run_name='__main__')\n"
        "finally:\n"
        "    peak = [l for l in open('/proc/self/status') if l.startswith('VmPeak')]\n"
        "    sys.stderr.write('peak ' + peak[0].split()[1] + '\\n')\n")
PINNED = dict(OPENBLAS_NUM_THREADS="1", MALLOC_ARENA_MAX="2")


def limited_run(limit, *args):
    """(exit status, output, error lines without the peak, peak address space in bytes)."""
    result = subprocess.run([sys.executable, "-c", PEAK, str(limit), *map(str, args)],
                            capture_output=True, text=True, timeout=300,
                            env=dict(os.environ, **PINNED))
    lines = result.stderr.splitlines()
    peak = int(lines.pop().split()[1]) * 1024
    return result.returncode, result.stdout, lines, peak


def baseline(tmp_path, *args):
    """The peak address space of the same command on a tiny input."""
    small = tmp_path / "small"
    small.mkdir(exist_ok=True)
    (small / "a.txt").write_text("the cat\n")
    return limited_run(0, small, *args)[3]


LINE = 16 << 20
sanitized = pytest.mark.skipif(os.environ.get("LEXISPAN_SANITIZED") == "1",
                               reason="ASan's shadow memory cannot live under an address-space "
                                      "limit")


@sanitized
def test_a_16_mib_line_is_read_within_twice_its_length(tmp_path):
    # The old reader held every token of a text in a list and rebuilt a long
    # line block by block: about 15 times the line, quadratic in time.
    folder = tmp_path / "long"
    folder.mkdir()
    chunk = " ".join(f"w{i % 997}" for i in range(200_000)) + " "
    copies = LINE // len(chunk) + 1
    (folder / "one.txt").write_text(chunk * copies)
    limit = baseline(tmp_path, "--measures", "range", "--top", "1") + 2 * LINE
    for source in ([folder], [folder / "one.txt", "--text"]):
        status, output, errors, _ = limited_run(limit, *source, "--measures", "range",
                                                "--top", "1")
        assert status == 0, errors
        assert output.splitlines()[1] == f"w0,{201 * copies},1"


@sanitized
@pytest.mark.parametrize("size_line, message", [
    ("1 300000000 1", "m.mtx:3: the size line declares 300000000 columns (parts) for 1 entries; "
                      "more than 1048576 parts without an entry are refused"),
    ("1 3 1000000000", "m.mtx: 1 entries, the size line (line 3) says 1000000000"),
])
def test_matrix_market_sizes_are_not_taken_on_trust(tmp_path, size_line, message):
    (tmp_path / "v.txt").write_text("a\n")
    (tmp_path / "m.mtx").write_text(mtx(1, 3, [(1, 1, 2)]).replace("1 3 1", size_line))
    limit = baseline(tmp_path) + (64 << 20)
    status, output, errors, _ = limited_run(limit, tmp_path / "m.mtx", "--vocab",
                                            tmp_path / "v.txt")
    assert (status, output, len(errors)) == (1, "", 1)
    assert errors[0].startswith(ERROR) and errors[0].endswith(message), errors
