"""schema_bundle_json as a caller sees it, and its record schemas checked by a real validator."""

import json

import jsonschema
import pytest

from quillforge import _native

MODELS = ["NarrativeBlock", "NarrativeLore", "LabConfig", "HybridCandidate"]
DRAFT_07 = "http://json-schema.org/draft-07/schema#"


def _compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


@pytest.fixture(scope="module")
def bundle():
    return json.loads(_native.schema_bundle_json())


def test_text_is_compact_and_stable():
    text = _native.schema_bundle_json()
    assert text == _native.schema_bundle_json()
    assert len(text.encode()) == 1827
    assert text.startswith('{"$schema":"https://json-schema.org/draft/2020-12/schema","package":"quillforge"')
    assert not any(c in text for c in " \n\t\r")
    assert "\\" not in text  # nothing needs escaping, "/" included
    assert '"minimum":0.0' in text and '"minimum":0,' not in text
    assert "description" not in text and "additionalProperties" not in text
    # Re-encoding the parsed text gives the same bytes: key orders and number forms survive.
    assert _compact(json.loads(text)) == text


def test_head(bundle):
    assert list(bundle) == ["$schema", "package", "version", "model_order", "field_order", "models"]
    assert bundle["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    assert bundle["package"] == "quillforge"
    assert bundle["version"] == _native.version()
    assert bundle["model_order"] == MODELS
    assert list(bundle["field_order"]) == MODELS
    assert list(bundle["models"]) == MODELS
    assert bundle["field_order"] == {
        "NarrativeBlock": ["id", "content"],
        "NarrativeLore": ["id", "title", "blocks"],
        "LabConfig": ["temperature", "max_candidates", "seed"],
        "HybridCandidate": ["id", "block", "score", "rationale"],
    }


@pytest.mark.parametrize(
    ("name", "size", "definitions"),
    [("NarrativeBlock", 188, False), ("NarrativeLore", 411, True), ("LabConfig", 331, False),
     ("HybridCandidate", 446, True)],
)
def test_record_documents(bundle, name, size, definitions):
    document = bundle["models"][name]
    assert len(_compact(document).encode()) == size
    assert document["$schema"] == DRAFT_07
    assert document["title"] == name
    # Declaration order lives in field_order; the documents sort by name.
    assert document["required"] == sorted(bundle["field_order"][name])
    assert list(document["properties"]) == sorted(bundle["field_order"][name])
    expected_keys = ["$schema", "title", "type", "required", "properties"] + (["definitions"] if definitions else [])
    assert list(document) == expected_keys
    if definitions:
        block = document["definitions"]["NarrativeBlock"]
        assert list(document["definitions"]) == ["NarrativeBlock"]
        assert list(block) == ["type", "required", "properties"]
        assert block == {key: bundle["models"]["NarrativeBlock"][key] for key in block}
    jsonschema.Draft7Validator.check_schema(document)


def test_field_schemas(bundle):
    models = bundle["models"]
    assert models["LabConfig"]["properties"] == {
        "max_candidates": {"type": "integer", "format": "uint32", "minimum": 0.0},
        "seed": {"type": "integer", "format": "uint64", "minimum": 0.0},
        "temperature": {"type": "number", "format": "double"},
    }
    assert list(models["NarrativeLore"]["properties"]["blocks"]) == ["type", "items"]
    assert models["NarrativeLore"]["properties"]["blocks"]["items"] == {"$ref": "#/definitions/NarrativeBlock"}
    assert models["HybridCandidate"]["properties"]["block"] == {"$ref": "#/definitions/NarrativeBlock"}


def test_takes_no_arguments():
    with pytest.raises(TypeError):
        _native.schema_bundle_json(1)  # type: ignore[call-arg]
    assert _native.schema_bundle_json.__text_signature__ == "()"
    assert _native.schema_bundle_json.__doc__ is None


def _validator(bundle, name):
    return jsonschema.Draft7Validator(bundle["models"][name])


LORE = (
    '{"id":"Tide Lore","title":"Tides","blocks":[{"id":"b1","content":"  hello world "},'
    '{"id":"b2","content":"second"}]}'
)
CONFIG = '{"temperature":0.7,"max_candidates":3,"seed":42}'

ACCEPTED_LORES = [
    LORE,
    '{"blocks":[{"content":"x","id":"b","note":1}],"title":"T","id":"l","extra":{"a":[]}}',
    '{"id":"\\u00dcber","title":"T\\n","blocks":[{"id":"b","content":"\\u3000"}]}',
]
ACCEPTED_CONFIGS = [
    CONFIG,
    '{"temperature":2,"max_candidates":1000,"seed":18446744073709551615}',
    '{"seed":0,"max_candidates":1,"temperature":0.0,"note":null}',
]


@pytest.mark.parametrize("lore_json", ACCEPTED_LORES)
@pytest.mark.parametrize("config_json", ACCEPTED_CONFIGS)
def test_accepted_texts_and_candidates_validate(bundle, lore_json, config_json):
    candidate = _native.generate_candidate_json(lore_json, config_json)
    _native.render_lore_summary_json(lore_json)
    _validator(bundle, "NarrativeLore").validate(json.loads(lore_json))
    _validator(bundle, "LabConfig").validate(json.loads(config_json))
    _validator(bundle, "HybridCandidate").validate(json.loads(candidate))
    _validator(bundle, "NarrativeBlock").validate(json.loads(candidate)["block"])


@pytest.mark.parametrize(
    ("name", "text"),
    [
        ("LabConfig", '{"temperature":0.7,"max_candidates":3}'),
        ("LabConfig", '{"temperature":"warm","max_candidates":3,"seed":1}'),
        ("LabConfig", '{"temperature":0.7,"max_candidates":null,"seed":1}'),
        ("LabConfig", '{"temperature":0.7,"max_candidates":3,"seed":[1]}'),
        ("LabConfig", '{"temperature":0.7,"max_candidates":3,"seed":-1}'),
        ("LabConfig", '{"temperature":true,"max_candidates":3,"seed":1}'),
        ("LabConfig", "null"),
        ("LabConfig", '"config"'),
        ("LabConfig", "[0.7,3]"),
        ("NarrativeLore", '{"id":"l","title":"T"}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":null}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":{}}'),
        ("NarrativeLore", '{"id":"l","title":5,"blocks":[]}'),
        ("NarrativeLore", '{"id":null,"title":"T","blocks":[]}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":[{"id":"b"}]}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":[{"id":"b","content":["x"]}]}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":[["b"]]}'),
        ("NarrativeLore", '{"id":"l","title":"T","blocks":["b"]}'),
        ("NarrativeLore", "[]"),
    ],
)
def test_texts_rejected_for_shape_are_rejected_by_the_schema(bundle, name, text):
    with pytest.raises(ValueError, match="^serialization failed: "):
        if name == "LabConfig":
            _native.generate_candidate_json(LORE, text)
        else:
            _native.render_lore_summary_json(text)
    assert not _validator(bundle, name).is_valid(json.loads(text))


def test_where_the_schema_and_the_engine_legitimately_differ(bundle):
    config = _validator(bundle, "LabConfig")
    # JSON Schema's "integer" admits a number with a zero fraction; the engine reads 1.0 as a float.
    assert config.is_valid({"temperature": 0.7, "max_candidates": 1.0, "seed": 1})
    with pytest.raises(ValueError, match="floating point `1.0`, expected u32"):
        _native.generate_candidate_json(LORE, '{"temperature":0.7,"max_candidates":1.0,"seed":1}')
    # "format" is an annotation that the validator does not enforce: uint32's upper bound is the engine's.
    assert config.is_valid({"temperature": 0.7, "max_candidates": 5000000000, "seed": 1})
    with pytest.raises(ValueError, match="integer `5000000000`, expected u32"):
        _native.generate_candidate_json(LORE, '{"temperature":0.7,"max_candidates":5000000000,"seed":1}')
    # The engine also reads a record in array form; the schemas describe the object form only.
    assert _native.generate_candidate_json('["Tide Lore","Tides",[["b1","  hello world "],["b2","second"]]]',
                                           "[0.7,3,42]") == _native.generate_candidate_json(LORE, CONFIG)
    assert not config.is_valid([0.7, 3, 42])
    # The value rules (blank texts, ranges) are validation's, not the schema's.
    assert config.is_valid({"temperature": 3.0, "max_candidates": 0, "seed": 1})
    assert _validator(bundle, "NarrativeLore").is_valid({"id": " ", "title": "T", "blocks": []})
