// Errors of the Linux kernel and C library, classified where they are met.
#pragma once

#include <string_view>

#include "Platform/Error.h"

namespace tamberlo {

// The POSIX domain carries Linux's own errno values (ENOSPC is 28, EDQUOT 122).
inline constexpr std::string_view kPosixErrorDomain = "posix";

// An error of the POSIX domain for `errnum`, described as "<operation>: <reason>.", of the kind
// that `errnum` means (EEXIST taken, ENOENT not found, ENOSPC and EDQUOT no space, ELOOP, EISDIR
// and EMLINK not a regular file).
Error posixError(int errnum, std::string_view operation);

}  // namespace tamberlo
