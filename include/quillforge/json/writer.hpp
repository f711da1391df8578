// The compact JSON writer: every function appends to a caller-owned text and
// cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qf::json {

class JsonValue;

// Room an output text starts with before it grows.
inline constexpr std::size_t kInitialOutputCapacity = 128;

// Longest float text ("-1.7976931348623157e+308" and the like).
inline constexpr std::size_t kMaxFloatText = 24;

// Appends `text` as a JSON string: quotes, fixed escapes, raw UTF-8 otherwise.
void write_string(std::string& out, std::string_view text);
// The same without the quotes, for a string written in pieces.
void write_escaped(std::string& out, std::string_view text);

void write_u64(std::string& out, std::uint64_t value);
void write_i64(std::string& out, std::int64_t value);

// Appends the float text of `value` ("null" when not finite).
void write_f64(std::string& out, double value);

// Writes the float text of a finite `value` into `buffer` (at least kMaxFloatText
// bytes) and returns its length: shortest round-trip digits, always with a "."
// or an exponent.
std::size_t format_f64(double value, char* buffer);

// Appends the whole tree, compactly, members in insertion order.
void write_value(std::string& out, const JsonValue& value);

}  // namespace qf::json
