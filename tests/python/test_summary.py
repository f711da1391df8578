"""render_lore_summary_json as a caller sees it."""

import json

import pytest

from quillforge import _native

from support import LORE, SUMMARY

summarise = _native.render_lore_summary_json


def lore(contents, title="T"):
    blocks = [{"id": f"b{i}", "content": content} for i, content in enumerate(contents)]
    return json.dumps({"id": "l", "title": title, "blocks": blocks}, ensure_ascii=False)


@pytest.mark.parametrize(
    ("lore_json", "sentence"),
    [
        (LORE, SUMMARY),
        ('["l","Tides",[["b1","word"]]]', "Tides contains 1 block(s) and 1 word(s)."),
        (lore(["a  b", "\xa0", "d e f"]), "T contains 3 block(s) and 5 word(s)."),  # never across blocks
        (lore(["x"], title="  Saga  "), "  Saga   contains 1 block(s) and 1 word(s)."),
        (lore(["x"], title='"Q"\n'), '"Q"\n contains 1 block(s) and 1 word(s).'),
    ],
)
def test_sentences(lore_json, sentence):
    assert summarise(lore_json) == summarise(lore_json=lore_json) == sentence


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
        ("\xa0", 0),
        ("\x0b", 0),
        ("\u3000", 0),
    ],
)
def test_word_counts(content, words):
    assert summarise(lore([content])) == f"T contains 1 block(s) and {words} word(s)."


@pytest.mark.parametrize(
    ("lore_json", "message"),
    [
        ("", "serialization failed: EOF while parsing a value at line 1 column 0"),
        (lore(["x", "\r\n"]), "validation failed: NarrativeBlock.content must not be empty"),
    ],
)
def test_errors(lore_json, message):
    with pytest.raises(ValueError) as raised:
        summarise(lore_json)
    assert raised.value.args == (message,)
