#include "quillforge/error.hpp"

namespace qf {

std::string NarrativeError::display() const {
    std::string text = kind_ == Kind::Validation ? "validation failed: " : "serialization failed: ";
    text += text_;
    return text;
}

}  // namespace qf
