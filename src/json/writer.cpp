#include "quillforge/json/writer.hpp"

#include <array>
#include <charconv>
#include <variant>

#include "quillforge/json/value.hpp"

namespace qf::json {

namespace {

// For each byte: 0 when it is copied as it is, otherwise the letter of its
// two-byte escape, or 'u' for the six-byte form.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) {
        table[c] = 'u';
    }
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    return table;
}

constexpr std::array<char, 256> kEscape = make_escape_table();

void append_escape(std::string& out, unsigned char byte) {
    const char letter = kEscape[byte];
    if (letter != 'u') {
        const char escape[2] = {'\\', letter};
        out.append(escape, 2);
        return;
    }
    constexpr char kHex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    out.append(escape, 6);
}

}  // namespace

void write_string(std::string& out, std::string_view text) {
    out.push_back('"');
    write_escaped(out, text);
    out.push_back('"');
}

void write_escaped(std::string& out, std::string_view text) {
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (kEscape[byte] != 0) [[unlikely]] {
            out.append(run, static_cast<std::size_t>(p - run));
            append_escape(out, byte);
            run = p + 1;
        }
    }
    out.append(run, static_cast<std::size_t>(end - run));
}

void write_u64(std::string& out, std::uint64_t value) {
    char buffer[20];
    out.append(buffer, static_cast<std::size_t>(std::to_chars(buffer, buffer + 20, value).ptr - buffer));
}

void write_i64(std::string& out, std::int64_t value) {
    char buffer[20];
    out.append(buffer, static_cast<std::size_t>(std::to_chars(buffer, buffer + 20, value).ptr - buffer));
}

namespace {

struct ValueWriter {
    std::string& out;

    void operator()(std::monostate) const { out.append("null", 4); }
    void operator()(bool value) const { value ? out.append("true", 4) : out.append("false", 5); }
    void operator()(std::uint64_t value) const { write_u64(out, value); }
    void operator()(std::int64_t value) const { write_i64(out, value); }
    void operator()(double value) const { write_f64(out, value); }
    void operator()(const std::string& value) const { write_string(out, value); }
    void operator()(const JsonArray& array) const {
        out.push_back('[');
        bool first = true;
        for (const JsonValue& element : array) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            write_value(out, element);
        }
        out.push_back(']');
    }
    void operator()(const JsonObject& object) const {
        out.push_back('{');
        bool first = true;
        for (const JsonMember& member : object.members()) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            write_string(out, member.key);
            out.push_back(':');
            write_value(out, member.value);
        }
        out.push_back('}');
    }
};

}  // namespace

void write_value(std::string& out, const JsonValue& value) { std::visit(ValueWriter{out}, value.storage()); }

}  // namespace qf::json
