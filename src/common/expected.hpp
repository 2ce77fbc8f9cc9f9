#pragma once
// A value or the reason there is none: how the native code reports failures.
// The standard library's std::expected is missing with some of the compilers
// the sources build with (libstdc++ offers it only to compilers with complete
// concepts, which clang has from 19 on), so the code uses this one everywhere:
// the same shape and names, with the part of the interface the code needs.

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace brimlet {

// A failure on its way into an Expected: `return Unexpected(reason);`.
template <class E>
class Unexpected {
public:
    template <class Err = E>
        requires(!std::is_same_v<std::remove_cvref_t<Err>, Unexpected> && std::is_constructible_v<E, Err>)
    constexpr explicit Unexpected(Err&& error) : error_(std::forward<Err>(error)) {}

    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

namespace detail {
template <class X>
inline constexpr bool kIsUnexpected = false;
template <class E>
inline constexpr bool kIsUnexpected<Unexpected<E>> = true;
}  // namespace detail

// Either a T or an E. As with std::expected, `*`, `->` and error() reach only
// the side that is there: test the outcome first.
template <class T, class E>
class Expected {
public:
    constexpr Expected() = default;

    template <class U = T>
        requires(!std::is_same_v<std::remove_cvref_t<U>, Expected> &&
                 !detail::kIsUnexpected<std::remove_cvref_t<U>> && std::is_constructible_v<T, U>)
    constexpr explicit(!std::is_convertible_v<U, T>) Expected(U&& value)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}

    template <class G>
        requires std::is_constructible_v<E, const G&>
    constexpr explicit(!std::is_convertible_v<const G&, E>) Expected(const Unexpected<G>& failure)
        : state_(std::in_place_index<1>, failure.error()) {}

    template <class G>
        requires std::is_constructible_v<E, G>
    constexpr explicit(!std::is_convertible_v<G, E>) Expected(Unexpected<G>&& failure)
        : state_(std::in_place_index<1>, std::move(failure).error()) {}

    // The same outcome with its value or failure converted (a wider failure type, say).
    template <class U, class G>
        requires(!std::is_same_v<Expected<U, G>, Expected> && std::is_constructible_v<T, U> &&
                 std::is_constructible_v<E, G>)
    constexpr explicit(!std::is_convertible_v<U, T> || !std::is_convertible_v<G, E>) Expected(Expected<U, G>&& other)
        : state_(other ? std::variant<T, E>(std::in_place_index<0>, *std::move(other))
                       : std::variant<T, E>(std::in_place_index<1>, std::move(other).error())) {}

    constexpr bool has_value() const noexcept { return state_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr T& operator*() & noexcept { return *std::get_if<0>(&state_); }
    constexpr const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
    constexpr T&& operator*() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    constexpr T* operator->() noexcept { return std::get_if<0>(&state_); }
    constexpr const T* operator->() const noexcept { return std::get_if<0>(&state_); }

    template <class U>
    constexpr T value_or(U&& fallback) const& {
        return has_value() ? **this : static_cast<T>(std::forward<U>(fallback));
    }

    constexpr E& error() & noexcept { return *std::get_if<1>(&state_); }
    constexpr const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    constexpr E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

    friend constexpr bool operator==(const Expected&, const Expected&) = default;

private:
    // Indexed, not typed: T and E may be the same type.
    std::variant<T, E> state_;
};

// Success with nothing to hand over, or an E.
template <class E>
class Expected<void, E> {
public:
    constexpr Expected() noexcept = default;

    template <class G>
        requires std::is_constructible_v<E, const G&>
    constexpr explicit(!std::is_convertible_v<const G&, E>) Expected(const Unexpected<G>& failure)
        : error_(std::in_place, failure.error()) {}

    template <class G>
        requires std::is_constructible_v<E, G>
    constexpr explicit(!std::is_convertible_v<G, E>) Expected(Unexpected<G>&& failure)
        : error_(std::in_place, std::move(failure).error()) {}

    constexpr bool has_value() const noexcept { return !error_.has_value(); }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr E& error() & noexcept { return *error_; }
    constexpr const E& error() const& noexcept { return *error_; }
    constexpr E&& error() && noexcept { return std::move(*error_); }

    friend constexpr bool operator==(const Expected&, const Expected&) = default;

private:
    std::optional<E> error_;
};

}  // namespace brimlet
