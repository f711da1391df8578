#include <gtest/gtest.h>

#include <string>

#include "../../src/engine/schema_generator.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/value.hpp"
#include "quillforge/json/writer.hpp"

namespace {

using qf::detail::Schema;

std::string text_of(const qf::json::JsonValue& value) {
    std::string out;
    qf::json::write_value(out, value);
    return out;
}

constexpr std::string_view kBlockDefinition =
    R"({"type":"object","required":["content","id"],"properties":{"content":{"type":"string"},"id":{"type":"string"}}})";

const std::string kBlockDocument =
    R"({"$schema":"http://json-schema.org/draft-07/schema#","title":"NarrativeBlock","type":"object",)"
    R"("required":["content","id"],"properties":{"content":{"type":"string"},"id":{"type":"string"}}})";
const std::string kLoreDocument =
    R"({"$schema":"http://json-schema.org/draft-07/schema#","title":"NarrativeLore","type":"object",)"
    R"("required":["blocks","id","title"],"properties":{"blocks":{"type":"array","items":)"
    R"({"$ref":"#/definitions/NarrativeBlock"}},"id":{"type":"string"},"title":{"type":"string"}},)"
    R"("definitions":{"NarrativeBlock":)" + std::string(kBlockDefinition) + "}}";
const std::string kConfigDocument =
    R"({"$schema":"http://json-schema.org/draft-07/schema#","title":"LabConfig","type":"object",)"
    R"("required":["max_candidates","seed","temperature"],"properties":{"max_candidates":{"type":"integer",)"
    R"("format":"uint32","minimum":0.0},"seed":{"type":"integer","format":"uint64","minimum":0.0},)"
    R"("temperature":{"type":"number","format":"double"}}})";
const std::string kCandidateDocument =
    R"({"$schema":"http://json-schema.org/draft-07/schema#","title":"HybridCandidate","type":"object",)"
    R"("required":["block","id","rationale","score"],"properties":{"block":{"$ref":"#/definitions/NarrativeBlock"},)"
    R"("id":{"type":"string"},"rationale":{"type":"string"},"score":{"type":"number","format":"double"}},)"
    R"("definitions":{"NarrativeBlock":)" + std::string(kBlockDefinition) + "}}";

TEST(SchemaGenerator, RecordDocuments) {
    struct Case {
        const qf::RecordInfo& record;
        const std::string& expected;
        std::size_t size;
    };
    const Case cases[] = {
        {qf::kNarrativeBlockInfo, kBlockDocument, 188},
        {qf::kNarrativeLoreInfo, kLoreDocument, 411},
        {qf::kLabConfigInfo, kConfigDocument, 331},
        {qf::kHybridCandidateInfo, kCandidateDocument, 446},
    };
    for (const Case& c : cases) {
        qf::detail::SchemaGenerator generator(qf::detail::SchemaSettings::draft07());
        const std::string text = text_of(qf::detail::to_json(generator.root_schema_for(c.record)));
        EXPECT_EQ(text, c.expected);
        EXPECT_EQ(text.size(), c.size) << c.record.name;
    }
}

TEST(SchemaBundle, ExactText) {
    const std::string expected =
        R"({"$schema":"https://json-schema.org/draft/2020-12/schema","package":"quillforge","version":"0.2.0",)"
        R"("model_order":["NarrativeBlock","NarrativeLore","LabConfig","HybridCandidate"],)"
        R"("field_order":{"NarrativeBlock":["id","content"],"NarrativeLore":["id","title","blocks"],)"
        R"("LabConfig":["temperature","max_candidates","seed"],"HybridCandidate":["id","block","score","rationale"]},)"
        R"("models":{"NarrativeBlock":)" + kBlockDocument + R"(,"NarrativeLore":)" + kLoreDocument +
        R"(,"LabConfig":)" + kConfigDocument + R"(,"HybridCandidate":)" + kCandidateDocument + "}}";
    auto first = qf::schema_bundle_json();
    auto second = qf::schema_bundle_json();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, expected);
    EXPECT_EQ(first->size(), 1827u);
    EXPECT_EQ(*first, *second);
    EXPECT_EQ(text_of(qf::schema_bundle()), expected);
}

TEST(SchemaBundle, MinimumIsAFloatZero) {
    const auto bundle = qf::schema_bundle();
    const auto* seed = bundle.as_object()->find("models")->as_object()->find("LabConfig")->as_object()
                           ->find("properties")->as_object()->find("seed")->as_object()->find("minimum");
    ASSERT_NE(seed, nullptr);
    EXPECT_TRUE(std::holds_alternative<double>(seed->storage()));
}

Schema ref_schema(std::string ref) {
    Schema schema;
    schema.ref = std::move(ref);
    return schema;
}

TEST(RemoveRefSiblings, MovesAReferenceBesideOtherKeywordsIntoAllOf) {
    Schema root;
    root.type = "object";
    Schema titled = ref_schema("#/definitions/A");
    titled.title = "A field";
    qf::detail::put_sorted(root.properties, "titled", std::move(titled));
    Schema with_all_of = ref_schema("#/definitions/B");
    with_all_of.all_of.push_back(ref_schema("#/definitions/C"));
    with_all_of.minimum = 1.0;
    qf::detail::put_sorted(root.properties, "combined", std::move(with_all_of));
    qf::detail::put_sorted(root.properties, "bare", ref_schema("#/definitions/A"));
    Schema list;
    list.type = "array";
    Schema item = ref_schema("#/definitions/D");
    item.format = "x";
    list.items.push_back(std::move(item));
    qf::detail::put_sorted(root.definitions, "List", std::move(list));

    qf::detail::remove_ref_siblings(root);
    EXPECT_EQ(text_of(qf::detail::to_json(root)),
              R"({"type":"object","properties":{)"
              R"("bare":{"$ref":"#/definitions/A"},)"
              R"("combined":{"allOf":[{"$ref":"#/definitions/C"},{"$ref":"#/definitions/B"}],"minimum":1.0},)"
              R"("titled":{"title":"A field","allOf":[{"$ref":"#/definitions/A"}]}},)"
              R"("definitions":{"List":{"type":"array","items":{"format":"x","allOf":[{"$ref":"#/definitions/D"}]}}}})");
}

TEST(PutSorted, AscendingByteOrderAndReplaceInPlace) {
    std::vector<qf::detail::NamedSchema> entries;
    for (const char* name : {"b", "\xC3\xA9", "a", "Z", "_", "a"}) {
        Schema schema;
        schema.title = name;
        qf::detail::put_sorted(entries, name, std::move(schema));
    }
    std::string order;
    for (const auto& entry : entries) {
        order += entry.name + "|";
    }
    EXPECT_EQ(order, "Z|_|a|b|\xC3\xA9|");
}

}  // namespace
