// A small JSON Schema generator for the records described in records.hpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillforge/json/value.hpp"
#include "quillforge/records.hpp"

namespace qf::detail {

struct NamedSchema;

// One schema object. Unset keywords are left out when it is written; so are an
// empty "required", "properties" or "definitions".
struct Schema {
    std::optional<std::string> meta_schema;  // "$schema"
    std::optional<std::string> title;
    std::optional<std::string> type;
    std::optional<std::string> format;
    std::vector<Schema> all_of;
    std::optional<double> minimum;
    std::vector<Schema> items;              // none or one
    std::vector<std::string> required;      // ascending byte order
    std::vector<NamedSchema> properties;    // ascending byte order of names
    std::optional<std::string> ref;         // "$ref"
    std::vector<NamedSchema> definitions;   // ascending byte order of names
};

struct NamedSchema {
    std::string name;
    Schema schema;
};

// Puts `schema` under `name`, keeping `entries` sorted; replaces an entry of that name.
Schema& put_sorted(std::vector<NamedSchema>& entries, std::string_view name, Schema schema);

// A "$ref" beside other keywords moves into "allOf" as a bare reference,
// recursively through every nested schema.
void remove_ref_siblings(Schema& schema);

struct SchemaSettings {
    std::string definitions_path;  // prefix of every reference
    std::string meta_schema;       // the root's "$schema"
    std::vector<void (*)(Schema&)> visitors;  // run over each finished document

    // Nested records always go through "definitions"; never inlined.
    static SchemaSettings draft07();
};

class SchemaGenerator {
public:
    explicit SchemaGenerator(SchemaSettings settings) : settings_(std::move(settings)) {}

    // The whole document for `record`, titled with its name.
    Schema root_schema_for(const RecordInfo& record);

private:
    Schema object_schema(const RecordInfo& record);
    Schema field_schema(const FieldInfo& field);
    Schema reference_to(const RecordInfo& record);

    SchemaSettings settings_;
    std::vector<NamedSchema> definitions_;
};

// Keywords in the fixed order "$schema", "title", "type", "format", "allOf",
// "minimum", "items", "required", "properties", "$ref", "definitions".
json::JsonValue to_json(const Schema& schema);

}  // namespace qf::detail
