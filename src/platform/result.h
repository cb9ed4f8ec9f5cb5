// A value or an error, returned instead of throwing. Every operation in the
// helper reports failure this way, so a fault never unwinds across a command.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <type_traits>
#include <utility>
#include <variant>

namespace wh {

// Wraps an error so that `return Err(e);` reads naturally at the call site and
// converts into any Result with a compatible error type.
template <typename E>
struct Err {
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Err<F> err) : state_(std::in_place_index<1>, std::move(err.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(checked(0)); }
  const T& value() const& { return std::get<0>(checked(0)); }
  T&& value() && { return std::get<0>(std::move(checked(0))); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& { return std::get<1>(checked(1)); }
  E&& error() && { return std::get<1>(std::move(checked(1))); }

 private:
  // Reading the wrong side is a broken invariant: end the process rather than
  // write a response built from garbage.
  std::variant<T, E>& checked(std::size_t side) {
    if (state_.index() != side) std::abort();
    return state_;
  }
  const std::variant<T, E>& checked(std::size_t side) const {
    if (state_.index() != side) std::abort();
    return state_;
  }

  std::variant<T, E> state_;
};

// Success carries nothing; only the error matters.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Err<F> err) : error_(std::move(err.error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }

  const E& error() const& {
    if (!failed_) std::abort();
    return error_;
  }
  E&& error() && {
    if (!failed_) std::abort();
    return std::move(error_);
  }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace wh
