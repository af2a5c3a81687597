// Errors are values below the Python layer: every fallible operation returns a
// Result holding either its value or a VelqError. Only the Python binding turns
// them into exceptions.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace velq {

// Every failure below the Python binding: a fixed-template message, shown
// to users as "Failed to parse VELQ: {message}".
struct VelqError {
  std::string message;
  // Stopped rather than failed, for a reason the binding has: a SignalCheck
  // said to stop, or a value compiler's source failed (see
  // compile_value_to_velq).
  bool interrupted = false;

  static VelqError interruption() { return {{}, true}; }

  std::string display() const;
};

// Asked by the loops below the binding every so many values, and when a
// system call is interrupted by a signal: true to go on, false to stop (the
// binding then has its reason, such as an exception raised by a Python
// signal handler). Null: never stop.
using SignalCheck = bool (*)();

// Counts values done and asks the check every kInterval of them, so that a
// long call ends soon after a signal, at the cost of a decrement per value.
class SignalPoll {
 public:
  explicit SignalPoll(SignalCheck check) : check_(check) {}

  // False once the check says to stop.
  [[gnu::always_inline]] bool poll(std::size_t values = 1) { return !due(values) || check_ == nullptr || check_(); }

  // Counts `values`: true when the check is due (for a caller that runs it itself).
  [[gnu::always_inline]] bool due(std::size_t values = 1) {
    if (values < until_check_) [[likely]] {
      until_check_ -= values;
      return false;
    }
    until_check_ = kInterval;
    return true;
  }

 private:
  static constexpr std::size_t kInterval = 1 << 16;
  SignalCheck check_;
  std::size_t until_check_ = kInterval;
};

// Either a value or an error. Kept deliberately small: ok(), value(), error().
template <class T, class E = VelqError>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// The result of an operation that yields nothing but may fail.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  E& error() & { return error_; }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_{};
  bool failed_ = false;
};

using Status = Result<void>;

// Concatenates text and integers (in decimal) into one message.
template <class... Parts>
std::string compose_message(const Parts&... parts) {
  std::string out;
  auto append = [&out](const auto& part) {
    if constexpr (std::is_integral_v<std::decay_t<decltype(part)>>) {
      out += std::to_string(part);
    } else {
      out += part;
    }
  };
  (append(parts), ...);
  return out;
}

// Two uppercase hexadecimal digits of a byte, as messages print type bytes.
std::string hex_byte(std::uint8_t byte);

}  // namespace velq
