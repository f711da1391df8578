// The schema bundle: package, version, record and field orders, and one JSON
// Schema document per record. Built afresh on every call.
#include "quillforge/engine.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/version.hpp"
#include "schema_generator.hpp"

namespace qf {

namespace {

constexpr std::string_view kBundleMetaSchema = "https://json-schema.org/draft/2020-12/schema";

}  // namespace

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
        // A fresh generator per document: nothing found for one is shared with the next.
        detail::SchemaGenerator generator(detail::SchemaSettings::draft07());
        models.insert(std::string(record->name), detail::to_json(generator.root_schema_for(*record)));
    }
    bundle.insert("model_order", std::move(model_order));
    bundle.insert("field_order", std::move(field_order));
    bundle.insert("models", std::move(models));
    return bundle;
}

Result<std::string, NarrativeError> schema_bundle_json() {
    std::string text;
    text.reserve(json::kInitialOutputCapacity);
    json::write_value(text, schema_bundle());
    return text;
}

}  // namespace qf
