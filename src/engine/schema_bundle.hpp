// The schema bundle as a JSON tree. Private to the engine and its tests: the
// binding sees only its text, schema_bundle_json() in quillforge/engine.hpp.
#pragma once

#include "quillforge/json/value.hpp"
#include "quillforge/records.hpp"

namespace qf::detail {

// The draft-07 JSON Schema of one record, titled with its name: "type",
// "required" and "properties" with names in ascending byte order, and every
// record it reaches under "definitions", referenced as "#/definitions/<name>".
json::JsonValue record_schema(const RecordInfo& record);

// The package, version, record and field orders, and one schema per record.
json::JsonValue schema_bundle();

}  // namespace qf::detail
