#include "workload.hpp"

#include <cstdint>
#include <iterator>
#include <string_view>

#include "quillforge/codec.hpp"
#include "quillforge/json/writer.hpp"

namespace qf::bench {

namespace {

// splitmix64: small, fast and the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

private:
    std::uint64_t state_;
};

constexpr std::string_view kWords[] = {
    "the",  "tide",   "rose",    "over",    "harbour", "and",   "lanterns", "swung",   "in",    "wind",
    "she",  "kept",   "a",       "ledger",  "of",      "ships", "that",     "never",   "came",  "home",
    "salt", "bright", "morning", "crossed", "quiet",   "stone", "bridge",   "where",   "old",   "songs",
    "were", "sung",   "by",      "keepers", "north",   "light", "river",    "ferried", "grain", "through",
    "fog",  "while",  "gulls",   "circled", "bells",   "rang",  "twice",    "before",  "dusk",  "fell",
};
// Non-ASCII words of two, three and four bytes per character, and a few
// Unicode spaces that the word count and the trim must know.
constexpr std::string_view kMixedWords[] = {
    "café", "naïve", "façade", "Ünïcödé", "straße", "smörgåsbord", "東京",  "смысл",  "λόγος", "🐉",
    "✨",    "🌊",     "ﬁn",     "año",     "coöp",   "élan",        "fjörð", "mañana", "€12",   "Ωmega",
};
constexpr std::string_view kUnicodeSpaces[] = {"\u00A0", "\u3000", "\u2009"};

void append_sentence(std::string& out, Random& random, Flavour flavour, std::size_t words) {
    for (std::size_t i = 0; i < words; ++i) {
        if (i != 0) {
            // A Unicode space now and then between mixed words.
            if (flavour == Flavour::Mixed && random.below(40) == 0) {
                out.append(kUnicodeSpaces[random.below(std::size(kUnicodeSpaces))]);
            } else {
                out.push_back(' ');
            }
        }
        if (flavour == Flavour::Mixed && random.below(8) == 0) {
            out.append(kMixedWords[random.below(std::size(kMixedWords))]);
        } else {
            out.append(kWords[random.below(std::size(kWords))]);
        }
        if (random.below(12) == 0) {
            out.push_back(random.below(3) == 0 ? ',' : '.');
        }
    }
}

std::string make_content(Random& random, Flavour flavour) {
    std::string content;
    // Some blocks carry whitespace at their ends for the trim.
    const bool padded = random.below(6) == 0;
    if (padded) {
        content.append("  ");
    }
    append_sentence(content, random, flavour, 8 + random.below(120));
    // About one string in ten holds a line break and a quotation, written as escapes.
    if (flavour == Flavour::Mixed && random.below(10) == 0) {
        content.append("\n\"");
        append_sentence(content, random, flavour, 2 + random.below(6));
        content.append("\" she said.");
    }
    // Dialogue and layout as many real texts have them: one to four escapes in
    // every content, anywhere in it.
    if (flavour == Flavour::Escaped) {
        constexpr std::string_view kEscaped[] = {"\n", "\"", "\t", "\\", "\n\n"};
        for (std::size_t i = 1 + random.below(4); i > 0; --i) {
            content.insert(random.below(content.size() + 1), kEscaped[random.below(std::size(kEscaped))]);
        }
    }
    if (padded) {
        content.push_back(' ');
    }
    return content;
}

}  // namespace

Workload make_workload(Flavour flavour, std::size_t size) {
    Random random(0x51ED0000u + size * 2 + (flavour == Flavour::Mixed ? 1 : 0) +
                  (flavour == Flavour::Escaped ? 0x1000000u : 0));
    Workload workload;
    NarrativeLore& lore = workload.lore;
    lore.id = flavour == Flavour::Mixed ? "Saga of the Fjörð 🌊" : "Saga of the Northern Tide";
    lore.title = flavour == Flavour::Mixed ? "Tides \"and\" Tales" : "Tides and Tales";
    std::string& json = workload.json;
    json.reserve(size + 2048);
    json.append(R"({"id":)");
    json::write_string(json, lore.id);
    json.append(R"(,"title":)");
    json::write_string(json, lore.title);
    json.append(R"(,"blocks":[)");
    constexpr std::string_view kClose = "]}";
    while (lore.blocks.empty() || json.size() + kClose.size() < size) {
        NarrativeBlock block;
        block.id.push_back('b');
        block.id.append(std::to_string(lore.blocks.size() + 1));
        block.content = make_content(random, flavour);
        if (!lore.blocks.empty()) {
            json.push_back(',');
        }
        json.append(encode_block(block));
        lore.blocks.push_back(std::move(block));
    }
    json.append(kClose);
    std::string& hashed = workload.hashed;
    hashed.reserve(json.size());
    hashed.append(lore.id).append(lore.title);
    for (const NarrativeBlock& block : lore.blocks) {
        hashed.append(block.id).append(block.content);
    }
    return workload;
}

}  // namespace qf::bench
