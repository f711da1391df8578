"""schema_bundle_json as a caller sees it, its record schemas checked by a real validator."""

import json

import jsonschema
import pytest

from quillforge import _native

from support import CONFIG, LORE


def validator(name):
    return jsonschema.Draft7Validator(json.loads(_native.schema_bundle_json())["models"][name])


def test_bundle_text():
    # The text itself is pinned byte for byte by the C++ tests; here, that each document is a valid schema.
    bundle = json.loads(_native.schema_bundle_json())
    assert bundle["version"] == _native.version()
    for document in bundle["models"].values():
        jsonschema.Draft7Validator.check_schema(document)


@pytest.mark.parametrize(
    "lore_json", [LORE, '{"blocks":[{"content":"x","id":"b","note":1}],"title":"T","id":"l","extra":{"a":[]}}']
)
@pytest.mark.parametrize(
    "config_json", [CONFIG, '{"temperature":2,"max_candidates":1000,"seed":18446744073709551615,"note":null}']
)
def test_accepted_texts_and_candidates_validate(lore_json, config_json):
    candidate = _native.generate_candidate_json(lore_json, config_json)
    validator("NarrativeLore").validate(json.loads(lore_json))
    validator("LabConfig").validate(json.loads(config_json))
    validator("HybridCandidate").validate(json.loads(candidate))


@pytest.mark.parametrize(
    ("name", "text"),
    [
        ("LabConfig", '{"temperature":0.7,"max_candidates":3}'),
        ("LabConfig", '{"temperature":"warm","max_candidates":3,"seed":1}'),
        ("LabConfig", '{"temperature":0.7,"max_candidates":3,"seed":[1]}'),
        ("LabConfig", "null"),
        ("LabConfig", "[0.7,3]"),
        ("NarrativeLore", '{"id":"l","title":"T"}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":{}}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":[{"id":"b"}]}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":[["b"]]}'),
    ],
)
def test_texts_rejected_for_shape_are_rejected_by_the_schema(name, text):
    with pytest.raises(ValueError, match=r"^serialization failed: "):
        _native.generate_candidate_json(LORE, text) if name == "LabConfig" else _native.render_lore_summary_json(text)
    assert not validator(name).is_valid(json.loads(text))


def test_where_the_schema_and_the_engine_legitimately_differ():
    config = validator("LabConfig")
    # JSON Schema's "integer" admits a number with a zero fraction; the engine reads 1.0 as a float.
    assert config.is_valid({"temperature": 0.7, "max_candidates": 1.0, "seed": 1})
    with pytest.raises(ValueError, match=r"floating point `1\.0`, expected u32"):
        _native.generate_candidate_json(LORE, '{"temperature":0.7,"max_candidates":1.0,"seed":1}')
    # "format" is an annotation the validator does not enforce: the uint32 bound is the engine's alone.
    assert config.is_valid({"temperature": 0.7, "max_candidates": 5000000000, "seed": 1})
    with pytest.raises(ValueError, match="integer `5000000000`, expected u32"):
        _native.generate_candidate_json(LORE, '{"temperature":0.7,"max_candidates":5000000000,"seed":1}')
    # The engine also reads records in array form; the schemas describe the object form only.
    assert _native.generate_candidate_json(
        '["Tide Lore","Tides",[["b1","  hello world "],["b2","second"]]]', "[0.7,3,42]"
    ) == _native.generate_candidate_json(LORE, CONFIG)
    assert not config.is_valid([0.7, 3, 42])
    # Blank texts and value ranges are validation's rules, not the schema's.
    assert config.is_valid({"temperature": 3.0, "max_candidates": 0, "seed": 1})
    assert validator("NarrativeLore").is_valid({"id": " ", "title": "T", "blocks": []})
