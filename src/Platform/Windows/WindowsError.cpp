#include "Platform/Windows/WindowsError.h"

#include <string>

#include "Platform/Windows/Utf16.h"

namespace tamberlo {
namespace {

// ERROR_DISK_QUOTA_EXCEEDED, which MinGW-w64's headers lack: the user's quota on the volume is
// used up.
constexpr DWORD kDiskQuotaExceeded = 1295;

ErrorKind kindOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return ErrorKind::kExists;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorKind::kNotFound;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kDiskQuotaExceeded:
      return ErrorKind::kNoSpace;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ErrorKind::kNotRegularFile;
    default:
      return ErrorKind::kOther;
  }
}

// The system's text for `code` in `language` (0: the user's), without the line end and the
// full stop it ends with; nothing when the system has none.
std::optional<std::string> systemText(DWORD code, DWORD language) {
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return std::nullopt;
  std::wstring_view text(buffer, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.remove_suffix(1);
  }
  std::optional<std::string> utf8 = text.empty() ? std::nullopt : toUtf8(text);
  ::LocalFree(buffer);
  return utf8;
}

}  // namespace

Error windowsError(DWORD code, std::string_view operation) {
  std::optional<std::string> reason =
      systemText(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (!reason) reason = systemText(code, 0);
  std::string description(operation);
  description += ": ";
  description += reason ? *reason : "Unknown error " + std::to_string(code);
  description += ".";
  return Error{kindOf(code), std::move(description), static_cast<int64_t>(code)};
}

Error lastWindowsError(std::string_view operation) {
  return windowsError(::GetLastError(), operation);
}

}  // namespace tamberlo
