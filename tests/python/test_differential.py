"""The reader against Python's own json module, through the public functions: what it accepts and refuses,
and what its strings decode to. (The reader's rules themselves, numbers and positions included, are tested in
C++.)

Intended differences: a field key given twice at the top of a record is an error here ("duplicate field"),
where json.loads keeps the last; NaN and Infinity are not JSON (json.loads is told to refuse them); a lone
surrogate escape in a decoded string is refused here, while json.loads returns a lone surrogate (in a skipped
string both accept it).
"""

import json

import pytest
from hypothesis import event, example, given, settings
from hypothesis import strategies as st

from quillforge import _native

from support import WHITE_SPACE

LORE = '{"id":"l","title":"t","blocks":[{"id":"b","content":"c"}]}'
CONFIG_FIELDS = '"temperature":0.5,"max_candidates":1,"seed":7'
KNOWN_KEYS = ("temperature", "max_candidates", "seed")
FIELD_VALUES = [("temperature", 0.5), ("max_candidates", 1), ("seed", 7)]

# Python strings with a lone surrogate cannot be passed at all (strict UTF-8), so none are generated.
CHARACTERS = st.characters(exclude_categories=("Cs",))


def _refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def json_verdict(text):
    """How json.loads judges the text: "accepts", "refuses", or, when it accepts a text whose record fields are
    not the three given ones once each with their values, "duplicate field" or "missing field" (the record's
    own rules, not syntax) or "fields changed"."""
    try:
        pairs = json.loads(text, parse_constant=_refuse_constant, object_pairs_hook=lambda pairs: pairs)
    except ValueError:
        return "refuses"
    keys = [key for key, _ in pairs]
    if any(keys.count(key) > 1 for key in KNOWN_KEYS):
        return "duplicate field"
    if any(keys.count(key) == 0 for key in KNOWN_KEYS):
        return "missing field"
    if [(key, value) for key, value in pairs if key in KNOWN_KEYS] != FIELD_VALUES:
        return "fields changed"
    return "accepts"


def our_verdict(config_text):
    try:
        _native.generate_candidate_json(LORE, config_text)
    except ValueError as error:
        message = str(error)
    else:
        return True
    assert message.startswith("serialization failed: "), message
    return False


def assert_agrees_with_json(config):
    verdict = json_verdict(config)
    event(verdict)
    if verdict in ("duplicate field", "missing field"):
        # Syntax that json.loads accepts but a record refuses (json.loads keeps the last of repeated keys).
        assert verdict in _error_of(config)
    elif verdict != "fields changed":
        assert our_verdict(config) is (verdict == "accepts"), config


def wrap(value_text, first):
    """A configuration that carries the value under the unknown key "x", before or after the fields."""
    if first:
        return '{"x":' + value_text + "," + CONFIG_FIELDS + "}"
    return "{" + CONFIG_FIELDS + ',"x":' + value_text + "}"


KEYS = st.text(CHARACTERS, max_size=8)
SCALARS = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(CHARACTERS, max_size=20)
)
VALUES = st.recursive(
    SCALARS, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4), max_leaves=16
)
LAYOUTS = st.sampled_from(
    [
        {"separators": (",", ":")},
        {"separators": (", ", ": ")},
        {"indent": 2},
        {"indent": "\t"},
        {"indent": "\r\n", "separators": (" ,", " :")},
    ]
)


@st.composite
def value_texts(draw):
    return json.dumps(draw(VALUES), ensure_ascii=draw(st.booleans()), **draw(LAYOUTS))


# What a mutation may insert: every JSON token character, some near misses, and bytes the reader
# must refuse.
INSERTED = st.sampled_from(
    [
        *'{}[],:"\\/-+.eE0123456789tfnulrbx ',
        *("\t", "\n", "\r", "\x0c", "\x0b", "\x00", "\x1f", "\x7f", "\xa0", "é", "\ufeff"),
    ]
)


@st.composite
def mutated(draw, text):
    """The text with one to four characters dropped, inserted or swapped with their neighbour."""
    chars = list(text)
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["drop", "insert", "swap"]))
        # Half the time at the end of a token, where the grammar has the most to say.
        ends = [i for i in range(1, len(chars) + 1) if chars[i - 1] in '0123456789"]}el' or i == len(chars)]
        at = draw(st.sampled_from(ends) if ends and draw(st.booleans()) else st.integers(0, len(chars)))
        if kind == "insert":
            chars.insert(at, draw(INSERTED))
        elif kind == "drop" and at < len(chars):
            del chars[at]
        elif kind == "swap" and at + 1 < len(chars):
            chars[at], chars[at + 1] = chars[at + 1], chars[at]
    return "".join(chars)


@settings(max_examples=300, deadline=None)
@given(value_texts(), st.booleans())
def test_generated_values_are_skipped(value_text, first):
    config = wrap(value_text, first)
    assert json_verdict(config) == "accepts"
    assert our_verdict(config), config


@settings(max_examples=1500, deadline=None)
@given(value_texts().flatmap(mutated), st.booleans())
@example("1e999", True)
@example('"\\ud800"', False)
@example('"\\udc00\\ud800x"', True)
@example('{"a":1,"a":2}', False)  # repeated keys inside a skipped value are not noticed
@example("[1,]", False)
@example('{"a":1,}', False)
@example("01", True)
@example("1.", False)
@example("-", False)
@example("NaN", False)
@example("-Infinity", True)
@example("\ufeff1", False)
@example('"\x7f\x1f"', False)
@example('"\\q"', False)
@example("tru", True)
@example("[]]", False)
@example('1,"x":2', False)  # an unknown key twice is fine for both
def test_mutated_values_decode_exactly_when_json_accepts(value_text, first):
    assert_agrees_with_json(wrap(value_text, first))


# Short texts over the characters of one part of the grammar: most are near misses that mutations of whole
# values rarely produce ("1.", "-e5", "[,]", "\\u12g4").
SOUPS = [
    "0123456789.eE+-",
    "0123456789.eE+-[],",
    'truefalsn[]{},:" ',
    '"\\u0123456789abcdefABCDEFxnrtb/ ',
    '{}[],:"1 \t\n\r\f',
]


@settings(max_examples=1500, deadline=None)
@given(
    st.sampled_from(SOUPS).flatmap(lambda alphabet: st.text(st.sampled_from(alphabet), min_size=1, max_size=12)),
    st.booleans(),
)
def test_token_soup_decodes_exactly_when_json_accepts(value_text, first):
    assert_agrees_with_json(wrap(value_text, first))


def _error_of(config):
    with pytest.raises(ValueError) as raised:
        _native.generate_candidate_json(LORE, config)
    return str(raised.value)


# Strings: a JSON string decodes to what json.loads gives.

SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _u_escape(code, upper):
    text = f"\\u{code:04x}"
    return text.upper().replace("\\U", "\\u") if upper else text


def escape_pieces(text, random):
    """The JSON string body of `text` as a list of pieces, one per character, escaped at random."""
    pieces = []
    for char in text:
        code = ord(char)
        must = char in '"\\' or code < 0x20
        choice = random.randrange(4) if must else random.randrange(6)
        if choice == 0 and char in SHORT_ESCAPES:
            pieces.append(SHORT_ESCAPES[char])
        elif choice <= 1 or must:
            if code >= 0x10000:
                high, low = 0xD800 + ((code - 0x10000) >> 10), 0xDC00 + ((code - 0x10000) & 0x3FF)
                pieces.append(_u_escape(high, random.random() < 0.5) + _u_escape(low, random.random() < 0.5))
            else:
                pieces.append(_u_escape(code, random.random() < 0.5))
        else:
            pieces.append(char)
    return pieces


def lore_with(title='"t"', lore_id='"l"', content='"w"'):
    return f'{{"id":{lore_id},"title":{title},"blocks":[{{"id":"b","content":{content}}}]}}'


@settings(max_examples=500, deadline=None)
@given(st.text(CHARACTERS, max_size=40), st.randoms(use_true_random=False))
@example("\x00\u2028\U0001f600 é", None)
def test_strings_decode_like_json(text, random):
    text = "x" + text  # never blank, so that validation passes
    encoded = '"' + "".join(escape_pieces(text, random) if random else json.dumps(text)[1:-1]) + '"'
    expected = json.loads(encoded)
    assert expected == text

    summary = _native.render_lore_summary_json(lore_with(title=encoded))
    assert summary == expected + " contains 1 block(s) and 1 word(s)."

    candidate = json.loads(
        _native.generate_candidate_json(
            lore_with(lore_id=encoded, content=encoded), '{"temperature":0,"max_candidates":1,"seed":1}'
        )
    )
    assert candidate["block"]["id"] == expected + ":hybrid"
    assert candidate["block"]["content"] == expected.strip(WHITE_SPACE)
