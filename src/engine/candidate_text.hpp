// The candidate's texts, written once for both ways of making it (from records,
// or streamed from the lore's JSON text): its id, its block's id, its rationale,
// and the JSON keys of the records, which come from the record table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quillforge/json/writer.hpp"
#include "quillforge/records.hpp"

namespace qf::detail {

// "candidate-{slug of the lore's id}-{seed}". Nothing in it needs a JSON escape.
void append_candidate_id(std::string& out, std::string_view lore_id, std::uint64_t seed);

// The block's id is the lore's id followed by this (nothing to escape in it).
inline constexpr std::string_view kBlockIdSuffix = ":hybrid";

// "Hybridized {blocks} block(s) from '{title}' with seed {seed}.", the title
// appended by `append_title` (as it is, or escaped inside a JSON string).
template <class AppendTitle>
void append_rationale(std::string& out, std::uint64_t blocks, std::string_view title, std::uint64_t seed,
                      AppendTitle&& append_title) {
    out.append("Hybridized ");
    json::write_u64(out, blocks);
    out.append(" block(s) from '");
    append_title(out, title);
    out.append("' with seed ");
    json::write_u64(out, seed);
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
