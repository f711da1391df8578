// A small std::expected: a value or an error, never both. The toolchains we
// build with (g++ 12 in C++20 mode, clang for fuzzing) lack <expected>.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace qf {

template <class E>
struct Failure {
    E error;
};

// Wraps an error so that it converts into any Result<T, E>.
template <class E>
[[nodiscard]] Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    template <class U = T>
        requires std::is_constructible_v<T, U&&>
    Result(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    template <class G>
    Result(Failure<G>&& failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return *std::get_if<0>(&state_); }
    const T& value() const& { return *std::get_if<0>(&state_); }
    T&& value() && { return std::move(*std::get_if<0>(&state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return std::get_if<0>(&state_); }
    const T* operator->() const { return std::get_if<0>(&state_); }

    E& error() & { return *std::get_if<1>(&state_); }
    const E& error() const& { return *std::get_if<1>(&state_); }
    E&& error() && { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, E> state_;
};

// Success carries nothing; only the error is stored, and only when there is
// one (a success builds and destroys no error object).
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class G>
    Result(Failure<G>&& failure) : error_(std::in_place, std::move(failure.error)) {}

    bool has_value() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }

    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace qf
