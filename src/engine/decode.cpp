// decode_lore and decode_config: one whole text, one record.
#include <cstring>
#include <limits>
#include <optional>

#include "candidate_text.hpp"
#include "decode_record.hpp"
#include "quillforge/codec.hpp"

namespace qf {

namespace detail {

template <>
struct Binding<NarrativeBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(NarrativeBlock, id), QF_MEMBER(NarrativeBlock, content));
};

template <>
struct Binding<NarrativeLore> {
    static constexpr const RecordInfo& info = kNarrativeLoreInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(NarrativeLore, id), QF_MEMBER(NarrativeLore, title),
                                                    QF_MEMBER(NarrativeLore, blocks));
};

template <>
struct Binding<LabConfig> {
    static constexpr const RecordInfo& info = kLabConfigInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(LabConfig, temperature),
                                                    QF_MEMBER(LabConfig, max_candidates), QF_MEMBER(LabConfig, seed));
};

std::string_view expected_description(FieldType type) {
    switch (type) {
    case FieldType::Text:
        return "a string";
    case FieldType::Float64:
        return "f64";
    case FieldType::UInt32:
        return "u32";
    case FieldType::UInt64:
        return "u64";
    case FieldType::RecordList:
        return "a sequence";
    case FieldType::Record:
        break;
    }
    return "a record";
}

[[gnu::cold]] JsonError unexpected_record(Reader& reader, const RecordInfo& info) {
    return reader.unexpected("struct " + std::string(info.name));
}

[[gnu::cold]] JsonError invalid_length(const Reader& reader, const RecordInfo& info, std::size_t present) {
    return reader.error_here("invalid length " + std::to_string(present) + ", expected struct " +
                             std::string(info.name) + " with " + std::to_string(info.fields.size()) + " elements");
}

[[gnu::cold]] JsonError field_error(const Reader& reader, const char* what, std::string_view name) {
    return reader.error_here(what + std::string(name) + "`");
}

[[gnu::cold]] JsonError missing_field(const Reader& reader, const RecordInfo& info, std::uint32_t given) {
    std::size_t i = 0;
    while (i + 1 < info.fields.size() && (given & (1u << i)) != 0) {
        ++i;
    }
    return field_error(reader, "missing field `", info.fields[i].name);
}

[[gnu::cold]] JsonError unexpected_field(Reader& reader, FieldType type) {
    return reader.unexpected(expected_description(type));
}

Result<void, JsonError> decode_text(Reader& reader, std::string& out) {
    auto text = read_text(reader);
    if (!text) {
        return pass_error<void>(std::move(text));
    }
    out.assign(text->data(), text->size());
    return {};
}

namespace {

bool starts_number(int next) noexcept { return next == '-' || (next >= '0' && next <= '9'); }

}  // namespace

Result<void, JsonError> decode_f64(Reader& reader, double& out) {
    if (!starts_number(reader.peek())) {
        return fail(reader.unexpected(expected_description(FieldType::Float64)));
    }
    auto number = reader.read_number();
    if (!number) {
        return pass_error<void>(std::move(number));
    }
    out = number->to_double();
    return {};
}

Result<void, JsonError> decode_unsigned(Reader& reader, std::uint64_t& out, std::uint64_t max, FieldType type) {
    if (!starts_number(reader.peek())) {
        return fail(reader.unexpected(expected_description(type)));
    }
    auto number = reader.read_number();
    if (!number) {
        return pass_error<void>(std::move(number));
    }
    switch (number->kind) {
    case json::Number::Kind::Unsigned:
        if (number->unsigned_value <= max) {
            out = number->unsigned_value;
            return {};
        }
        return fail(reader.invalid_value(*number, expected_description(type)));
    case json::Number::Kind::Negative:
        return fail(reader.invalid_value(*number, expected_description(type)));
    case json::Number::Kind::Float:
        break;
    }
    return fail(reader.invalid_type(*number, expected_description(type)));
}

namespace {

template <class Record>
Result<Record, json::JsonError> decode_record_text(std::string_view text) {
    Record record;
    if (auto decoded = decode_whole(text, record); !decoded) {
        return fail(std::move(decoded).error());
    }
    return record;
}

// A configuration in its usual compact form, {"temperature":...,
// "max_candidates":...,"seed":...} and nothing after it, read with one look at
// each run of fixed bytes and the same number steps as the token steps would
// take. False for anything else, errors included: the token steps then read
// the text from its start, and report what they find.
bool decode_compact_config(std::string_view text, LabConfig& out) {
    static constexpr auto kTemperature = json_key(kLabConfigInfo, "temperature");
    static constexpr auto kMaxCandidates = json_key(kLabConfigInfo, "max_candidates");
    static constexpr auto kSeed = json_key(kLabConfigInfo, "seed");
    Reader reader(text);
    const auto number_after = [&](std::string_view key) -> std::optional<json::Number> {
        if (!reader.next_is(key)) {
            return std::nullopt;
        }
        reader.consume(key.size());
        if (!starts_number(reader.peek())) {
            return std::nullopt;
        }
        auto number = reader.read_number();
        return number ? std::optional<json::Number>(*number) : std::nullopt;
    };
    const auto temperature = number_after(kTemperature.text());
    if (!temperature) {
        return false;
    }
    const auto max_candidates = number_after(kMaxCandidates.text());
    if (!max_candidates || max_candidates->kind != json::Number::Kind::Unsigned ||
        max_candidates->unsigned_value > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    const auto seed = number_after(kSeed.text());
    if (!seed || seed->kind != json::Number::Kind::Unsigned || !reader.next_is("}")) {
        return false;
    }
    reader.consume(1);
    if (!reader.finish()) {
        return false;
    }
    out.temperature = temperature->to_double();
    out.max_candidates = static_cast<std::uint32_t>(max_candidates->unsigned_value);
    out.seed = seed->unsigned_value;
    return true;
}

}  // namespace

Result<LabConfig, json::JsonError> decode_config_by_tokens(std::string_view text) {
    return decode_record_text<LabConfig>(text);
}

}  // namespace detail

Result<NarrativeLore, json::JsonError> decode_lore(std::string_view text) {
    return detail::decode_record_text<NarrativeLore>(text);
}

namespace {

// The last configuration text that this thread decoded, with its record: most
// callers pass the same configuration with every call, and get its record
// back after one comparison. Per thread, so it needs no lock; of fixed size,
// so it never grows; and only a text that decoded is kept, so decoding is
// what finds every error.
struct LastConfig {
    static constexpr std::size_t kMaxText = 120;
    std::size_t size = 0;  // 0 while there is none
    char text[kMaxText];
    LabConfig config;
};
thread_local LastConfig last_config;

}  // namespace

Result<LabConfig, json::JsonError> decode_config(std::string_view text) {
    LastConfig& last = last_config;
    if (text.size() == last.size && text.size() != 0 && std::memcmp(text.data(), last.text, text.size()) == 0) {
        return last.config;
    }
    LabConfig config;
    if (!detail::decode_compact_config(text, config)) {
        auto decoded = detail::decode_config_by_tokens(text);
        if (!decoded) {
            return decoded;
        }
        config = *decoded;
    }
    if (text.size() <= LastConfig::kMaxText) {
        std::memcpy(last.text, text.data(), text.size());
        last.size = text.size();
        last.config = config;
    }
    return config;
}

}  // namespace qf
