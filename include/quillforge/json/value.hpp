// An in-memory JSON value. Objects keep insertion order; inserting a key that
// is present replaces its value where the key already stands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qf::json {

class JsonValue;
struct JsonMember;

class JsonObject {
public:
    // The special members are defined below, once JsonMember is complete: a
    // vector of an incomplete type may be declared but not yet destroyed.
    JsonObject() noexcept;
    JsonObject(const JsonObject&);
    JsonObject(JsonObject&&) noexcept;
    JsonObject& operator=(const JsonObject&);
    JsonObject& operator=(JsonObject&&) noexcept;
    ~JsonObject();

    // Inserts or replaces in place; returns the stored value.
    JsonValue& insert(std::string key, JsonValue value);

    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const std::vector<JsonMember>& members() const noexcept { return members_; }

private:
    std::vector<JsonMember> members_;
};

using JsonArray = std::vector<JsonValue>;

class JsonValue {
public:
    // The alternatives, in this order: null, boolean, unsigned integer, negative
    // integer, float, string, array, object.
    using Storage =
        std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray, JsonObject>;

    JsonValue() = default;
    JsonValue(std::nullptr_t) {}
    JsonValue(bool value) : storage_(value) {}
    JsonValue(std::uint64_t value) : storage_(value) {}
    JsonValue(std::int64_t value) : storage_(value) {}
    JsonValue(double value) : storage_(value) {}
    JsonValue(std::string value) : storage_(std::move(value)) {}
    JsonValue(std::string_view value) : storage_(std::string(value)) {}
    JsonValue(const char* value) : storage_(std::string(value)) {}
    JsonValue(JsonArray value) : storage_(std::move(value)) {}
    JsonValue(JsonObject value) : storage_(std::move(value)) {}

    // Built once and written: the writer visits the alternatives.
    const Storage& storage() const noexcept { return storage_; }

private:
    Storage storage_;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

inline JsonObject::JsonObject() noexcept = default;
inline JsonObject::JsonObject(const JsonObject&) = default;
inline JsonObject::JsonObject(JsonObject&&) noexcept = default;
inline JsonObject& JsonObject::operator=(const JsonObject&) = default;
inline JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;
inline JsonObject::~JsonObject() = default;
inline std::size_t JsonObject::size() const noexcept { return members_.size(); }
inline bool JsonObject::empty() const noexcept { return members_.empty(); }

}  // namespace qf::json
