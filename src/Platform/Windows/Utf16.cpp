#include "Platform/Windows/Utf16.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace tamberlo {
namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

// True when a name between separators ("\\") of `path` is made of dots and spaces alone: Windows
// drops trailing dots and spaces, so such a name reads as "." or ".." or as no name at all.
bool hasDotName(std::wstring_view path) {
  size_t start = 0;
  while (start < path.size()) {
    size_t end = std::min(path.find(L'\\', start), path.size());
    std::wstring_view name = path.substr(start, end - start);
    if (!name.empty() && name.find_first_not_of(L". ") == std::wstring_view::npos) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<std::wstring> toUtf16(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > INT_MAX) return std::nullopt;
  int length = static_cast<int>(text.size());
  int wide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring out(static_cast<size_t>(wide), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), wide);
  return out;
}

std::optional<std::string> toUtf8(std::wstring_view text) {
  if (text.empty()) return std::string();
  if (text.size() > INT_MAX) return std::nullopt;
  int length = static_cast<int>(text.size());
  int narrow = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0,
                                     nullptr, nullptr);
  if (narrow <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(narrow), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, out.data(), narrow,
                        nullptr, nullptr);
  return out;
}

namespace {

// GetFullPathNameW of `path`, at any length; nothing when it fails.
std::optional<std::wstring> fullPathOf(const std::wstring& path) {
  // Full paths may be up to 32,767 characters long; the first call tells the length.
  DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::wstring full(needed, L'\0');
  DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  full.resize(length);
  return full;
}

}  // namespace

std::optional<std::string> normalizedFolder(std::string_view path) {
  std::optional<std::wstring> wide = toUtf16(path);
  if (!wide || wide->empty() || wide->find(L'\0') != std::wstring::npos) return std::nullopt;
  if (wide->starts_with(kLongPrefix)) return std::string(path);
  for (wchar_t& c : *wide) {
    if (c == L'/') c = L'\\';
  }
  std::optional<std::wstring> full = fullPathOf(*wide);
  if (!full) return std::nullopt;
  return toUtf8(*full);
}

std::optional<std::wstring> toWindowsPath(std::string_view path) {
  std::optional<std::wstring> wide = toUtf16(path);
  if (!wide || wide->empty() || wide->find(L'\0') != std::wstring::npos) return std::nullopt;
  if (wide->starts_with(kLongPrefix)) return wide;
  for (wchar_t& c : *wide) {
    if (c == L'/') c = L'\\';
  }
  // A name that holds "\" could otherwise climb out of the folder it is joined to.
  if (hasDotName(*wide)) return std::nullopt;
  std::optional<std::wstring> resolved = fullPathOf(*wide);
  if (!resolved) return std::nullopt;
  const std::wstring& full = *resolved;
  if (full.starts_with(kDevicePrefix) || full.starts_with(kLongPrefix)) return std::nullopt;
  if (full.starts_with(L"\\\\")) return std::wstring(kLongUncPrefix) + full.substr(2);
  return std::wstring(kLongPrefix) + full;
}

std::wstring withoutLongPrefix(std::wstring_view path) {
  if (path.starts_with(kLongUncPrefix)) {
    return L"\\\\" + std::wstring(path.substr(kLongUncPrefix.size()));
  }
  if (path.starts_with(kLongPrefix)) path.remove_prefix(kLongPrefix.size());
  return std::wstring(path);
}

std::optional<std::string> fromWindowsPath(std::wstring_view path) {
  return toUtf8(withoutLongPrefix(path));
}

}  // namespace tamberlo
