"""generate_candidate_json as a caller sees it."""

import json
from decimal import ROUND_HALF_UP, Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillforge import _native

from support import CANDIDATE as WORKED
from support import CONFIG, WHITE_SPACE

generate = _native.generate_candidate_json
MAX_SEED = 18446744073709551615


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def lore(lore_id="Tide Lore", title="Tides", contents=("  hello world ", "second")):
    blocks = [{"id": f"b{i + 1}", "content": content} for i, content in enumerate(contents)]
    return compact({"id": lore_id, "title": title, "blocks": blocks})


def config(temperature=0.7, max_candidates=3, seed=42):
    return compact({"temperature": temperature, "max_candidates": max_candidates, "seed": seed})


def expected(lore_value, config_value):
    """The candidate, computed from the rules in plain Python."""
    seed = config_value["seed"]
    state = 0xCBF29CE484222325 ^ seed
    texts = [lore_value["id"], lore_value["title"]] + [t for b in lore_value["blocks"] for t in (b["id"], b["content"])]
    for byte in "".join(texts).encode():
        state = ((state ^ byte) * 0x100000001B3) % 2**64
    capped = min((config_value["temperature"] / 10.0 + 1.0) * ((state % 10000) / 10000.0), 1.0)
    score = float(Decimal(capped * 1000000.0).quantize(Decimal(1), rounding=ROUND_HALF_UP)) / 1000000.0
    mapped = "".join(c.lower() if c.isascii() and c.isalnum() else "-" for c in lore_value["id"])
    slug = "-".join(piece for piece in mapped.split("-") if piece)
    return {
        "id": f"candidate-{slug}-{seed}",
        "block": {
            "id": lore_value["id"] + ":hybrid",
            "content": " ".join(b["content"].strip(WHITE_SPACE) for b in lore_value["blocks"]),
        },
        "score": score,
        "rationale": f"Hybridized {len(lore_value['blocks'])} block(s) from '{lore_value['title']}' with seed {seed}.",
    }


@pytest.mark.parametrize(
    ("config_json", "result"),
    [
        (CONFIG, WORKED),
        ("[0.7,1000,42]", WORKED),  # array form; max_candidates changes nothing
        (config(seed=0), WORKED.replace("42", "0").replace("0.121873", "0.684907")),
        (config(2.0, seed=MAX_SEED), WORKED.replace("42", str(MAX_SEED)).replace("0.121873", "0.90072")),
    ],
)
def test_worked_examples(config_json, result):
    assert generate(lore(), config_json) == result
    assert generate(config_json=config_json, lore_json=lore()) == result


@pytest.mark.parametrize(
    ("lore_json", "config_json", "message"),
    [
        ("", "", "serialization failed: EOF while parsing a value at line 1 column 0"),
        (
            lore(title=" "),
            '{"temperature":0.7,"max_candidates":3}',
            "serialization failed: missing field `seed` at line 1 column 38",
        ),
        (lore(title=" "), config(3.0, 0), "validation failed: NarrativeLore.title must not be empty"),
        (lore(), config(max_candidates=1001), "validation failed: LabConfig.max_candidates must be between 1 and 1000"),
    ],
)
def test_error_order(lore_json, config_json, message):
    with pytest.raises(ValueError) as raised:
        generate(lore_json, config_json)
    assert raised.value.args == (message,)


@pytest.mark.parametrize(
    ("call", "data"),
    [
        (lambda: generate("", config()), ("serialization", "lore", 1, 0)),
        (lambda: generate(lore(), '{\n "seed":'), ("serialization", "config", 2, 8)),
        (lambda: generate(lore(title=" "), config(3.0)), ("validation", "lore", None, None)),
        (lambda: generate(lore(), config(float("nan"))), ("serialization", "config", 1, 16)),
        (lambda: generate(lore(), config(2.5)), ("validation", "config", None, None)),
        (lambda: _native.render_lore_summary_json("[1"), ("serialization", "lore", 1, 2)),
        (lambda: _native.create_block_json("b", "\f"), ("validation", "block", None, None)),
    ],
)
def test_errors_carry_their_kind_input_and_position(call, data):
    with pytest.raises(ValueError) as raised:
        call()
    error = raised.value
    assert (error.kind, error.input, error.line, error.column) == data
    assert type(error) is ValueError and error.args == (str(error),)
    if error.line is not None:
        assert str(error).endswith(f" at line {error.line} column {error.column}")


TEXT = st.text(st.sampled_from(list('aZ9- \t\n\x0b\x1f\x85\xa0é\u1680\u200a\u200b\u2028\u3000😀"')), max_size=12)
NONBLANK = TEXT.filter(lambda text: text.strip(" \t\n\f\r") != "")


@settings(max_examples=300, deadline=None)
@given(
    NONBLANK,
    NONBLANK,
    st.lists(st.tuples(NONBLANK, NONBLANK), min_size=1, max_size=5),
    st.floats(0.0, 2.0),
    st.integers(0, MAX_SEED),
)
def test_matches_the_rules(lore_id, title, blocks, temperature, seed):
    lore_value = {"id": lore_id, "title": title, "blocks": [{"id": i, "content": c} for i, c in blocks]}
    config_value = {"temperature": temperature, "max_candidates": 1, "seed": seed}
    assert json.loads(generate(compact(lore_value), compact(config_value))) == expected(lore_value, config_value)
