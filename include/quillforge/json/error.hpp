// The error of JSON reading: a message and the position it was found at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qf::json {

struct JsonError {
    std::string message;
    std::uint64_t line = 0;    // 1-based; 0 means no position attached yet
    std::uint64_t column = 0;  // counted in bytes

    // "{message}" without a position, else "{message} at line {line} column {column}".
    std::string display() const;

    // An error at byte offset `offset` of `text`; line and column are computed here,
    // never while reading.
    static JsonError at_offset(std::string message, std::string_view text, std::size_t offset);
};

}  // namespace qf::json
