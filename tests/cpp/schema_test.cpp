#include <gtest/gtest.h>

#include <string>

#include "engine/schema_bundle.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/version.hpp"

namespace {

std::string text_of(const qf::json::JsonValue& value) {
    qf::json::Output out;
    qf::json::write_value(out, value);
    return out.to_string();
}

const std::string kBlockBody =
    R"("type":"object","required":["content","id"],"properties":{"content":{"type":"string"},"id":{"type":"string"}})";
const std::string kDraft07 = R"({"$schema":"http://json-schema.org/draft-07/schema#",)";
const std::string kDocuments[] = {
    kDraft07 + R"("title":"NarrativeBlock",)" + kBlockBody + "}",
    kDraft07 +
        R"("title":"NarrativeLore","type":"object","required":["blocks","id","title"],"properties":{"blocks":)"
        R"({"type":"array","items":{"$ref":"#/definitions/NarrativeBlock"}},"id":{"type":"string"},)"
        R"("title":{"type":"string"}},"definitions":{"NarrativeBlock":{)" +
        kBlockBody + "}}}",
    kDraft07 +
        R"("title":"LabConfig","type":"object","required":["max_candidates","seed","temperature"],)"
        R"("properties":{"max_candidates":{"type":"integer","format":"uint32","minimum":0.0},"seed":)"
        R"({"type":"integer","format":"uint64","minimum":0.0},"temperature":{"type":"number","format":"double"}}})",
    kDraft07 +
        R"("title":"HybridCandidate","type":"object","required":["block","id","rationale","score"],)"
        R"("properties":{"block":{"$ref":"#/definitions/NarrativeBlock"},"id":{"type":"string"},"rationale":)"
        R"({"type":"string"},"score":{"type":"number","format":"double"}},"definitions":{"NarrativeBlock":{)" +
        kBlockBody + "}}}",
};

TEST(SchemaBundle, ExactText) {
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(text_of(qf::detail::record_schema(*qf::kModelOrder[i])), kDocuments[i]);
    }
    const std::string expected =
        R"({"$schema":"https://json-schema.org/draft/2020-12/schema","package":"quillforge","version":")" +
        std::string(qf::kVersion) +
        R"(",)"
        R"("model_order":["NarrativeBlock","NarrativeLore","LabConfig","HybridCandidate"],)"
        R"("field_order":{"NarrativeBlock":["id","content"],"NarrativeLore":["id","title","blocks"],)"
        R"("LabConfig":["temperature","max_candidates","seed"],"HybridCandidate":["id","block","score","rationale"]},)"
        R"("models":{"NarrativeBlock":)" +
        kDocuments[0] + R"(,"NarrativeLore":)" + kDocuments[1] + R"(,"LabConfig":)" + kDocuments[2] +
        R"(,"HybridCandidate":)" + kDocuments[3] + "}}";
    auto first = qf::schema_bundle_json();
    auto second = qf::schema_bundle_json();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, expected);
    EXPECT_EQ(*first, *second);
    EXPECT_EQ(text_of(qf::detail::schema_bundle()), expected);
}

}  // namespace
