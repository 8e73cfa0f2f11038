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
