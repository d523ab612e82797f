// Errors as values: every failure that crosses the boundary to the OS comes back as an Error
// with a domain, a code, the kind of failure it is, and a short description, optionally wrapping
// the error underneath it. The kind is set where the OS answered (PosixError.h on Linux); code
// above the boundary asks for the kind and never for the OS's own codes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace tamberlo {

// The file domain plays the part of Foundation's file errors; its codes follow Foundation's.
inline constexpr std::string_view kFileErrorDomain = "file";

namespace FileErrorCode {
inline constexpr int64_t kNoSuchFile = 4;
inline constexpr int64_t kWriteUnknown = 512;
inline constexpr int64_t kWriteFileExists = 516;
inline constexpr int64_t kWriteOutOfSpace = 640;
}  // namespace FileErrorCode

// What went wrong, in the few kinds that the code above the boundary tells apart.
enum class ErrorKind {
  kOther,
  kExists,          // the name is taken
  kNotFound,        // nothing stands at the name, or a folder on the way is missing
  kNoSpace,         // the volume or the user's quota is full
  kNotRegularFile,  // a link, folder, device, or a file with other names (hard links)
};

struct Error {
  std::string domain;
  int64_t code = 0;
  ErrorKind kind = ErrorKind::kOther;
  // A short English sentence naming the operation and the reason. Never holds a file name:
  // descriptions are logged as public values.
  std::string description;
  std::shared_ptr<const Error> underlying;

  // An error of the file domain wrapping `cause`, of the cause's kind.
  static Error file(int64_t code, std::string description, Error cause);
  // True when this error or one underneath it is of `wanted` kind.
  bool hasKind(ErrorKind wanted) const;
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
