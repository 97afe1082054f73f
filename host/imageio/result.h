// SPDX-License-Identifier: MIT
// Results of the host's operations: a value, or a failure naming the file and the reason.
// Engine codes are turned into reasons where they arise, so that callers never carry raw
// negative numbers far from the call that produced them.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace brightloom {

struct Failure {
  std::string file;    // the file the failure concerns; empty when none
  std::string reason;  // one sentence a user can act on

  std::string message() const { return file.empty() ? reason : file + ": " + reason; }
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Failure f) : v_(std::move(f)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T &value() { return std::get<0>(v_); }
  const T &value() const { return std::get<0>(v_); }
  T &operator*() { return value(); }
  T *operator->() { return &value(); }
  const Failure &failure() const { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

// A result without a value.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure f) : failed_(true), f_(std::move(f)) {}
  static Status success() { return Status(); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Failure &failure() const { return f_; }

 private:
  bool failed_ = false;
  Failure f_;
};

inline Failure fail(std::string file, std::string reason) { return Failure{std::move(file), std::move(reason)}; }

}  // namespace brightloom
