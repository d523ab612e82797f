#include "Platform/Error.h"

namespace tamberlo {

Error Error::file(int64_t code, std::string description, Error cause) {
  ErrorKind kind = cause.kind;
  return Error{std::string(kFileErrorDomain), code, kind, std::move(description),
               std::make_shared<const Error>(std::move(cause))};
}

bool Error::hasKind(ErrorKind wanted) const {
  for (const Error* link = this; link != nullptr; link = link->underlying.get()) {
    if (link->kind == wanted) return true;
  }
  return false;
}

}  // namespace tamberlo
