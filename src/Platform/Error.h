// Errors as values: every failure that crosses the boundary to the OS comes back as an Error
// with the kind of failure it is, a short description and the OS's own code. The kind is set
// where the OS answered (PosixError.h on Linux, WindowsError.h on Windows); code above the
// boundary asks for the kind and never for the OS's code, which is kept for the log and tests.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tamberlo {

// What went wrong, in the few kinds that the code above the boundary tells apart.
enum class ErrorKind {
  kOther,
  kExists,          // the name is taken
  kNotFound,        // nothing stands at the name, or a folder on the way is missing
  kNoSpace,         // the volume, its inodes or the user's quota are full
  kNotRegularFile,  // a link, folder, device, or a file with other names (hard links)
  kLocked,          // another open handle holds the file's lock
  kInvalid,         // refused before anything was done: the input itself is wrong
};

struct Error {
  ErrorKind kind = ErrorKind::kOther;
  // A short English sentence naming the operation and the reason. Never holds a file name:
  // descriptions are logged as public values.
  std::string description;
  // The OS's number for it (errno, or a Win32 code); 0 when the failure is the host's own.
  int64_t osCode = 0;
};

// A value or the Error that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}
  // A result of a compatible value: a Result<std::unique_ptr<Derived>> becomes a
  // Result<std::unique_ptr<Base>>, its error passed on unchanged.
  template <typename U>
  requires(!std::is_same_v<U, T> && std::is_constructible_v<T, U&&>) Result(Result<U>&& other)
      : state_(other.ok() ? std::variant<T, Error>(std::in_place_index<0>, std::move(other.value()))
                          : std::variant<T, Error>(std::in_place_index<1>, other.error())) {}

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
