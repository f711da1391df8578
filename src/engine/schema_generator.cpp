#include "schema_generator.hpp"

#include <algorithm>
#include <utility>

#include "quillforge/invariant.hpp"

namespace qf::detail {

Schema& put_sorted(std::vector<NamedSchema>& entries, std::string_view name, Schema schema) {
    auto at = std::lower_bound(entries.begin(), entries.end(), name,
                               [](const NamedSchema& entry, std::string_view key) { return entry.name < key; });
    if (at != entries.end() && at->name == name) {
        at->schema = std::move(schema);
        return at->schema;
    }
    return entries.insert(at, NamedSchema{std::string(name), std::move(schema)})->schema;
}

namespace {

bool has_keywords_besides_ref(const Schema& s) {
    return s.meta_schema || s.title || s.type || s.format || !s.all_of.empty() || s.minimum || !s.items.empty() ||
           !s.required.empty() || !s.properties.empty() || !s.definitions.empty();
}

}  // namespace

void remove_ref_siblings(Schema& schema) {
    if (schema.ref && has_keywords_besides_ref(schema)) {
        Schema reference;
        reference.ref = std::move(schema.ref);
        schema.ref.reset();
        schema.all_of.push_back(std::move(reference));
    }
    for (Schema& nested : schema.all_of) {
        remove_ref_siblings(nested);
    }
    for (Schema& nested : schema.items) {
        remove_ref_siblings(nested);
    }
    for (NamedSchema& entry : schema.properties) {
        remove_ref_siblings(entry.schema);
    }
    for (NamedSchema& entry : schema.definitions) {
        remove_ref_siblings(entry.schema);
    }
}

SchemaSettings SchemaSettings::draft07() {
    return SchemaSettings{
        "#/definitions/",
        "http://json-schema.org/draft-07/schema#",
        {&remove_ref_siblings},
    };
}

Schema SchemaGenerator::root_schema_for(const RecordInfo& record) {
    Schema root;
    root.meta_schema = settings_.meta_schema;
    Schema body = object_schema(record);
    root.title = std::string(record.name);
    root.type = std::move(body.type);
    root.required = std::move(body.required);
    root.properties = std::move(body.properties);
    root.definitions = std::move(definitions_);
    definitions_.clear();
    for (const auto visit : settings_.visitors) {
        visit(root);
    }
    return root;
}

Schema SchemaGenerator::object_schema(const RecordInfo& record) {
    Schema schema;
    schema.type = "object";
    for (const FieldInfo& field : record.fields) {
        put_sorted(schema.properties, field.name, field_schema(field));
        schema.required.insert(std::upper_bound(schema.required.begin(), schema.required.end(), field.name),
                               std::string(field.name));
    }
    return schema;
}

Schema SchemaGenerator::field_schema(const FieldInfo& field) {
    Schema schema;
    switch (field.type) {
        case FieldType::Text:
            schema.type = "string";
            break;
        case FieldType::Float64:
            schema.type = "number";
            schema.format = "double";
            break;
        case FieldType::UInt32:
            schema.type = "integer";
            schema.format = "uint32";
            schema.minimum = 0.0;
            break;
        case FieldType::UInt64:
            schema.type = "integer";
            schema.format = "uint64";
            schema.minimum = 0.0;
            break;
        case FieldType::Record:
            QF_CHECK(field.record != nullptr, "record field without its record");
            schema = reference_to(*field.record);
            break;
        case FieldType::RecordList:
            QF_CHECK(field.record != nullptr, "record list field without its record");
            schema.type = "array";
            schema.items.push_back(reference_to(*field.record));
            break;
    }
    return schema;
}

Schema SchemaGenerator::reference_to(const RecordInfo& record) {
    const bool known = std::any_of(definitions_.begin(), definitions_.end(),
                                   [&](const NamedSchema& entry) { return entry.name == record.name; });
    if (!known) {
        // Claim the name first so that a record reaching itself again stops here.
        put_sorted(definitions_, record.name, Schema{});
        Schema built = object_schema(record);
        put_sorted(definitions_, record.name, std::move(built));
    }
    Schema reference;
    reference.ref = settings_.definitions_path + std::string(record.name);
    return reference;
}

namespace {

json::JsonValue named_to_json(const std::vector<NamedSchema>& entries) {
    json::JsonObject object;
    for (const NamedSchema& entry : entries) {
        object.insert(entry.name, to_json(entry.schema));
    }
    return object;
}

}  // namespace

json::JsonValue to_json(const Schema& schema) {
    json::JsonObject object;
    if (schema.meta_schema) {
        object.insert("$schema", *schema.meta_schema);
    }
    if (schema.title) {
        object.insert("title", *schema.title);
    }
    if (schema.type) {
        object.insert("type", *schema.type);
    }
    if (schema.format) {
        object.insert("format", *schema.format);
    }
    if (!schema.all_of.empty()) {
        json::JsonArray all_of;
        for (const Schema& nested : schema.all_of) {
            all_of.push_back(to_json(nested));
        }
        object.insert("allOf", std::move(all_of));
    }
    if (schema.minimum) {
        object.insert("minimum", *schema.minimum);
    }
    if (!schema.items.empty()) {
        object.insert("items", to_json(schema.items.front()));
    }
    if (!schema.required.empty()) {
        json::JsonArray required(schema.required.begin(), schema.required.end());
        object.insert("required", std::move(required));
    }
    if (!schema.properties.empty()) {
        object.insert("properties", named_to_json(schema.properties));
    }
    if (schema.ref) {
        object.insert("$ref", *schema.ref);
    }
    if (!schema.definitions.empty()) {
        object.insert("definitions", named_to_json(schema.definitions));
    }
    return object;
}

}  // namespace qf::detail
