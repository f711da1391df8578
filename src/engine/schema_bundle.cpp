// The schema bundle, built straight from the record table on every call.
#include "schema_bundle.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "quillforge/engine.hpp"
#include "quillforge/invariant.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/version.hpp"

namespace qf {

namespace detail {

namespace {

constexpr std::string_view kBundleMetaSchema = "https://json-schema.org/draft/2020-12/schema";
constexpr std::string_view kRecordMetaSchema = "http://json-schema.org/draft-07/schema#";
constexpr std::string_view kDefinitionsPath = "#/definitions/";

json::JsonValue reference_to(const RecordInfo* record) {
    QF_CHECK(record != nullptr, "a record field without its record");
    json::JsonObject schema;
    schema.insert("$ref", std::string(kDefinitionsPath).append(record->name));
    return schema;
}

json::JsonValue field_schema(const FieldInfo& field) {
    json::JsonObject schema;
    switch (field.type) {
    case FieldType::Text:
        schema.insert("type", "string");
        break;
    case FieldType::Float64:
        schema.insert("type", "number");
        schema.insert("format", "double");
        break;
    case FieldType::UInt32:
        schema.insert("type", "integer");
        schema.insert("format", "uint32");
        schema.insert("minimum", 0.0);
        break;
    case FieldType::UInt64:
        schema.insert("type", "integer");
        schema.insert("format", "uint64");
        schema.insert("minimum", 0.0);
        break;
    case FieldType::Record:
        return reference_to(field.record);
    case FieldType::RecordList:
        schema.insert("type", "array");
        schema.insert("items", reference_to(field.record));
        break;
    }
    return schema;
}

// "type", "required" and "properties", names in ascending byte order.
void add_object_keywords(json::JsonObject& schema, const RecordInfo& record) {
    std::vector<const FieldInfo*> fields;
    for (const FieldInfo& field : record.fields) {
        fields.push_back(&field);
    }
    std::sort(fields.begin(), fields.end(), [](const FieldInfo* a, const FieldInfo* b) { return a->name < b->name; });
    json::JsonArray required;
    json::JsonObject properties;
    for (const FieldInfo* field : fields) {
        required.emplace_back(field->name);
        properties.insert(std::string(field->name), field_schema(*field));
    }
    schema.insert("type", "object");
    schema.insert("required", std::move(required));
    schema.insert("properties", std::move(properties));
}

// Every record that `record` reaches through its fields, each once.
void collect_reached(const RecordInfo& record, std::vector<const RecordInfo*>& reached) {
    for (const FieldInfo& field : record.fields) {
        if (field.record != nullptr && std::find(reached.begin(), reached.end(), field.record) == reached.end()) {
            reached.push_back(field.record);
            collect_reached(*field.record, reached);
        }
    }
}

}  // namespace

json::JsonValue record_schema(const RecordInfo& record) {
    json::JsonObject schema;
    schema.insert("$schema", kRecordMetaSchema);
    schema.insert("title", record.name);
    add_object_keywords(schema, record);
    std::vector<const RecordInfo*> reached;
    collect_reached(record, reached);
    if (!reached.empty()) {
        std::sort(
            reached.begin(), reached.end(), [](const RecordInfo* a, const RecordInfo* b) { return a->name < b->name; });
        json::JsonObject definitions;
        for (const RecordInfo* nested : reached) {
            json::JsonObject body;
            add_object_keywords(body, *nested);
            definitions.insert(std::string(nested->name), std::move(body));
        }
        schema.insert("definitions", std::move(definitions));
    }
    return schema;
}

json::JsonValue schema_bundle() {
    json::JsonObject bundle;
    bundle.insert("$schema", kBundleMetaSchema);
    bundle.insert("package", kPackageName);
    bundle.insert("version", kVersion);

    json::JsonArray model_order;
    json::JsonObject field_order;
    json::JsonObject models;
    for (const RecordInfo* record : kModelOrder) {
        model_order.emplace_back(record->name);
        json::JsonArray fields;
        for (const FieldInfo& field : record->fields) {
            fields.emplace_back(field.name);
        }
        field_order.insert(std::string(record->name), std::move(fields));
        models.insert(std::string(record->name), record_schema(*record));
    }
    bundle.insert("model_order", std::move(model_order));
    bundle.insert("field_order", std::move(field_order));
    bundle.insert("models", std::move(models));
    return bundle;
}

}  // namespace detail

Result<std::string, NarrativeError> schema_bundle_json() {
    std::string text;
    text.reserve(json::kInitialOutputCapacity);
    json::write_value(text, detail::schema_bundle());
    return text;
}

}  // namespace qf
