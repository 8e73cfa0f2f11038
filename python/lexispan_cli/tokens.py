"""The word rule: what a token is, and counting the tokens of one text."""

from __future__ import annotations

import collections
import re
import unicodedata
from collections.abc import Callable

# A word is a maximal run of letters and digits (as str.isalnum sees them, so
# any script), which may be joined by single apostrophes or hyphens inside it:
# "don't", "well-known", "l'homme". Underscores and all other characters
# separate words.
_JOINERS = "'\u2019\\-\u2010\u2011"
WORD_PATTERN = rf"[^\W_]+(?:[{_JOINERS}][^\W_]+)*"

Tokenizer = Callable[[str], list[str]]


def make_tokenizer(pattern: str = WORD_PATTERN, keep_case: bool = False) -> Tokenizer:
    """The non-empty matches of `pattern` in the NFC form of a text, in order,
    case-folded unless asked not to."""
    regex = re.compile(pattern)

    def matches(text: str) -> list[str]:
        if not unicodedata.is_normalized("NFC", text):
            text = unicodedata.normalize("NFC", text)
        if regex.groups:
            # findall would return the groups; the word is the whole match.
            return [m.group(0) for m in regex.finditer(text) if m.group(0)]
        found: list[str] = regex.findall(text)
        if regex.match(""):
            found = [token for token in found if token]
        return found

    if keep_case:
        return matches

    def folded(text: str) -> list[str]:
        return [token.casefold() for token in matches(text)]

    return folded


def make_counter(pattern: str = WORD_PATTERN, keep_case: bool = False
                 ) -> Callable[[str], collections.Counter[str]]:
    """Counts the words of a text. Case folding is applied to each distinct
    token once, after counting, which gives the same counts as folding every
    token (folding is per token, and two tokens that fold alike merge)."""
    matches = make_tokenizer(pattern, keep_case=True)

    def count(text: str) -> collections.Counter[str]:
        raw = collections.Counter(matches(text))
        if keep_case:
            return raw
        folded: collections.Counter[str] = collections.Counter()
        for token, n in raw.items():
            folded[token.casefold()] += n
        return folded

    return count
