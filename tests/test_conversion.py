"""Converting arguments to numbers, vectors, matrices and text, and results back to Python."""

import collections
import ctypes
import struct

import pytest

from conftest import NAN, bits
from lexispan import CorpusWordAnalyzer

A = CorpusWordAnalyzer
single = A.calculate_single_metric


def sizes_of(sequence):
    """The part sizes come back exactly as converted."""
    return A([0] * len(list(iter(sequence))), sequence, 1).get_corpus_part_sizes()


def interpreter_error(obj):
    """What the interpreter's own number-to-double conversion raises for `obj`."""
    as_double = ctypes.pythonapi.PyFloat_AsDouble
    as_double.argtypes = [ctypes.py_object]
    as_double.restype = ctypes.c_double
    with pytest.raises(Exception) as info:
        as_double(obj)
    return type(info.value), str(info.value)


class Index:
    def __index__(self):
        return 4


class Real:
    def __float__(self):
        return 2.5


class MinusOne:
    def __float__(self):
        return -1.0


class Seq:
    """A sequence by `__getitem__` alone."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("sequence, expected", [
    ([1, 2, 3], [1.0, 2.0, 3.0]),
    ((1, 2, 3), [1.0, 2.0, 3.0]),
    (range(1, 4), [1.0, 2.0, 3.0]),
    ([1, True, 2.5], [1.0, 1.0, 2.5]),
    (b"\x03\x04", [3.0, 4.0]),
    (bytearray(b"\x01\x02"), [1.0, 2.0]),
    ([Index(), Real(), MinusOne(), -1], [4.0, 2.5, -1.0, -1.0]),
    (Seq([5, 6]), [5.0, 6.0]),
    ([2**53 + 1], [9007199254740992.0]),
])
def test_accepted_sequences(sequence, expected):
    assert sizes_of(sequence) == expected


def test_exact_bits_survive_the_round_trip():
    payload_nan = struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf8\xff")[0]
    values = [-0.0, 5e-324, payload_nan, float("-inf"), 1.7976931348623157e308]
    analyzer = A([1] * 5, values, 1)
    assert [bits(x) for x in analyzer.get_corpus_part_sizes()] == [bits(x) for x in values]
    assert bits(A([1], [1], NAN).get_total_corpus_words()) == bits(NAN)


def refused(kind, name):
    return f"argument 'corpus_part_sizes_words': '{name}' object cannot be converted to '{kind}'"


@pytest.mark.parametrize("sizes, message", [
    ("34", "argument 'corpus_part_sizes_words': Can't extract `str` to `Vec`"),
    (type("Text", (str,), {})("34"),
     "argument 'corpus_part_sizes_words': Can't extract `str` to `Vec`"),
    ({1: 2}, refused("Sequence", "dict")),
    ({1, 2}, refused("Sequence", "set")),
    (collections.OrderedDict(), refused("Sequence", "OrderedDict")),
    ((x for x in [1, 2]), refused("Sequence", "generator")),
    (iter([1, 2]), refused("Sequence", "list_iterator")),
    (7, refused("Sequence", "int")),
    (None, refused("Sequence", "NoneType")),
    (Outer.Inner(), refused("Sequence", "Outer.Inner")),
])
def test_refused_sequences(sizes, message):
    with pytest.raises(TypeError) as info:
        A([1, 2], sizes, 3)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_type_name_that_is_not_valid_text():
    class Odd:
        pass

    Odd.__qualname__ = "odd\ud800"
    with pytest.raises(TypeError) as info:
        A([1], Odd(), 1)
    assert info.value.args == (refused("Sequence", "<failed to extract type name>"),)


@pytest.mark.parametrize("item", ["a", None, [1], b"x"])
def test_item_errors_carry_the_interpreter_text_and_the_name(item):
    kind, text = interpreter_error(item)
    assert kind is TypeError
    with pytest.raises(TypeError) as info:
        A([1, item], [1, 2], 3)
    assert info.value.args == ("argument 'v': " + text,)


def test_type_error_cause_is_carried_over():
    cause = KeyError("inner")

    class Bad:
        def __float__(self):
            raise TypeError("no float today") from cause

    with pytest.raises(TypeError) as info:
        A([1], [Bad()], 3)
    assert str(info.value) == "argument 'corpus_part_sizes_words': no float today"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("text", ["\udc80", "bad \ud800 item", "a\x00b"])
def test_type_error_text_that_is_not_utf8_keeps_its_name_prefix(text):
    class Bad:
        def __float__(self):
            raise TypeError(text)

    with pytest.raises(TypeError) as info:
        A([Bad()], [1], 3)
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'v': " + text,)


def test_type_error_whose_text_cannot_be_made_stays_a_type_error():
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    class Bad:
        def __float__(self):
            raise TypeError(Unprintable())

    with pytest.raises(TypeError) as info:
        A.calculate_single_metric([1], [Bad()], 1, "dp")
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'corpus_part_sizes': <unprintable TypeError object>",)


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("error", [TypeErrorSubclass("sub"), ValueError("val"),
                                   ZeroDivisionError("zero")])
def test_other_item_errors_pass_unchanged(error):
    class Bad:
        def __float__(self):
            raise error

    with pytest.raises(type(error)) as info:
        A([Bad()], [1], 3)
    assert info.value is error


def test_iteration_errors_pass_through():
    class Broken:
        def __getitem__(self, i):
            if i == 1:
                raise RuntimeError("broken at 1")
            return 1

    with pytest.raises(RuntimeError, match="^broken at 1$"):
        A(Broken(), [1, 2], 3)


@pytest.mark.parametrize("where", ["total", "item"])
def test_overflow_is_not_prefixed(where):
    args = ([1], [1], 10**400) if where == "total" else ([10**400], [1], 3)
    with pytest.raises(OverflowError) as info:
        A(*args)
    assert type(info.value) is OverflowError
    assert str(info.value) == interpreter_error(10**400)[1]


@pytest.mark.parametrize("total, expected", [(7, 7.0), (True, 1.0), (Index(), 4.0),
                                             (Real(), 2.5), (2.0**1023, 2.0**1023)])
def test_total_conversion(total, expected):
    result = A([1], [1], total).get_total_corpus_words()
    assert type(result) is float and bits(result) == bits(expected)


@pytest.mark.parametrize("total", ["3", None, [3]])
def test_total_refused_with_its_name(total):
    with pytest.raises(TypeError) as info:
        A([1], [1], total)
    assert info.value.args == ("argument 'total_corpus_words': " + interpreter_error(total)[1],)


class Lying:
    """Claims a huge length but yields three items."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return i + 1


@pytest.mark.parametrize("length", [2**62, 2**63 - 1, 0, 1, RuntimeError("no length"),
                                    MemoryError()])
def test_reported_length_is_only_a_hint(length):
    assert A([1, 1, 1], Lying(length), 3).get_corpus_part_sizes() == [1.0, 2.0, 3.0]


def test_first_failing_parameter_is_reported():
    with pytest.raises(TypeError, match=r"^argument 'v': "):
        A({}, "x", None)
    with pytest.raises(TypeError, match=r"^argument 'corpus_part_sizes': "):
        single([1], {}, None, 5)
    with pytest.raises(TypeError, match=r"^argument 'total_corpus_words': "):
        single([1], [1], None, 5)


@pytest.mark.parametrize("name, message", [
    (5, "argument 'metric_name': 'int' object cannot be converted to 'PyString'"),
    (b"dp", "argument 'metric_name': 'bytes' object cannot be converted to 'PyString'"),
    (None, "argument 'metric_name': 'NoneType' object cannot be converted to 'PyString'"),
])
def test_text_conversion_refusals(name, message):
    with pytest.raises(TypeError) as info:
        single([1], [1], 1, name)
    assert info.value.args == (message,)


def test_lone_surrogate_name_is_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        single([1], [1], 1, "dp\ud800")


@pytest.mark.parametrize("matrix, message", [
    ([[1, 2], 7], "argument 'frequency_matrix': 'int' object cannot be converted to 'Sequence'"),
    ([[1, 2], "12"], "argument 'frequency_matrix': Can't extract `str` to `Vec`"),
    ("12", "argument 'frequency_matrix': Can't extract `str` to `Vec`"),
    ({1: [1]}, "argument 'frequency_matrix': 'dict' object cannot be converted to 'Sequence'"),
])
def test_matrix_conversion_refusals(matrix, message):
    with pytest.raises(TypeError) as info:
        A.calculate_batch_metrics(matrix, [1, 2], 3)
    assert info.value.args == (message,)


def test_matrix_accepts_any_sequence_of_sequences():
    rows = A.calculate_batch_metrics((range(1, 3), b"\x01\x02", Seq([1, 2])), [1, 1], 2)
    assert len(rows) == 3
    assert {bits(r.dp) for r in rows} == {bits(A([1, 2], [1, 1], 2).get_dp())}


def test_empty_sequences_convert_and_fail_validation_only():
    with pytest.raises(ValueError, match=r"^Input vectors cannot be empty\.$"):
        A(b"", range(0), 1)
