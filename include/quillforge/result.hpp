// A small std::expected: a value or an error, never both. The toolchains we
// build with (g++ 12 in C++20 mode, clang for fuzzing) lack <expected>.
#pragma once

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

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

// The value or the error shares one storage, told apart by a flag. A plain
// union rather than std::variant: destroying or testing it is one branch, with
// no valueless state to rule out on every result of a hot path.
template <class T, class E>
class [[nodiscard]] Result {
public:
    // clang-format 14 reads the && in these requires and noexcept clauses as
    // references and runs the clauses into the declarations.
    // clang-format off
    template <class U = T>
        requires std::is_constructible_v<T, U&&>
    Result(U&& value) : value_(std::forward<U>(value)), ok_(true) {}
    template <class G>
    Result(Failure<G>&& failure) : error_(std::move(failure.error)), ok_(false) {}

    Result(const Result& other)
        requires(std::is_copy_constructible_v<T> && std::is_copy_constructible_v<E>)
        : ok_(other.ok_) {
        if (ok_) {
            std::construct_at(&value_, other.value_);
        } else {
            std::construct_at(&error_, other.error_);
        }
    }
    Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_constructible_v<E>)
        : ok_(other.ok_) {
        if (ok_) {
            std::construct_at(&value_, std::move(other.value_));
        } else {
            std::construct_at(&error_, std::move(other.error_));
        }
    }
    Result& operator=(const Result& other)
        requires(std::is_copy_constructible_v<T> && std::is_copy_constructible_v<E>)
    {
        if (this != &other) {
            Result copy(other);  // a copy that throws leaves this one as it was
            *this = std::move(copy);
        }
        return *this;
    }
    Result& operator=(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T> &&
                                               std::is_nothrow_move_constructible_v<E>) {
        if (this != &other) {
            destroy();
            ok_ = other.ok_;
            if (ok_) {
                std::construct_at(&value_, std::move(other.value_));
            } else {
                std::construct_at(&error_, std::move(other.error_));
            }
        }
        return *this;
    }
    // clang-format on
    ~Result() { destroy(); }

    bool has_value() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return value_; }
    const T& value() const& { return value_; }
    T&& value() && { return std::move(value_); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value_; }
    const T* operator->() const { return &value_; }

    E& error() & { return error_; }
    const E& error() const& { return error_; }
    E&& error() && { return std::move(error_); }

private:
    void destroy() noexcept {
        if (ok_) {
            std::destroy_at(&value_);
        } else {
            std::destroy_at(&error_);
        }
    }

    union {
        T value_;
        E error_;
    };
    bool ok_;
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

// Passes on the error of a failed result as a result of another type. Out of
// line and cold: a hot caller that only forwards errors then keeps no frame
// for moving one.
template <class T, class U, class E>
[[gnu::cold, gnu::noinline]] Result<T, E> pass_error(Result<U, E>&& failed) {
    return fail(std::move(failed).error());
}

}  // namespace qf
