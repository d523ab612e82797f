// Errors of the Linux kernel and C library, classified where they are met.
#pragma once

#include <string_view>

#include "Platform/Error.h"

namespace tamberlo {

// An error for `errnum` (Linux's own numbers: ENOSPC is 28, EDQUOT 122), described as "<operation>:
// <reason>.", of the kind that `errnum` means (EEXIST taken, ENOENT not found, ENOSPC and EDQUOT no
// space, ELOOP, EISDIR and EMLINK not a regular file).
Error posixError(int errnum, std::string_view operation);

}  // namespace tamberlo
