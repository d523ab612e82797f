// Text and paths between the host's UTF-8 and the UTF-16 of the Win32 API.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamberlo {

// `text` in UTF-16; nothing when it is not valid UTF-8.
std::optional<std::wstring> toUtf16(std::string_view text);

// `text` in UTF-8; nothing when it holds an unpaired surrogate.
std::optional<std::string> toUtf8(std::wstring_view text);

// The form of the UTF-8 `path` (absolute, or relative to the current folder; "/" or "\" between
// names) that the wide Win32 file functions take at any length: made absolute and normalised as
// Windows normalises every path it is given ("/" made "\", doubled separators, "." and ".."
// taken out, trailing dots and spaces of the last name dropped), then prefixed with "\\?\" (or
// "\\?\UNC\" for "\\server\share\..."). Nothing when `path` is empty, is not valid UTF-8, holds
// a NUL, or leads to a device (CON, NUL, COM1...) rather than to a file.
std::optional<std::wstring> toWindowsPath(std::string_view path);

// `path` without its long-path prefix ("\\?\C:\..." made "C:\...", "\\?\UNC\server\..." made
// "\\server\..."), as the shell and programs other than the file functions take it.
std::wstring withoutLongPrefix(std::wstring_view path);

// The UTF-8 of a path that the Win32 API gave, without its long-path prefix ("\\?\C:\..." made
// "C:\...", "\\?\UNC\server\..." made "\\server\..."); nothing when it is not valid UTF-16.
std::optional<std::string> fromWindowsPath(std::wstring_view path);

}  // namespace tamberlo
