// Errors as values: every failure that crosses the boundary to the OS comes back as an Error
// with a domain, a code and a short description, optionally wrapping the error underneath it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace tamberlo {

// The POSIX domain carries Linux's own errno values (ENOSPC is 28, EDQUOT 122).
inline constexpr std::string_view kPosixErrorDomain = "posix";
// The file domain plays the part of Foundation's file errors; its codes follow Foundation's.
inline constexpr std::string_view kFileErrorDomain = "file";

namespace FileErrorCode {
inline constexpr int64_t kNoSuchFile = 4;
inline constexpr int64_t kWriteUnknown = 512;
inline constexpr int64_t kWriteFileExists = 516;
inline constexpr int64_t kWriteOutOfSpace = 640;
}  // namespace FileErrorCode

struct Error {
  std::string domain;
  int64_t code = 0;
  // A short English sentence naming the operation and the reason. Never holds a file name:
  // descriptions are logged as public values.
  std::string description;
  std::shared_ptr<const Error> underlying;

  // An error of the POSIX domain for `errnum`, described as "<operation>: <reason>."
  static Error posix(int errnum, std::string_view operation);
  // An error of the file domain wrapping `cause`.
  static Error file(int64_t code, std::string description, Error cause);
};

// A value or the Error that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

struct Done {};
// The result of an operation that gives nothing back when it succeeds.
using Status = Result<Done>;
inline Status success() { return Done{}; }

}  // namespace tamberlo
