// Deterministic lore texts for the benchmarks: the same flavour and size give
// the same bytes on every run and every machine.
#pragma once

#include <cstddef>
#include <string>

#include "quillforge/records.hpp"

namespace qf::bench {

enum class Flavour {
    Ascii,    // ASCII prose
    Mixed,    // prose with non-ASCII letters, emoji, and escapes in about one string in ten
    Escaped,  // ASCII prose in which every content holds escapes (quotes, line breaks, tabs, backslashes)
};

struct Workload {
    NarrativeLore lore;
    std::string json;    // the lore as compact JSON text, about the requested size
    std::string hashed;  // the bytes the candidate hash reads: id, title, then each block's id and content
};

// A lore whose JSON text is at least `size` bytes and at most one block longer.
Workload make_workload(Flavour flavour, std::size_t size);

// The worked example's texts.
inline constexpr char kExampleLore[] =
    R"({"id":"Tide Lore","title":"Tides","blocks":[{"id":"b1","content":"  hello world "},{"id":"b2","content":"second"}]})";
inline constexpr char kExampleConfig[] = R"({"temperature":0.7,"max_candidates":3,"seed":42})";

}  // namespace qf::bench
