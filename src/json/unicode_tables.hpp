// Code point sets that the quoted form of a string escapes. The data is
// generated (unicode_tables.generated.cpp); lookups are binary searches over sorted ranges.
#pragma once

#include <cstdint>
#include <span>

namespace qf::json::detail {

struct CodeRange {
    std::uint32_t first;
    std::uint32_t last;  // inclusive
};

// Sorted, disjoint, not adjacent.
std::span<const CodeRange> not_printable_ranges() noexcept;
std::span<const CodeRange> grapheme_extend_ranges() noexcept;

bool in_ranges(std::span<const CodeRange> ranges, std::uint32_t code_point) noexcept;

}  // namespace qf::json::detail
