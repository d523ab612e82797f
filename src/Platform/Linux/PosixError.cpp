#include "Platform/Linux/PosixError.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace tamberlo {
namespace {

ErrorKind kindOf(int errnum) {
  switch (errnum) {
    case EEXIST:
      return ErrorKind::kExists;
    case ENOENT:
      return ErrorKind::kNotFound;
    case ENOSPC:
    case EDQUOT:
      return ErrorKind::kNoSpace;
    case ELOOP:
    case EISDIR:
    case EMLINK:
      return ErrorKind::kNotRegularFile;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

Error posixError(int errnum, std::string_view operation) {
  const char* reason = strerrordesc_np(errnum);
  std::string description(operation);
  description += ": ";
  description += reason != nullptr ? reason : "Unknown error " + std::to_string(errnum);
  description += ".";
  return Error{kindOf(errnum), std::move(description), errnum};
}

}  // namespace tamberlo
