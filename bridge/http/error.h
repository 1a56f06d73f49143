#pragma once

#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace wf::bridge {

/// A failure with a short message, optionally wrapping the error that caused
/// it ("invalid start payload" wrapping the parser's message).
class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), cause_(std::make_shared<Error>(std::move(cause))) {}

  const std::string& message() const { return message_; }
  /// The wrapped error, or null.
  const Error* cause() const { return cause_.get(); }
  /// The message and, one per line, the messages of the wrapped errors.
  std::string chain() const {
    std::string out = message_;
    for (const Error* e = cause(); e; e = e->cause()) {
      out += "\n  caused by: " + e->message();
    }
    return out;
  }

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
};

/// A value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

/// Success, or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::make_shared<Error>(std::move(error))) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::shared_ptr<Error> error_;
};

using Status = Result<void>;

}  // namespace wf::bridge
