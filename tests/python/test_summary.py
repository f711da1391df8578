"""render_lore_summary_json as a caller sees it."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillforge
from quillforge import _native

summarise = _native.render_lore_summary_json

TIDE_LORE = (
    '{"id":"Tide Lore","title":"Tides","blocks":[{"id":"b1","content":"  hello world "},'
    '{"id":"b2","content":"second"}]}'
)

WHITE_SPACE = frozenset(
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def _lore(contents, title="T"):
    blocks = [{"id": f"b{i}", "content": content} for i, content in enumerate(contents)]
    return json.dumps({"id": "l", "title": title, "blocks": blocks}, separators=(",", ":"), ensure_ascii=False)


def _words(text):
    """Maximal runs of characters outside White_Space (str.split knows a different set)."""
    words, inside = 0, False
    for c in text:
        if c in WHITE_SPACE:
            inside = False
        elif not inside:
            words, inside = words + 1, True
    return words


def test_worked_example():
    assert summarise(TIDE_LORE) == "Tides contains 2 block(s) and 3 word(s)."
    assert summarise(lore_json=TIDE_LORE) == summarise(TIDE_LORE)
    assert quillforge.render_lore_summary_json is summarise
    assert summarise('["l","Tides",[["b1","word"]]]') == "Tides contains 1 block(s) and 1 word(s)."


@pytest.mark.parametrize(
    ("content", "words"),
    [
        ("don't well-known a,b", 3),
        ("a\xa0b", 2),
        ("one\ttwo\nthree\x0bfour\x0cfive\rsix", 6),
        ("x\u2028y\u205fz\u1680w\x85v", 5),
        ("\u3000x\u3000", 1),
        ("a\u200bb", 1),
        ("a\x1fb\x1cd", 1),
        ("a  b", 2),
        ("\xa0", 0),  # passes validation, adds no word
        ("\x0b", 0),
        ("\u3000", 0),
    ],
)
def test_word_counts(content, words):
    assert summarise(_lore([content])) == f"T contains 1 block(s) and {words} word(s)."


def test_words_add_up_over_blocks_and_never_cross_them():
    assert summarise(_lore(["a  b", "\xa0", "d e f"])) == "T contains 3 block(s) and 5 word(s)."
    assert summarise(_lore(["ab", "cd"])) == "T contains 2 block(s) and 2 word(s)."


@pytest.mark.parametrize(
    ("title", "sentence"),
    [
        ("  Saga  ", "  Saga   contains 1 block(s) and 1 word(s)."),
        ('"Q"\n', '"Q"\n contains 1 block(s) and 1 word(s).'),
        ("Sagä 😀", "Sagä 😀 contains 1 block(s) and 1 word(s)."),
    ],
)
def test_title_is_kept_as_it_is(title, sentence):
    assert summarise(_lore(["x"], title=title)) == sentence


@pytest.mark.parametrize(
    ("lore_json", "message"),
    [
        ("", "serialization failed: EOF while parsing a value at line 1 column 0"),
        ('{"id":"l1","title":"T","blocks":[{"id":"b1"}]}', "serialization failed: missing field `content` at line 1 column 44"),
        ('{"id":"l1","title":"T","blocks":[]}', "validation failed: NarrativeLore.blocks must contain at least one block"),
        (_lore(["x"], title="\t"), "validation failed: NarrativeLore.title must not be empty"),
        (_lore(["x", "\r\n"]), "validation failed: NarrativeBlock.content must not be empty"),
    ],
)
def test_errors(lore_json, message):
    with pytest.raises(ValueError) as raised:
        summarise(lore_json)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((), {}, TypeError, "render_lore_summary_json() missing 1 required positional argument: 'lore_json'"),
        ((TIDE_LORE, TIDE_LORE), {}, TypeError, "render_lore_summary_json() takes 1 positional arguments but 2 were given"),
        ((), {"lore": TIDE_LORE}, TypeError, "render_lore_summary_json() got an unexpected keyword argument 'lore'"),
        ((TIDE_LORE,), {"lore_json": TIDE_LORE}, TypeError,
         "render_lore_summary_json() got multiple values for argument 'lore_json'"),
        ((None,), {}, TypeError, "argument 'lore_json': 'NoneType' object cannot be converted to 'PyString'"),
        (("\udc00",), {}, UnicodeEncodeError, None),
    ],
)
def test_binding(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        summarise(*args, **kwargs)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert summarise.__text_signature__ == "(lore_json)"
    assert summarise.__doc__ is None


CONTENT = st.text(st.sampled_from(["a", "b", " ", "\t", "\n", "\x0b", "\x1c", "\x85", "\xa0", "\u1680", "\u2000",
                                   "\u200a", "\u200b", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000", "é", "😀"]),
                  max_size=40).filter(lambda t: t.strip(" \t\n\f\r") != "")


@settings(max_examples=300, deadline=None)
@given(st.lists(CONTENT, min_size=1, max_size=6))
def test_matches_the_rules(contents):
    words = sum(_words(content) for content in contents)
    assert summarise(_lore(contents)) == f"T contains {len(contents)} block(s) and {words} word(s)."


def test_a_million_blocks():
    assert summarise(_lore(["one two\xa0three"] * 1_000_000)) == "T contains 1000000 block(s) and 3000000 word(s)."


def test_a_single_100_mb_block():
    content = "  " + "narrative text flows on\n" * (100 * 2**20 // 24) + "\u3000"
    words = 4 * (100 * 2**20 // 24)
    assert summarise(_lore([content])) == f"T contains 1 block(s) and {words} word(s)."
