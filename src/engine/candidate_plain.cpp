// The candidate of a lore in the layout that nearly every line of a batch has:
// `{"id":"...","title":"...","blocks":[{"id":"...","content":"..."},...]}`,
// compact or with json.dumps's spaces, the lore's keys in their order, its
// id, title and blocks' ids without escapes. Such a lore is read with one
// look at each run of fixed bytes and written straight into the output's
// room. Whatever else, including every lore that would fail, is left to the
// general reader with nothing written, so that texts and errors stay its own.
#include <cstring>

#include "candidate_lines.hpp"
#include "candidate_score.hpp"
#include "candidate_text.hpp"
#include "content_writer.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/writer.hpp"

namespace qf::detail {

namespace {

// `compact` with a space after each ':' and ',', as json.dumps writes them.
consteval JsonPiece spaced(const JsonPiece& compact) {
    JsonPiece piece;
    for (char c : compact.text()) {
        piece = piece + std::string_view(&c, 1);
        if (c == ':' || c == ',') {
            piece = piece + " ";
        }
    }
    return piece;
}

// The fixed bytes between the strings, each after a string's closing quotation
// mark and up to the next one's opening one, as the record table spells the keys.
struct Layout {
    JsonPiece compact;
    JsonPiece with_spaces;
    consteval explicit Layout(const JsonPiece& piece) : compact(piece), with_spaces(spaced(piece)) {}
};

constexpr Layout kLoreOpen(json_key(kNarrativeLoreInfo, "id") + "\"");
constexpr Layout kThenTitle("\"" + json_key(kNarrativeLoreInfo, "title") + "\"");
constexpr Layout kThenBlocks("\"" + json_key(kNarrativeLoreInfo, "blocks") + "[" + json_key(kNarrativeBlockInfo, "id") +
                             "\"");
constexpr Layout kThenContent("\"" + json_key(kNarrativeBlockInfo, "content") + "\"");
constexpr Layout kNextBlock("}," + json_key(kNarrativeBlockInfo, "id") + "\"");
constexpr std::string_view kLoreClose = "}]}";  // after the last content's closing quotation mark

// Past the layout's bytes at `p`, in either form; null when neither follows.
[[gnu::always_inline]] inline const char* skip(const char* p, const char* end, const Layout& layout) noexcept {
    const auto follows = [&](const JsonPiece& piece) {
        return static_cast<std::size_t>(end - p) >= piece.size && std::memcmp(p, piece.bytes, piece.size) == 0;
    };
    if (follows(layout.compact)) {
        return p + layout.compact.size;
    }
    if (follows(layout.with_spaces)) {
        return p + layout.with_spaces.size;
    }
    return nullptr;
}

// The closing quotation mark of the string whose text starts at `p`, when the
// text holds no escape and starts with a byte that keeps it from being blank
// (no control byte can be in it); else null.
[[gnu::always_inline]] inline const char* plain_end(const char* p, const char* end) noexcept {
    const char* stop = json::detail::find_string_stop_near(p, end);
    if (stop == nullptr) [[unlikely]] {
        stop = json::detail::find_string_stop(p, end);
        if (stop == end) {
            return nullptr;
        }
    }
    return *stop == '"' && stop != p && *p != ' ' ? stop : nullptr;
}

// Stores the whole piece and moves past its text: the room holds the rest.
[[gnu::always_inline]] inline char* put(char* cursor, const char (&bytes)[SeedPieces::kBytes], std::size_t size) {
    std::memcpy(cursor, bytes, SeedPieces::kBytes);
    return cursor + size;
}
[[gnu::always_inline]] inline char* put(char* cursor, const JsonPiece& piece) {
    return put(cursor, piece.bytes, piece.size);
}

// Copies the `size` bytes at `text` in pieces of sixteen: the room holds the
// last piece whole, and the lore goes on for more than fifteen bytes past the
// id and the title (the keys that follow them), so the last piece is readable.
[[gnu::always_inline]] inline char* put_plain(char* cursor, const char* text, std::size_t size) {
    for (std::size_t at = 0; at < size; at += 16) {
        std::memcpy(cursor + at, text + at, 16);
    }
    return cursor + size;
}

// A TextBuffer over room already made.
struct Cursor {
    char* at;
    // The score's text and the block count are a few bytes: copied without a call.
    void append(const char* data, std::size_t size) noexcept {
        if (size >= 4 && size <= 8) {
            std::memcpy(at, data, 4);
            std::memcpy(at + size - 4, data + size - 4, 4);
        } else if (size != 0 && size < 4) {
            at[0] = data[0];
            at[size / 2] = data[size / 2];
            at[size - 1] = data[size - 1];
        } else {
            std::memcpy(at, data, size);
        }
        at += size;
    }
    void push_back(char c) noexcept { *at++ = c; }
};

// The fixed pieces of the candidate, with the output's keys from the record table.
constexpr auto kCandidateOpen = json_key(kHybridCandidateInfo, "id") + "\"candidate-";
constexpr auto kBeforeContent = kBlockIdSuffix + ("\"" + json_key(kNarrativeBlockInfo, "content") + "\"");
constexpr auto kBeforeScore = "\"}" + json_key(kHybridCandidateInfo, "score");
constexpr auto kBeforeBlockCount = json_key(kHybridCandidateInfo, "rationale") + "\"Hybridized ";
constexpr auto kBeforeTitle = JsonPiece{} + " block(s) from '";

// Room for every piece stored whole past the text's end.
constexpr std::size_t kSpare = 4 * SeedPieces::kBytes;

}  // namespace

SeedPieces::SeedPieces(std::string_view seed) noexcept {
    const auto make = [&](char(&bytes)[kBytes], std::string_view head, std::string_view tail) {
        std::memcpy(bytes, head.data(), head.size());
        std::memcpy(bytes + head.size(), seed.data(), seed.size());
        std::memcpy(bytes + head.size() + seed.size(), tail.data(), tail.size());
        return head.size() + seed.size() + tail.size();
    };
    static constexpr auto kAfterSeed =
        "\"" + json_key(kHybridCandidateInfo, "block") + json_key(kNarrativeBlockInfo, "id") + "\"";
    after_slug_size = make(after_slug, "-", kAfterSeed.text());
    after_title_size = make(after_title, "' with seed ", ".\"}\n");
}

bool write_plain_candidate(std::string_view lore_json, const LabConfig& checked_config, const SeedPieces& pieces,
                           json::Output& out) {
    const char* const begin = lore_json.data();
    const char* const end = begin + lore_json.size();
    const char* const id = skip(begin, end, kLoreOpen);
    if (id == nullptr) {
        return false;
    }
    const char* const id_end = plain_end(id, end);
    if (id_end == nullptr) {
        return false;
    }
    const char* const title = skip(id_end, end, kThenTitle);
    if (title == nullptr) {
        return false;
    }
    const char* const title_end = plain_end(title, end);
    if (title_end == nullptr) {
        return false;
    }
    const char* p = skip(title_end, end, kThenBlocks);
    if (p == nullptr) {
        return false;
    }
    const auto id_size = static_cast<std::size_t>(id_end - id);
    const auto title_size = static_cast<std::size_t>(title_end - title);

    // The candidate repeats the id twice and the title once; a content's
    // text is never longer than in the lore, nor is the slug than the id.
    char* const start = out.room(2 * lore_json.size() + kCandidateTextRoom + kSpare);
    char* cursor = put(start, kCandidateOpen);
    cursor = put_slug(cursor, std::string_view(id, id_size));
    cursor = put(cursor, pieces.after_slug, pieces.after_slug_size);
    cursor = put(put_plain(cursor, id, id_size), kBeforeContent);  // nothing in a plain string needs an escape

    std::uint64_t hash = SeededFnv1a(checked_config.seed).value();
    hash = fnv1a(fnv1a(hash, id, id_size), title, title_size);
    json::Reader reader(lore_json);
    std::uint64_t blocks = 0;
    for (;;) {
        const char* const block_id_end = plain_end(p, end);
        if (block_id_end == nullptr) {
            return false;
        }
        hash = fnv1a(hash, p, static_cast<std::size_t>(block_id_end - p));
        const char* const content = skip(block_id_end, end, kThenContent);
        if (content == nullptr) {
            return false;
        }
        if (blocks != 0) {
            *cursor++ = ' ';
        }
        reader.consume(static_cast<std::size_t>(content - begin) - reader.index());
        ContentWriter writer(hash, cursor);
        if (!reader.read_string_pieces(writer) || writer.blank()) [[unlikely]] {
            return false;
        }
        cursor = writer.finish();
        hash = writer.hash();
        ++blocks;
        p = begin + reader.index();
        if (const char* next = skip(p, end, kNextBlock); next != nullptr) {
            p = next;
            continue;
        }
        if (end - p != static_cast<std::ptrdiff_t>(kLoreClose.size()) ||
            std::memcmp(p, kLoreClose.data(), kLoreClose.size()) != 0) {
            return false;
        }
        break;
    }

    cursor = put(cursor, kBeforeScore);
    Cursor text{cursor};
    json::write_millionths(text, candidate_score_millionths(hash, checked_config.temperature));
    text.at = put(text.at, kBeforeBlockCount);
    json::write_u64(text, blocks);
    cursor = put(text.at, kBeforeTitle);
    cursor = put_plain(cursor, title, title_size);
    out.advance_to(put(cursor, pieces.after_title, pieces.after_title_size));
    return true;
}

}  // namespace qf::detail
