#include "quillforge/json/writer.hpp"

#include <variant>

#include "quillforge/json/value.hpp"

namespace qf::json {

namespace {

struct ValueWriter {
    Output& out;

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

void write_value(Output& out, const JsonValue& value) { std::visit(ValueWriter{out}, value.storage()); }

}  // namespace qf::json
