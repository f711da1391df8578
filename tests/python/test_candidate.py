"""generate_candidate_json as a caller sees it."""

import json
from decimal import ROUND_HALF_UP, Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillforge
from quillforge import _native

generate = _native.generate_candidate_json

TIDE_LORE = (
    '{"id":"Tide Lore","title":"Tides","blocks":[{"id":"b1","content":"  hello world "},'
    '{"id":"b2","content":"second"}]}'
)
CONFIG = '{"temperature":0.7,"max_candidates":3,"seed":42}'
MAX_SEED = 18446744073709551615

WHITE_SPACE = frozenset(
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def _compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def _lore(lore_id="Tide Lore", title="Tides", contents=("  hello world ", "second")):
    return _compact({"id": lore_id, "title": title,
                     "blocks": [{"id": f"b{i + 1}", "content": c} for i, c in enumerate(contents)]})


def _config(temperature=0.7, max_candidates=3, seed=42):
    return _compact({"temperature": temperature, "max_candidates": max_candidates, "seed": seed})


# A reference written from the rules, for differential tests.
def _trim(text):
    start, end = 0, len(text)
    while start < end and text[start] in WHITE_SPACE:
        start += 1
    while end > start and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[start:end]


def _slug(lore_id):
    mapped = "".join(c.lower() if c.isascii() and c.isalnum() else "-" for c in lore_id)
    return "-".join(piece for piece in mapped.split("-") if piece)


def _fnv(seed, texts):
    state = 0xCBF29CE484222325 ^ seed
    for text in texts:
        for byte in text.encode():
            state = ((state ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return state


def _score(hash_value, temperature):
    fraction = (hash_value % 10000) / 10000.0
    factor = temperature / 10.0 + 1.0
    capped = min(factor * fraction, 1.0)
    scaled = Decimal(capped * 1000000.0).quantize(Decimal(1), rounding=ROUND_HALF_UP)  # half away from zero
    return float(scaled) / 1000000.0


def _expected(lore, config):
    texts = [lore["id"], lore["title"]]
    for block in lore["blocks"]:
        texts += [block["id"], block["content"]]
    seed = config["seed"]
    return {
        "id": f"candidate-{_slug(lore['id'])}-{seed}",
        "block": {"id": lore["id"] + ":hybrid", "content": " ".join(_trim(b["content"]) for b in lore["blocks"])},
        "score": _score(_fnv(seed, texts), config["temperature"]),
        "rationale": f"Hybridized {len(lore['blocks'])} block(s) from '{lore['title']}' with seed {seed}.",
    }


def test_worked_example():
    assert generate(TIDE_LORE, CONFIG) == (
        '{"id":"candidate-tide-lore-42","block":{"id":"Tide Lore:hybrid","content":"hello world second"},'
        '"score":0.121873,"rationale":"Hybridized 2 block(s) from \'Tides\' with seed 42."}'
    )
    assert generate(config_json=CONFIG, lore_json=TIDE_LORE) == generate(TIDE_LORE, CONFIG)
    assert quillforge.generate_candidate_json is generate


@pytest.mark.parametrize(
    ("config", "expected"),
    [
        (_config(seed=0), '{"id":"candidate-tide-lore-0","block":{"id":"Tide Lore:hybrid","content":"hello world '
                          'second"},"score":0.684907,"rationale":"Hybridized 2 block(s) from \'Tides\' with seed 0."}'),
        (_config(2.0, seed=MAX_SEED),
         '{"id":"candidate-tide-lore-18446744073709551615","block":{"id":"Tide Lore:hybrid","content":"hello world '
         'second"},"score":0.90072,"rationale":"Hybridized 2 block(s) from \'Tides\' with seed 18446744073709551615."}'),
        ('[0.7,3,42]', None),  # array form: the worked example again
        ('{"seed":42,"note":[1,{"a":null}],"max_candidates":1,"temperature":0.7}', None),
        (_config(max_candidates=1000), None),  # max_candidates changes nothing
    ],
)
def test_other_configurations(config, expected):
    assert generate(TIDE_LORE, config) == (expected or generate(TIDE_LORE, CONFIG))


@pytest.mark.parametrize(
    ("lore_id", "candidate_id"),
    [
        ("Tide Lore", "candidate-tide-lore-42"),
        ("Tide__Lore!! 2 ", "candidate-tide-lore-2-42"),
        ("Café", "candidate-caf-42"),
        ("Ünïcödé", "candidate-n-c-d-42"),
        ("???", "candidate--42"),
        ("-ABC-", "candidate-abc-42"),
    ],
)
def test_id_slugs(lore_id, candidate_id):
    result = json.loads(generate(_lore(lore_id=lore_id), CONFIG))
    assert result["id"] == candidate_id
    assert result["block"]["id"] == lore_id + ":hybrid"


@pytest.mark.parametrize(
    ("contents", "merged"),
    [
        (["a", "\xa0", "b"], "a  b"),  # passes validation, trims to nothing, keeps its place
        (["a", "\x0b", "b"], "a  b"),
        (["a", "\u3000", "b"], "a  b"),
        (["\xa0"], ""),
        (["\u3000 x\ny \u2029"], "x\ny"),
        (["one"], "one"),
    ],
)
def test_merged_content(contents, merged):
    result = json.loads(generate(_lore(contents=contents), CONFIG))
    assert result["block"]["content"] == merged
    assert result["rationale"].startswith(f"Hybridized {len(contents)} block(s) from 'Tides'")


def test_title_keeps_its_spaces():
    result = json.loads(generate(_lore(title="  Saga  "), CONFIG))
    assert result["rationale"] == "Hybridized 2 block(s) from '  Saga  ' with seed 42."


@pytest.mark.parametrize(
    ("lore_json", "config_json", "message"),
    [
        # A lore text that does not decode wins over anything in the config.
        ("", "", "serialization failed: EOF while parsing a value at line 1 column 0"),
        ('{"id":"l1","title":"T","blocks":null}', CONFIG,
         "serialization failed: invalid type: null, expected a sequence at line 1 column 36"),
        # A config that does not decode wins over a lore that breaks a rule.
        (_lore(title=" "), '{"temperature":0.7,"max_candidates":3}',
         "serialization failed: missing field `seed` at line 1 column 38"),
        ('{"id":"l1","title":"T","blocks":[]}', "null",
         "serialization failed: invalid type: null, expected struct LabConfig at line 1 column 4"),
        # The lore is validated before the config.
        (_lore(title=" "), _config(3.0, 0), "validation failed: NarrativeLore.title must not be empty"),
        ('{"id":"l1","title":"T","blocks":[]}', _config(max_candidates=0),
         "validation failed: NarrativeLore.blocks must contain at least one block"),
        (_lore(contents=["x", " \t"]), CONFIG, "validation failed: NarrativeBlock.content must not be empty"),
        (TIDE_LORE, _config(2.0000000000000004), "validation failed: LabConfig.temperature must be between 0.0 and 2.0"),
        (TIDE_LORE, _config(max_candidates=1001),
         "validation failed: LabConfig.max_candidates must be between 1 and 1000"),
    ],
)
def test_error_order(lore_json, config_json, message):
    with pytest.raises(ValueError) as raised:
        generate(lore_json, config_json)
    assert str(raised.value) == message
    assert raised.value.args == (message,)


class Str(str):
    pass


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((), {}, TypeError,
         "generate_candidate_json() missing 2 required positional arguments: 'lore_json' and 'config_json'"),
        ((TIDE_LORE,), {}, TypeError, "generate_candidate_json() missing 1 required positional argument: 'config_json'"),
        ((), {"config_json": CONFIG}, TypeError,
         "generate_candidate_json() missing 1 required positional argument: 'lore_json'"),
        ((TIDE_LORE, CONFIG, CONFIG), {"extra": 1}, TypeError,
         "generate_candidate_json() takes 2 positional arguments but 3 were given"),
        ((TIDE_LORE,), {"extra": CONFIG}, TypeError,
         "generate_candidate_json() got an unexpected keyword argument 'extra'"),
        ((TIDE_LORE, CONFIG), {"lore_json": TIDE_LORE}, TypeError,
         "generate_candidate_json() got multiple values for argument 'lore_json'"),
        ((1, None), {}, TypeError, "argument 'lore_json': 'int' object cannot be converted to 'PyString'"),
        ((TIDE_LORE, b"{}"), {}, TypeError, "argument 'config_json': 'bytes' object cannot be converted to 'PyString'"),
        ((TIDE_LORE, "\ud800"), {}, UnicodeEncodeError, None),
    ],
)
def test_binding(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        generate(*args, **kwargs)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message


def test_binding_accepts_str_subclasses_and_reports_the_surface():
    assert generate(Str(TIDE_LORE), config_json=Str(CONFIG)) == generate(TIDE_LORE, CONFIG)
    assert generate.__text_signature__ == "(lore_json, config_json)"
    assert generate.__doc__ is None
    assert _native.__all__ == ["create_block_json", "generate_candidate_json", "render_lore_summary_json",
                               "schema_bundle_json", "version"]
    assert quillforge.__all__ == _native.__all__


TEXT = st.text(st.sampled_from(["a", "Z", "9", "-", "_", " ", "\t", "\n", "\x0b", "\x1f", "\x85", "\xa0", "é",
                                "\u1680", "\u2000", "\u200a", "\u200b", "\u2028", "\u205f", "\u3000", "😀", '"',
                                "\\"]), max_size=12)
NONBLANK = TEXT.filter(lambda t: t.strip(" \t\n\f\r") != "")


@settings(max_examples=300, deadline=None)
@given(
    lore_id=NONBLANK,
    title=NONBLANK,
    blocks=st.lists(st.tuples(NONBLANK, NONBLANK), min_size=1, max_size=5),
    temperature=st.floats(0.0, 2.0),
    seed=st.integers(0, MAX_SEED),
)
def test_matches_the_rules(lore_id, title, blocks, temperature, seed):
    lore = {"id": lore_id, "title": title, "blocks": [{"id": i, "content": c} for i, c in blocks]}
    config = {"temperature": temperature, "max_candidates": 1, "seed": seed}
    text = generate(_compact(lore), _compact(config))
    assert json.loads(text) == _expected(lore, config)
    assert list(json.loads(text)) == ["id", "block", "score", "rationale"]


def test_a_million_blocks():
    lore = {"id": "many", "title": "Many", "blocks": [{"id": "b", "content": " w\xa0"}] * 1_000_000}
    result = json.loads(generate(_compact(lore), CONFIG))
    assert result == _expected(lore, {"temperature": 0.7, "seed": 42})
    assert len(result["block"]["content"]) == 2 * 1_000_000 - 1


def test_a_single_100_mb_block():
    content = "  " + "narrative text flows on\n" * (100 * 2**20 // 24) + "\u3000"
    lore_json = _compact({"id": "big", "title": "Big", "blocks": [{"id": "b", "content": content}]})
    result = json.loads(generate(lore_json, CONFIG))
    assert result["id"] == "candidate-big-42"
    assert result["block"]["content"] == content[2:-2]  # the trailing line feed and U+3000 trimmed
    assert result["rationale"] == "Hybridized 1 block(s) from 'Big' with seed 42."
    assert 0.0 <= result["score"] <= 1.0
