// Status: the outcome of an operation that can fail without producing a value; Result<T>: a value
// or the Status that says why there is none. Errors are values: nothing here throws.
//
// Contract:
//  1. A default Status is success; ok() is the only question a caller needs to ask first.
//  2. A failure carries a message (the platform's errno- or Win32-style description, or one of the
//     protocol's fixed texts) and, for text that was parsed, the 1-based byte column it points at
//     (0 when there is none).
//  3. A Result holds exactly one of its value and a failed Status.
// Plain values, copied and moved freely; usable from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace treemon {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status error(std::string_view message, size_t column = 0) {
    return Status(std::string(message), column);
  }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }
  size_t column() const { return column_; }

  friend bool operator==(const Status&, const Status&) = default;

 private:
  Status(std::string message, size_t column)
      : failed_(true), message_(std::move(message)), column_(column) {}

  bool failed_ = false;
  std::string message_;
  size_t column_ = 0;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Status failure) : state_(std::move(failure)) {}  // a failed Status

  bool ok() const { return std::holds_alternative<T>(state_); }
  // Success when ok(); the failure otherwise.
  Status status() const { return ok() ? Status() : std::get<Status>(state_); }

  T& value() { return std::get<T>(state_); }
  const T& value() const { return std::get<T>(state_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }

 private:
  std::variant<T, Status> state_;
};

}  // namespace treemon
