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
