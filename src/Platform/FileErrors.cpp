#include "Platform/FileErrors.h"

#include <string>

namespace tamberlo::FileErrors {
namespace {

Error refusal(std::string_view operation, std::string_view reason, const Error& cause) {
  std::string description(operation);
  description.append(": ").append(reason).append(".");
  return Error{ErrorKind::kNotRegularFile, std::move(description), cause.osCode};
}

}  // namespace

Error writeFailed(Error cause) {
  if (cause.kind == ErrorKind::kNoSpace) {
    cause.description = "Cannot write the file: the volume is out of space.";
  }
  return cause;
}

Error noSuchFile(std::string_view operation, const Error& cause) {
  return Error{ErrorKind::kNotFound, std::string(operation) + ": the file does not exist.",
               cause.osCode};
}

Error notRegularFile(std::string_view operation, const Error& cause) {
  return refusal(operation, "it is not a regular file", cause);
}

Error hasOtherNames(std::string_view operation, const Error& cause) {
  return refusal(operation, "it has other names (hard links)", cause);
}

Error nameTaken(const Error& cause) {
  return Error{ErrorKind::kExists, "Cannot move the file: a file of that name exists.",
               cause.osCode};
}

Error replacedDuringMove() {
  return Error{ErrorKind::kOther, "Cannot move the file: another file took its place."};
}

Error keepsNoOrigin(const Error& cause) {
  return Error{ErrorKind::kOther,
               "Cannot mark the file's origin: the file system keeps no such mark.", cause.osCode};
}

Error locked() { return Error{ErrorKind::kLocked, "another transfer is writing this part file"}; }

}  // namespace tamberlo::FileErrors
