"""The word rule: what a token is, and counting the tokens of one text."""

from __future__ import annotations

import collections
import functools
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


def tokenize(text: str, *, keep_case: bool = False, token_pattern: str | None = None
             ) -> list[str]:
    """The words of a text, in order, by the word rule of the ``lexispan`` command.

    Parameters
    ----------
    text : str
        The text. It is brought to Unicode normal form NFC first, so that a
        letter typed as a base and a combining accent is the same word as the
        precomposed letter.
    keep_case : bool, default False
        Keep the words as written; by default each is case-folded
        (``str.casefold``: "Straße" and "STRASSE" are one word).
    token_pattern : str, optional
        A regular expression replacing the word rule: every non-empty match
        is a word (the whole match, whatever groups the pattern has).

    Returns
    -------
    list of str
        The words in the order they occur.

    Notes
    -----
    A word is a maximal run of letters and digits (any script, as
    ``str.isalnum`` sees them; the underscore is not one) in which single
    apostrophes (' or \u2019) or hyphens (- \u2010 \u2011) may join the runs.

    Examples
    --------
    >>> from lexispan_table import tokenize
    >>> tokenize("Don't STOP the well-known cat's rock_n roll -- 42x!")
    ["don't", 'stop', 'the', 'well-known', "cat's", 'rock', 'n', 'roll', '42x']
    >>> tokenize("Straße STRASSE")
    ['strasse', 'strasse']
    >>> tokenize("Straße STRASSE", keep_case=True)
    ['Straße', 'STRASSE']
    >>> tokenize("a1 b22 c333", token_pattern=r"[a-z]\\d+")
    ['a1', 'b22', 'c333']
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    return _tokenizer(WORD_PATTERN if token_pattern is None else token_pattern,
                      bool(keep_case))(text)


@functools.lru_cache(maxsize=16)
def _tokenizer(pattern: str, keep_case: bool) -> Tokenizer:
    return make_tokenizer(pattern, keep_case)


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


def _kind(char: str) -> str:
    """What the default word rule sees in a character."""
    if char.isalnum():
        return "a"
    return char if char in _JOINERS.replace("\\", "") + "_" else " "


def _folds_in_kind(char: str) -> bool:
    """Whether every character of char.casefold() is of char's kind, so that
    folding it cannot move a word boundary (U+0130 gains a combining dot,
    U+0345 turns into a letter: those do not)."""
    kind = _kind(char)
    return all(_kind(c) == kind for c in char.casefold())


def _unsafe_characters() -> re.Pattern[str]:
    """A pattern matching every character whose folding changes its kind; only
    characters that folding changes at all can."""
    chars = [c for c in map(chr, range(0x80, 0x110000))
             if c.casefold() != c and not _folds_in_kind(c)]
    return re.compile("[" + "".join(re.escape(c) for c in chars) + "]")


def make_counter(pattern: str = WORD_PATTERN, keep_case: bool = False
                 ) -> Callable[[str], collections.Counter[str]]:
    """Counts the words of a text, as collections.Counter(tokenize(text)) would.

    The case-folded counts are taken the quick way where that gives the same
    words: with the default rule, a text none of whose characters changes kind
    when folded is folded whole before it is split. Otherwise the distinct
    tokens are folded once each, after counting."""
    matches = make_tokenizer(pattern, keep_case=True)
    regex = re.compile(pattern)
    whole = pattern == WORD_PATTERN and not keep_case
    checked: set[str] = set()
    unsafe: set[str] = set()
    finder: list[re.Pattern[str]] = []
    texts = 0

    def foldable(text: str) -> bool:
        nonlocal texts
        if text.isascii():
            return True
        if finder:
            return finder[0].search(text) is None
        texts += 1
        if texts > 200:
            # Many texts to come: find the characters that move a boundary
            # once (a fifth of a second), then search for them in each text.
            finder.append(_unsafe_characters())
            return finder[0].search(text) is None
        chars = set(text)
        for char in chars.difference(checked):
            checked.add(char)
            if not _folds_in_kind(char):
                unsafe.add(char)
        return unsafe.isdisjoint(chars)

    def count(text: str) -> collections.Counter[str]:
        if whole:
            if not unicodedata.is_normalized("NFC", text):
                text = unicodedata.normalize("NFC", text)
            if foldable(text):
                return collections.Counter(regex.findall(text.casefold()))
        raw = collections.Counter(matches(text))
        if keep_case:
            return raw
        keys = [token.casefold() for token in raw]
        if keys == list(raw):
            return raw
        folded: collections.Counter[str] = collections.Counter()
        for token, n in zip(keys, raw.values()):
            folded[token] += n
        return folded

    return count
