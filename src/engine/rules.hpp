// The rules a decoded record must satisfy, as the messages that report them:
// the field, named from the record table, and what the rule asks of it. The
// one list of them, in the order they are checked.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quillforge/records.hpp"

namespace qf::detail {

// "{Record}.{field}", built at compile time.
struct FieldLabel {
    char bytes[40] = {};
    std::size_t size = 0;

    constexpr std::string_view text() const noexcept { return {bytes, size}; }
};

// A field that the record table does not list does not compile.
consteval FieldLabel field_label(const RecordInfo& record, std::string_view name) {
    for (const FieldInfo& field : record.fields) {
        if (field.name == name) {
            FieldLabel label;
            for (const std::string_view piece : {record.name, std::string_view("."), name}) {
                for (const char c : piece) {
                    label.bytes[label.size++] = c;  // past the end does not compile
                }
            }
            return label;
        }
    }
    throw "no field of that name";  // not a constant expression: the call does not compile
}

struct Rule {
    FieldLabel field;
    std::string_view asks;

    // "{field} {asks}", the text after "validation failed: ".
    std::string message() const {
        std::string text(field.text());
        text += ' ';
        text += asks;
        return text;
    }
};

inline constexpr std::string_view kNotEmpty = "must not be empty";

inline constexpr Rule kBlockIdRule{field_label(kNarrativeBlockInfo, "id"), kNotEmpty};
inline constexpr Rule kBlockContentRule{field_label(kNarrativeBlockInfo, "content"), kNotEmpty};
inline constexpr Rule kLoreIdRule{field_label(kNarrativeLoreInfo, "id"), kNotEmpty};
inline constexpr Rule kLoreTitleRule{field_label(kNarrativeLoreInfo, "title"), kNotEmpty};
inline constexpr Rule kLoreBlocksRule{field_label(kNarrativeLoreInfo, "blocks"), "must contain at least one block"};
inline constexpr Rule kTemperatureFiniteRule{field_label(kLabConfigInfo, "temperature"), "must be finite"};
inline constexpr Rule kTemperatureRangeRule{field_label(kLabConfigInfo, "temperature"), "must be between 0.0 and 2.0"};
inline constexpr Rule kMaxCandidatesRule{field_label(kLabConfigInfo, "max_candidates"), "must be between 1 and 1000"};

// Every rule once, a lore's in the order they are checked (its blocks' after
// its own), then a configuration's.
inline constexpr const Rule* kRules[] = {
    &kLoreIdRule,
    &kLoreTitleRule,
    &kLoreBlocksRule,
    &kBlockIdRule,
    &kBlockContentRule,
    &kTemperatureFiniteRule,
    &kTemperatureRangeRule,
    &kMaxCandidatesRule,
};

}  // namespace qf::detail
