// A value or an error, returned instead of throwing. Every operation in the
// helper reports failure this way, so a fault never unwinds across a command.
#pragma once

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

  T& value() & { return checked_value(); }
  const T& value() const& { return const_cast<Result*>(this)->checked_value(); }
  T&& value() && { return std::move(checked_value()); }
  T* operator->() { return &checked_value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return checked_value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& { return checked_error(); }
  E&& error() && { return std::move(checked_error()); }

 private:
  // Reading the wrong side is a broken invariant: end the process rather than
  // write a response built from garbage.
  T& checked_value() {
    if (state_.index() != 0) std::abort();
    return std::get<0>(state_);
  }
  E& checked_error() const {
    if (state_.index() != 1) std::abort();
    return const_cast<E&>(std::get<1>(state_));
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
