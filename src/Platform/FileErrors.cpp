#include "Platform/FileErrors.h"

#include <string>

namespace tamberlo::FileErrors {
namespace {

Error refusal(std::string_view operation, std::string_view reason, Error cause) {
  std::string description(operation);
  description.append(": ").append(reason).append(".");
  Error error = Error::file(FileErrorCode::kWriteUnknown, std::move(description), std::move(cause));
  error.kind = ErrorKind::kNotRegularFile;
  return error;
}

}  // namespace

Error writeFailed(Error cause) {
  if (cause.kind == ErrorKind::kNoSpace) {
    return Error::file(FileErrorCode::kWriteOutOfSpace,
                       "Cannot write the file: the volume is out of space.", std::move(cause));
  }
  std::string description = cause.description;
  return Error::file(FileErrorCode::kWriteUnknown, std::move(description), std::move(cause));
}

Error noSuchFile(std::string_view operation, Error cause) {
  Error error =
      Error::file(FileErrorCode::kNoSuchFile, std::string(operation) + ": the file does not exist.",
                  std::move(cause));
  error.kind = ErrorKind::kNotFound;
  return error;
}

Error notRegularFile(std::string_view operation, Error cause) {
  return refusal(operation, "it is not a regular file", std::move(cause));
}

Error hasOtherNames(std::string_view operation, Error cause) {
  return refusal(operation, "it has other names (hard links)", std::move(cause));
}

Error nameTaken(Error cause) {
  Error error = Error::file(FileErrorCode::kWriteFileExists,
                            "Cannot move the file: a file of that name exists.", std::move(cause));
  error.kind = ErrorKind::kExists;
  return error;
}

Error replacedDuringMove() {
  return Error{std::string(kFileErrorDomain), FileErrorCode::kWriteUnknown, ErrorKind::kOther,
               "Cannot move the file: another file took its place.", nullptr};
}

}  // namespace tamberlo::FileErrors
