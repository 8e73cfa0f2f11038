"""Binding of positional and keyword arguments on the three entries that take arguments."""

import ctypes

import pytest

from lexispan import CorpusWordAnalyzer

A = CorpusWordAnalyzer
NEW = "CorpusWordAnalyzer.__new__()"
BATCH = "CorpusWordAnalyzer.calculate_batch_metrics()"
SINGLE = "CorpusWordAnalyzer.calculate_single_metric()"
batch = A.calculate_batch_metrics
single = A.calculate_single_metric

CASES = [
    # Too many positional arguments; keywords are not looked at.
    (A, ([1], [2], 3, 4), {}, f"{NEW} takes 3 positional arguments but 4 were given"),
    (A, ([1], [2], 3, 4, 5), {"x": 1}, f"{NEW} takes 3 positional arguments but 5 were given"),
    (batch, ([[1, 2]], [3, 4], 10, 99), {},
     f"{BATCH} takes 3 positional arguments but 4 were given"),
    (single, ([1], [2], 3, "dp", 5), {},
     f"{SINGLE} takes 4 positional arguments but 5 were given"),
    # A parameter given twice.
    (A, ([1], [2], 3), {"v": [1]}, f"{NEW} got multiple values for argument 'v'"),
    (A, ([1],), {"total_corpus_words": 3, "v": [1], "x": 1},
     f"{NEW} got multiple values for argument 'v'"),
    (batch, ([[1]], [2]), {"corpus_part_sizes": [2]},
     f"{BATCH} got multiple values for argument 'corpus_part_sizes'"),
    (single, ([1], [2], 3, "dp"), {"metric_name": "dp"},
     f"{SINGLE} got multiple values for argument 'metric_name'"),
    # A keyword naming no parameter; the first offending keyword wins.
    (A, ([1], [2], 3), {"x": 1}, f"{NEW} got an unexpected keyword argument 'x'"),
    (A, ([1], [2]), {"total_corpus_words\x00": 3},
     f"{NEW} got an unexpected keyword argument 'total_corpus_words\x00'"),
    (A, ([1],), {"x": 1, "v": [1]}, f"{NEW} got an unexpected keyword argument 'x'"),
    # A keyword that UTF-8 cannot encode still names no parameter.
    (A, ([1], [2], 3), {"\ud800": 1}, f"{NEW} got an unexpected keyword argument '\ud800'"),
    (A, (), {"corpus_part_sizes": [1]},
     f"{NEW} got an unexpected keyword argument 'corpus_part_sizes'"),
    (batch, ([[1]], [2], 3), {"frequency_vector": 1},
     f"{BATCH} got an unexpected keyword argument 'frequency_vector'"),
    (single, (), {"v": [1]}, f"{SINGLE} got an unexpected keyword argument 'v'"),
    # Missing parameters, in declaration order.
    (A, ([1], [2]), {},
     f"{NEW} missing 1 required positional argument: 'total_corpus_words'"),
    (A, ([1],), {},
     f"{NEW} missing 2 required positional arguments: 'corpus_part_sizes_words' and "
     "'total_corpus_words'"),
    (A, (), {"corpus_part_sizes_words": [1]},
     f"{NEW} missing 2 required positional arguments: 'v' and 'total_corpus_words'"),
    (A, (), {},
     f"{NEW} missing 3 required positional arguments: 'v', 'corpus_part_sizes_words', and "
     "'total_corpus_words'"),
    (batch, (), {"total_corpus_words": 3},
     f"{BATCH} missing 2 required positional arguments: 'frequency_matrix' and "
     "'corpus_part_sizes'"),
    (batch, (), {},
     f"{BATCH} missing 3 required positional arguments: 'frequency_matrix', "
     "'corpus_part_sizes', and 'total_corpus_words'"),
    (single, ([1], [2], 3), {},
     f"{SINGLE} missing 1 required positional argument: 'metric_name'"),
    (single, (), {},
     f"{SINGLE} missing 4 required positional arguments: 'frequency_vector', "
     "'corpus_part_sizes', 'total_corpus_words', and 'metric_name'"),
    (single, (), {"corpus_part_sizes": [1]},
     f"{SINGLE} missing 3 required positional arguments: 'frequency_vector', "
     "'total_corpus_words', and 'metric_name'"),
    # Binding comes before conversion: bad values are not looked at.
    (A, ("text",), {}, f"{NEW} missing 2 required positional arguments: "
                       "'corpus_part_sizes_words' and 'total_corpus_words'"),
    (single, ({}, {}, {}), {"metric_name": 1, "y": 2},
     f"{SINGLE} got an unexpected keyword argument 'y'"),
]


@pytest.mark.parametrize("entry, args, kwargs, message", CASES)
def test_binding_errors(entry, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        entry(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("call", [
    lambda: A([1, 2], [3, 4], 10),
    lambda: A([1, 2], [3, 4], total_corpus_words=10),
    lambda: A(total_corpus_words=10, v=[1, 2], corpus_part_sizes_words=[3, 4]),
])
def test_positional_and_keyword_binding_agree(call):
    analyzer = call()
    assert analyzer.get_corpus_part_sizes() == [3.0, 4.0]
    assert analyzer.get_total_corpus_words() == 10.0


def test_batch_binds_by_keyword():
    by_keyword = batch(total_corpus_words=10, corpus_part_sizes=[3, 4], frequency_matrix=[[1, 2]])
    assert by_keyword[0].dp == A([1, 2], [3, 4], 10).get_dp()


def test_a_keyword_key_that_is_not_a_str_is_refused():
    # Only the C API can pass such a key; it must not be read as a str.
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object] * 3
    call.restype = ctypes.py_object
    with pytest.raises(TypeError) as info:
        call(A, ([1], [2], 3), {1: 2})
    assert str(info.value) == f"{NEW} keywords must be strings"
