#include "quillforge/json/value.hpp"

namespace qf::json {

JsonValue& JsonObject::insert(std::string key, JsonValue value) {
    for (JsonMember& member : members_) {
        if (member.key == key) {
            member.value = std::move(value);
            return member.value;
        }
    }
    members_.push_back(JsonMember{std::move(key), std::move(value)});
    return members_.back().value;
}

}  // namespace qf::json
