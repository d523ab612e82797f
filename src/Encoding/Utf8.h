#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tamberlo {

// True when `text` is well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF. ASCII text is checked a word at a time.
bool isValidUtf8(std::string_view text);

// The path whose text is the UTF-8 `text`, and the UTF-8 text of `path` with its separators as
// they stand. The C++ library's own narrow encoding is not UTF-8 everywhere: on Windows it reads
// a plain string in the ANSI code page.
std::filesystem::path pathFromUtf8(std::string_view text);
std::string utf8Of(const std::filesystem::path& path);

}  // namespace tamberlo
