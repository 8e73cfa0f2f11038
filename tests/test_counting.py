"""The public word rule and counters of lexispan_table: texts and files to the
sparse counts that dispersion takes, agreeing with a plain Counter per text,
with and without SciPy; and every docstring example of the package runs."""

import collections
import doctest
import random
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import lexispan_table as lt

WORDS = ["the", "The", "Straße", "STRASSE", "don't", "well-known", "e\u0301te", "été", "a1",
         "\u0130stanbul", "٣"]
GAPS = [" ", ", ", ".\n", " -- ", "_", "'' "]


def random_texts(rng, count):
    return ["".join(rng.choice(WORDS) + rng.choice(GAPS) for _ in range(rng.randrange(0, 30)))
            for _ in range(count)]


def reference(texts, **rule):
    """words, part names, sizes and dense counts from a Counter per text."""
    counters = [collections.Counter(lt.tokenize(text, **rule)) for text in texts]
    words = list(dict.fromkeys(w for c in counters for w in c))
    dense = np.array([[c[w] for c in counters] for w in words], dtype=np.float64)
    return words, [float(sum(c.values())) for c in counters], dense.reshape(len(words), -1)


def dense_of(counts):
    dense = np.zeros(counts.shape)
    for w in range(counts.shape[0]):
        span = slice(counts.indptr[w], counts.indptr[w + 1])
        dense[w, counts.indices[span]] = counts.data[span]
    return dense


@pytest.mark.parametrize("rule", [{}, {"keep_case": True}, {"token_pattern": r"\w(\w)"}])
def test_counts_of_texts_are_a_counter_per_text(rule):
    rng = random.Random(5)
    texts = random_texts(rng, 40)
    counts = lt.count_texts(texts, positions=True, **rule)
    words, sizes, dense = reference(texts, **rule)
    assert counts.words == words and counts.part_names == [str(i) for i in range(40)]
    assert counts.part_sizes.tolist() == sizes
    assert np.array_equal(dense_of(counts), dense) and counts.nnz == np.count_nonzero(dense)
    assert all(np.all(np.diff(counts.indices[counts.indptr[w]:counts.indptr[w + 1]]) > 0)
               for w in range(len(words)))
    # The token stream, read part after part, gives the positions of the tokens.
    tokens = [t for text in texts for t in lt.tokenize(text, **rule)]
    expected = lt.positions_from_tokens(tokens)
    assert list(counts.positions()) == list(expected)
    assert all(np.array_equal(counts.positions()[w], expected[w]) for w in expected)
    assert counts.part_starts.tolist() == np.cumsum([0, *sizes[:-1]]).tolist()
    # Named texts, from a mapping or from pairs, one at a time.
    named = lt.count_texts((f"t{i}", t) for i, t in enumerate(texts))
    assert named.part_names == [f"t{i}" for i in range(40)]
    assert np.array_equal(dense_of(named), dense_of(lt.count_texts(dict(zip(named.part_names,
                                                                              texts)))))


def test_dispersion_takes_the_counts_as_scipy_would():
    texts = random_texts(random.Random(9), 25)
    counts = lt.count_texts(texts)
    table = lt.dispersion(counts, measures="all")
    assert list(table.index) == counts.words
    by_scipy = lt.dispersion(counts.to_scipy(), counts.part_sizes, words=counts.words,
                             measures="all")
    assert table.equals(by_scipy)
    with pytest.raises(ValueError, match="words_axis must be 0"):
        lt.dispersion_arrays(counts, words_axis=1)
    with pytest.raises(ValueError, match="positions=True"):
        counts.positions()


def test_the_counters_need_no_scipy():
    script = textwrap.dedent("""
        import sys
        sys.modules["scipy"] = None
        import lexispan_table as lt
        counts = lt.count_texts(["a b a", "b c"])
        print(lt.dispersion_arrays(counts, measures=["frequency"])["frequency"].tolist())
        try:
            counts.to_scipy()
        except ImportError as error:
            print(error)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "[2.0, 2.0, 1.0]", "SparseCounts.to_scipy needs SciPy: pip install 'lexispan[table]'"]


def test_files_are_counted_as_their_texts(tmp_path):
    texts = random_texts(random.Random(3), 6)
    folder = tmp_path / "corpus"
    (folder / "sub").mkdir(parents=True)
    encodings = ["utf-8", "utf-8-sig", "utf-16", "utf-32", "utf-16-be", "utf-8"]
    names = ["a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "sub/f.txt"]
    for name, text, encoding in zip(names, texts, encodings):
        data = text.encode(encoding)
        if encoding == "utf-16-be":
            data = b"\xfe\xff" + data
        (folder / name).write_bytes(data)
    (folder / ".hidden.txt").write_text("hidden")
    (folder / "g.md").write_text("other")
    expected = lt.count_texts(dict(zip(names, texts)))
    found = lt.count_files(folder, glob="**/*.txt")
    by_paths = lt.count_files([folder / name for name in names])
    for counts in (found, by_paths):
        assert counts.words == expected.words
        assert np.array_equal(dense_of(counts), dense_of(expected))
    assert found.part_names == names
    assert by_paths.part_names == [str(folder / name) for name in names]
    assert lt.count_files(folder, exclude=["b.*", "c.txt"]).part_names == ["a.txt", "d.txt",
                                                                              "e.txt"]


def test_file_errors_warnings_and_links(tmp_path):
    folder = tmp_path / "f"
    folder.mkdir()
    (folder / "a.txt").write_text("one two\n")
    (folder / "b.txt").write_bytes(b"fine\nbad \xff byte\n")
    (folder / "c.txt").symlink_to(folder / "a.txt")
    with pytest.raises(lt.TextFileError) as raised:
        lt.count_files(folder)
    error = raised.value
    assert (error.path, error.line, error.reason) == (str(folder / "b.txt"), 2,
                                                      "not valid UTF-8 (byte 0xff)")
    assert str(error) == f"{folder / 'b.txt'}:2: not valid UTF-8 (byte 0xff)"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        counts = lt.count_files(folder, errors="skip")
    assert [type(w.message) for w in caught] == [lt.SkippedFileWarning, lt.RepeatedFileWarning]
    assert str(caught[0].message).endswith("b.txt:2: not valid UTF-8 (byte 0xff) (skipped)")
    assert str(caught[1].message) == (f"{folder / 'c.txt'}: the same file as "
                                      f"{folder / 'a.txt'}, counted once")
    assert counts.part_names == ["a.txt"] and counts.words == ["one", "two"]
    for call, message in [(lambda: lt.count_files(tmp_path / "none"), "no such file"),
                          (lambda: lt.count_files(folder, glob="*.md"), "no files matching"),
                          (lambda: lt.count_files(folder, errors="ignore"), "'raise' or 'skip'"),
                          (lambda: lt.count_texts("one text"), "not a single string"),
                          (lambda: lt.count_texts([("x", b"bytes")]), "must be a str")]:
        with pytest.raises((ValueError, TypeError), match=message):
            call()


@pytest.mark.parametrize("module", ["_tokens", "_counts", "_table"])
def test_docstring_examples_run(module):
    imported = __import__(f"lexispan_table.{module}", fromlist=["_"])
    result = doctest.testmod(imported, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0 and result.attempted > 0
