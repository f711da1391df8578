#include "quillforge/error.hpp"

namespace qf {

std::string NarrativeError::display() const {
    std::string text = kind_ == Kind::Validation ? "validation failed: " : "serialization failed: ";
    text += text_;
    return text;
}

const char* NarrativeError::name(Kind kind) noexcept {
    return kind == Kind::Validation ? "validation" : "serialization";
}

const char* NarrativeError::name(Input input) noexcept {
    switch (input) {
    case Input::Config:
        return "config";
    case Input::Block:
        return "block";
    case Input::Lore:
        break;
    }
    return "lore";
}

}  // namespace qf
