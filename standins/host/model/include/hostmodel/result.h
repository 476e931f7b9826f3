// Outcome of an operation that can fail on bad input: a value or a message.
// Loaders never throw to their callers and never hand out a partial project;
// the message names the file and the problem.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace hostmodel {

template <typename T>
class Result {
 public:
  static Result Ok(T value) { return Result(std::move(value)); }
  static Result Fail(std::string message) { return Result(std::nullopt, std::move(message)); }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T* operator->() const { return &*value_; }
  T* operator->() { return &*value_; }
  const std::string& error() const { return error_; }

 private:
  explicit Result(T v) : value_(std::move(v)) {}
  Result(std::nullopt_t, std::string e) : error_(std::move(e)) {}
  std::optional<T> value_;
  std::string error_;
};

// Success or a message, for operations without a value.
class Status {
 public:
  static Status Ok() { return Status(); }
  static Status Fail(std::string message) { return Status(std::move(message)); }
  bool ok() const { return error_.empty(); }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }

 private:
  Status() = default;
  explicit Status(std::string e) : error_(e.empty() ? std::string("unknown error") : std::move(e)) {}
  std::string error_;
};

}  // namespace hostmodel
