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
// Windows normalises every path it is given ("/" made "\", doubled separators collapsed,
// trailing dots and spaces of the last name dropped), then prefixed with "\\?\" (or "\\?\UNC\"
// for "\\server\share\..."). Nothing when `path` is empty, is not valid UTF-8, holds a NUL, has
// a name made of dots and spaces alone ("." and ".." among them: a folder joined with a name
// never has one, and such a path could lead out of the folder), or leads to a device (CON, NUL,
// COM1...) rather than to a file.
std::optional<std::wstring> toWindowsPath(std::string_view path);

// The UTF-8 `path` of a folder made absolute, its "." and ".." names resolved as Windows resolves
// them (by the names alone, "a\b\.." being "a") and "/" made "\", as a folder that a setting
// names ("...\Downloads\..\Downloads") can be joined with a name for toWindowsPath. Nothing when
// `path` is empty, not valid UTF-8 or holds a NUL. A long-prefixed path comes back as given.
std::optional<std::string> normalizedFolder(std::string_view path);

// `path` without its long-path prefix ("\\?\C:\..." made "C:\...", "\\?\UNC\server\..." made
// "\\server\..."), as the shell and programs other than the file functions take it.
std::wstring withoutLongPrefix(std::wstring_view path);

// The UTF-8 of a path that the Win32 API gave, without its long-path prefix ("\\?\C:\..." made
// "C:\...", "\\?\UNC\server\..." made "\\server\..."); nothing when it is not valid UTF-16.
std::optional<std::string> fromWindowsPath(std::wstring_view path);

}  // namespace tamberlo
