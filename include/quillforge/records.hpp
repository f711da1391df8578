// The four records of the engine and the one description of their fields that
// the decoders, the schema bundle and the field-order lists all read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

struct NarrativeBlock {
    std::string id;
    std::string content;
};

struct NarrativeLore {
    std::string id;
    std::string title;
    std::vector<NarrativeBlock> blocks;
};

struct LabConfig {
    double temperature = 0.0;
    std::uint32_t max_candidates = 0;
    std::uint64_t seed = 0;
};

struct HybridCandidate {
    std::string id;
    NarrativeBlock block;
    double score = 0.0;
    std::string rationale;
};

// How a field is typed, as far as decoding and schemas care.
enum class FieldType : std::uint8_t {
    Text,        // a string
    Float64,     // any number
    UInt32,      // an integer from 0 to 4294967295
    UInt64,      // an integer from 0 to 18446744073709551615
    Record,      // another record, held by value
    RecordList,  // an ordered list of another record
};

struct RecordInfo;

struct FieldInfo {
    std::string_view name;
    FieldType type;
    const RecordInfo* record = nullptr;  // for Record and RecordList
};

struct RecordInfo {
    std::string_view name;
    std::span<const FieldInfo> fields;  // declared order
};

namespace detail {
inline constexpr FieldInfo kBlockFields[] = {
    {"id", FieldType::Text},
    {"content", FieldType::Text},
};
}  // namespace detail

inline constexpr RecordInfo kNarrativeBlockInfo{"NarrativeBlock", detail::kBlockFields};

namespace detail {
inline constexpr FieldInfo kLoreFields[] = {
    {"id", FieldType::Text},
    {"title", FieldType::Text},
    {"blocks", FieldType::RecordList, &kNarrativeBlockInfo},
};
inline constexpr FieldInfo kConfigFields[] = {
    {"temperature", FieldType::Float64},
    {"max_candidates", FieldType::UInt32},
    {"seed", FieldType::UInt64},
};
inline constexpr FieldInfo kCandidateFields[] = {
    {"id", FieldType::Text},
    {"block", FieldType::Record, &kNarrativeBlockInfo},
    {"score", FieldType::Float64},
    {"rationale", FieldType::Text},
};
}  // namespace detail

inline constexpr RecordInfo kNarrativeLoreInfo{"NarrativeLore", detail::kLoreFields};
inline constexpr RecordInfo kLabConfigInfo{"LabConfig", detail::kConfigFields};
inline constexpr RecordInfo kHybridCandidateInfo{"HybridCandidate", detail::kCandidateFields};

// The records in model order.
inline constexpr const RecordInfo* kModelOrder[] = {
    &kNarrativeBlockInfo,
    &kNarrativeLoreInfo,
    &kLabConfigInfo,
    &kHybridCandidateInfo,
};

}  // namespace qf
