#include "Platform/Error.h"

#include <cstring>

namespace tamberlo {

Error Error::posix(int errnum, std::string_view operation) {
  const char* reason = strerrordesc_np(errnum);
  std::string description(operation);
  description += ": ";
  description += reason != nullptr ? reason : "Unknown error " + std::to_string(errnum);
  description += ".";
  return Error{std::string(kPosixErrorDomain), errnum, std::move(description), nullptr};
}

Error Error::file(int64_t code, std::string description, Error cause) {
  return Error{std::string(kFileErrorDomain), code, std::move(description),
               std::make_shared<const Error>(std::move(cause))};
}

}  // namespace tamberlo
