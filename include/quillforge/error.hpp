// The engine's only error: a broken validation rule, or a JSON text that did
// not decode; with the input it was found in and, for a text that did not
// decode, where.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "quillforge/json/error.hpp"

namespace qf {

class NarrativeError {
public:
    enum class Kind : std::uint8_t { Validation, Serialization };
    // The argument the failure is in: a lore, a configuration, or the two
    // texts of a block given apart.
    enum class Input : std::uint8_t { Lore, Config, Block };

    NarrativeError() = default;

    static NarrativeError validation(Input input, std::string message) {
        return NarrativeError(Kind::Validation, input, std::move(message), 0, 0);
    }
    // Holds the JSON error's display text and position.
    static NarrativeError serialization(const json::JsonError& error, Input input = Input::Lore) {
        return NarrativeError(Kind::Serialization, input, error.display(), error.line, error.column);
    }

    Kind kind() const noexcept { return kind_; }
    Input input() const noexcept { return input_; }
    // As in the text: line from 1, column in bytes; line 0 when there is no position.
    std::uint64_t line() const noexcept { return line_; }
    std::uint64_t column() const noexcept { return column_; }
    const std::string& text() const noexcept { return text_; }

    // "validation failed: {}" or "serialization failed: {}".
    std::string display() const;

    // The names Python sees: "validation"/"serialization"; "lore"/"config"/"block".
    static const char* name(Kind kind) noexcept;
    static const char* name(Input input) noexcept;

private:
    NarrativeError(Kind kind, Input input, std::string text, std::uint64_t line, std::uint64_t column)
        : kind_(kind), input_(input), text_(std::move(text)), line_(line), column_(column) {}

    Kind kind_ = Kind::Validation;
    Input input_ = Input::Lore;
    std::string text_;
    std::uint64_t line_ = 0;
    std::uint64_t column_ = 0;
};

}  // namespace qf
