#include "Platform/Windows/Utf16.h"

#include <windows.h>

#include <climits>

namespace tamberlo {
namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

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

std::optional<std::wstring> toWindowsPath(std::string_view path) {
  std::optional<std::wstring> wide = toUtf16(path);
  if (!wide || wide->empty() || wide->find(L'\0') != std::wstring::npos) return std::nullopt;
  if (wide->starts_with(kLongPrefix)) return wide;
  for (wchar_t& c : *wide) {
    if (c == L'/') c = L'\\';
  }
  // Full paths may be up to 32,767 characters long; the first call tells the length.
  DWORD needed = ::GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::wstring full(needed, L'\0');
  DWORD length = ::GetFullPathNameW(wide->c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  full.resize(length);
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
