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
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace treemon {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status error(std::string_view message, size_t column = 0) {
    return Status(std::make_shared<const Failure>(Failure{std::string(message), column}));
  }

  bool ok() const { return failure_ == nullptr; }
  // Empty and 0 for success.
  std::string_view message() const { return failure_ ? failure_->message : std::string_view(); }
  size_t column() const { return failure_ ? failure_->column : 0; }

  friend bool operator==(const Status& a, const Status& b) {
    return a.ok() == b.ok() && a.message() == b.message() && a.column() == b.column();
  }

 private:
  struct Failure {
    std::string message;
    size_t column;
  };
  // Success is a null pointer, so that passing it around costs little; a failure is immutable,
  // so copies share it instead of copying its text.
  explicit Status(std::shared_ptr<const Failure> failure) : failure_(std::move(failure)) {}

  std::shared_ptr<const Failure> failure_;
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
