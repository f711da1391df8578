// The candidate's texts, written once for both ways of making it (from records,
// or streamed from the lore's JSON text): its id, its block's id, its rationale,
// and the JSON keys of the records, which come from the record table.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quillforge/json/writer.hpp"
#include "quillforge/records.hpp"
#include "slug.hpp"

namespace qf::detail {

// The seed's decimal text, which the id and the rationale both hold: made
// once per configuration, not twice per candidate.
class SeedText {
public:
    explicit SeedText(std::uint64_t seed) noexcept
        : size_(static_cast<std::size_t>(std::to_chars(bytes_, bytes_ + sizeof bytes_, seed).ptr - bytes_)) {}
    std::string_view text() const noexcept { return {bytes_, size_}; }

private:
    char bytes_[20];
    std::size_t size_;
};

// "candidate-{slug of the lore's id}-{seed}". Nothing in it needs a JSON escape.
template <json::TextBuffer Text>
void append_candidate_id(Text& out, std::string_view lore_id, std::string_view seed) {
    out.append("candidate-", 10);
    append_slug(out, lore_id);
    out.push_back('-');
    out.append(seed.data(), seed.size());
}

// The block's id is the lore's id followed by this (nothing to escape in it).
inline constexpr std::string_view kBlockIdSuffix = ":hybrid";

// "Hybridized {blocks} block(s) from '{title}' with seed {seed}.", the title
// appended by `append_title` (as it is, or escaped inside a JSON string).
template <json::TextBuffer Text, class AppendTitle>
void append_rationale(Text& out, std::uint64_t blocks, std::string_view title, std::string_view seed,
                      AppendTitle&& append_title) {
    constexpr std::string_view kHead = "Hybridized ";
    constexpr std::string_view kFrom = " block(s) from '";
    constexpr std::string_view kSeed = "' with seed ";
    out.append(kHead.data(), kHead.size());
    json::write_u64(out, blocks);
    out.append(kFrom.data(), kFrom.size());
    append_title(out, title);
    out.append(kSeed.data(), kSeed.size());
    out.append(seed.data(), seed.size());
    out.push_back('.');
}

// A short text built at compile time: a record's JSON keys and the fixed
// pieces around them, joined so that writing them is one append.
struct JsonPiece {
    char bytes[48] = {};
    std::size_t size = 0;

    constexpr std::string_view text() const noexcept { return {bytes, size}; }

    friend consteval JsonPiece operator+(JsonPiece piece, std::string_view more) {
        for (char c : more) {
            piece.bytes[piece.size++] = c;  // past the end does not compile
        }
        return piece;
    }
    friend consteval JsonPiece operator+(std::string_view text, const JsonPiece& piece) {
        return JsonPiece{} + text + piece.text();
    }
    friend consteval JsonPiece operator+(const JsonPiece& piece, const JsonPiece& more) { return piece + more.text(); }
};

// What comes before the value of the field `name` of `record`: `{"name":` for
// its first field, `,"name":` for the others. A name that the record table does
// not list does not compile.
consteval JsonPiece json_key(const RecordInfo& record, std::string_view name) {
    for (std::size_t i = 0; i < record.fields.size(); ++i) {
        if (record.fields[i].name == name) {
            return JsonPiece{} + (i == 0 ? "{\"" : ",\"") + name + "\":";
        }
    }
    throw "no field of that name";  // not a constant expression: the call does not compile
}

}  // namespace qf::detail
