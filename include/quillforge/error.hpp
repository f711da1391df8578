// The engine's only error: a broken validation rule, or a JSON text that did
// not decode.
#pragma once

#include <string>
#include <utility>

#include "quillforge/json/error.hpp"

namespace qf {

class NarrativeError {
public:
    enum class Kind { Validation, Serialization };

    NarrativeError() = default;

    static NarrativeError validation(std::string message) {
        return NarrativeError(Kind::Validation, std::move(message));
    }
    // Holds the JSON error's display text.
    static NarrativeError serialization(const json::JsonError& error) {
        return NarrativeError(Kind::Serialization, error.display());
    }

    Kind kind() const noexcept { return kind_; }
    const std::string& text() const noexcept { return text_; }

    // "validation failed: {}" or "serialization failed: {}".
    std::string display() const;

private:
    NarrativeError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_ = Kind::Validation;
    std::string text_;
};

}  // namespace qf
