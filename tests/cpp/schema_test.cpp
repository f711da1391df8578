// The schema bundle byte for byte, every record's document inside it; the
// text is the row of tests/data/schema.jsonl.
#include <gtest/gtest.h>

#include <string>

#include "quillforge/engine.hpp"
#include "quillforge/version.hpp"
#include "support.hpp"

namespace {

TEST(SchemaBundle, ExactText) {
    std::string expected = *qf::test::read_rows("schema.jsonl", 1)[0][0];
    expected.replace(expected.find("{version}"), 9, qf::kVersion);
    auto bundle = qf::schema_bundle_json();
    ASSERT_TRUE(bundle);
    EXPECT_EQ(*bundle, expected);
    EXPECT_EQ(*bundle, *qf::schema_bundle_json());
}

}  // namespace
