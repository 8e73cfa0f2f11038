"""Argument errors whose text or type is easy to get wrong."""

import pytest

from lexispan import CorpusWordAnalyzer as A


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
