// Errors of the Win32 API, classified where they are met.
#pragma once

#include <windows.h>

#include <string_view>

#include "Platform/Error.h"

namespace tamberlo {

// An error for the system error code `code` of GetLastError (ERROR_DISK_FULL is 112), described as
// "<operation>: <the system's text>." in English where the system has it, in UTF-8, and of the kind
// that `code` means (ERROR_FILE_EXISTS and ERROR_ALREADY_EXISTS taken; ERROR_FILE_NOT_FOUND and
// ERROR_PATH_NOT_FOUND not found; ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL and
// ERROR_DISK_QUOTA_EXCEEDED no space; ERROR_CANT_RESOLVE_FILENAME, a loop of links, not a
// regular file). The system's texts name no file: messages are formatted without inserts.
Error windowsError(DWORD code, std::string_view operation);

// windowsError for the calling thread's GetLastError().
Error lastWindowsError(std::string_view operation);

}  // namespace tamberlo
