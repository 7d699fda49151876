// The engine's one error type and the Result wrapper every engine call returns.
//
// Damage found in log data is never an Error: it travels as a message string
// (see frame.h). An Error is either an operating-system failure (errno) or a
// condition the program names itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tarnwick {

enum class ErrorKind : uint8_t {
  kOs,             // an errno from a system call
  kInvalidData,    // a file that is not what it should be
  kTimedOut,       // the process lock stayed busy
  kUnexpectedEof,  // "failed to fill whole buffer"
  kWriteZero,      // "failed to write whole buffer"
  kBodyBounds,     // a body read beyond the mapped log
  kInvariant,      // a broken internal invariant
  kCallback,       // a caller-supplied sink failed; the caller knows why
  kIdsExhausted,   // no message id is left to assign
  kInterrupted,    // the caller asked a lock wait to stop
};

class Error {
 public:
  static Error os(int code) { return Error(ErrorKind::kOs, code, {}); }
  // An operating-system error whose text starts with `context` and ": ".
  static Error os(int code, std::string context) {
    return Error(ErrorKind::kOs, code, std::move(context));
  }
  static Error make(ErrorKind kind, std::string message) {
    return Error(kind, 0, std::move(message));
  }
  static Error invalid_data(std::string message) {
    return make(ErrorKind::kInvalidData, std::move(message));
  }
  static Error invariant(std::string message) {
    return make(ErrorKind::kInvariant, std::move(message));
  }
  static Error unexpected_eof() {
    return make(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
  }
  static Error write_zero() {
    return make(ErrorKind::kWriteZero, "failed to write whole buffer");
  }

  ErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  // True for the lock's own time-out and for an operating-system ETIMEDOUT.
  bool is_timeout() const;
  // The text shown to users: "<strerror> (os error N)" for OS errors (after
  // their context, if any), the program's own message otherwise.
  std::string text() const;

 private:
  Error(ErrorKind kind, int code, std::string message)
      : kind_(kind), os_code_(code), message_(std::move(message)) {}

  ErrorKind kind_;
  int os_code_;
  std::string message_;
};

// A value or an Error. Deliberately small: ok(), value(), error().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : e_(std::move(error)) {}  // NOLINT

  bool ok() const { return !e_.has_value(); }
  const Error& error() const& { return *e_; }
  Error&& error() && { return std::move(*e_); }

 private:
  std::optional<Error> e_;
};

using Status = Result<void>;

}  // namespace tarnwick

// Propagate the error of a Status or Result expression.
#define TW_TRY(expr)                                  \
  do {                                                \
    auto tw_try_result_ = (expr);                     \
    if (!tw_try_result_.ok())                         \
      return std::move(tw_try_result_).error();       \
  } while (0)

#define TW_CONCAT_INNER(a, b) a##b
#define TW_CONCAT(a, b) TW_CONCAT_INNER(a, b)
#define TW_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                             \
  if (!tmp.ok()) return std::move(tmp).error();  \
  lhs = std::move(tmp).value()

// `TW_ASSIGN_OR_RETURN(auto x, f());` declares x from a Result or returns its error.
#define TW_ASSIGN_OR_RETURN(lhs, expr) \
  TW_ASSIGN_OR_RETURN_IMPL(TW_CONCAT(tw_result_, __LINE__), lhs, expr)
