#include "Extension/NameText.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace tamberlo::NameText {

bool isPlainAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\r') return false;
  }
  return true;
}

namespace {
// True where a cluster would join a prepended character (Grapheme_Cluster_Break=Prepend, such
// as U+0600) to the character after it: a boundary in name characters, though not in extended
// grapheme clusters. Names are joined from parts (stem, copy marker, extension, ".part"), none
// of which begins with a mark, and a character that ends one part must not reach into the
// next: "clip\u0600" + ".part" ends in ".part". Marks after it still join it.
bool endsPrepended(utf8proc_int32_t previous, utf8proc_int32_t next) {
  if (utf8proc_get_property(previous)->boundclass != UTF8PROC_BOUNDCLASS_PREPEND) return false;
  switch (utf8proc_get_property(next)->boundclass) {
    case UTF8PROC_BOUNDCLASS_EXTEND:
    case UTF8PROC_BOUNDCLASS_SPACINGMARK:
    case UTF8PROC_BOUNDCLASS_ZWJ:
      return false;
    default:
      return true;
  }
}
}  // namespace

Clusters::Clusters(std::string_view text, bool normalize) {
  if (normalize && !isPlainAscii(text)) {
    utf8proc_uint8_t* mapped = nullptr;
    utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, std::free);
    if (length >= 0) {
      text_.assign(reinterpret_cast<const char*>(mapped), static_cast<size_t>(length));
    } else {
      text_.assign(text);
    }
  } else {
    text_.assign(text);
  }
  starts_.reserve(text_.size() + 1);
  starts_.push_back(0);
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text_.data());
  utf8proc_ssize_t size = static_cast<utf8proc_ssize_t>(text_.size());
  utf8proc_ssize_t position = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  while (position < size) {
    utf8proc_int32_t codepoint;
    utf8proc_ssize_t length = utf8proc_iterate(bytes + position, size - position, &codepoint);
    if (length <= 0) {
      // A stray byte stands as a cluster of its own.
      length = 1;
      codepoint = -1;
    }
    if (previous != -1 && codepoint != -1 &&
        !utf8proc_grapheme_break_stateful(previous, codepoint, &state) &&
        !endsPrepended(previous, codepoint)) {
      // Same cluster: nothing to mark.
    } else if (position != 0) {
      starts_.push_back(static_cast<uint32_t>(position));
      if (codepoint == -1 || previous == -1) state = 0;
    }
    previous = codepoint;
    position += length;
  }
  if (!text_.empty()) starts_.push_back(static_cast<uint32_t>(text_.size()));
}

bool Clusters::startsWith(const Clusters& prefix) const {
  size_t n = prefix.count();
  return n <= count() && offset(n) == prefix.text().size() &&
         std::string_view(text_).substr(0, offset(n)) == prefix.text();
}

bool Clusters::endsWith(const Clusters& suffix) const {
  size_t n = suffix.count();
  if (n > count()) return false;
  size_t from = offset(count() - n);
  return text_.size() - from == suffix.text().size() &&
         std::string_view(text_).substr(from) == suffix.text();
}

bool equal(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isPlainAscii(a) && isPlainAscii(b)) return false;
  return Clusters(a, true).text() == Clusters(b, true).text();
}

bool hasOnlyOneSpelling(std::string_view text) {
  return isPlainAscii(text) && text.find_first_of("K;`") == std::string_view::npos;
}

std::optional<int32_t> leadingStarter(std::string_view text) {
  if (text.empty()) return std::nullopt;
  auto first = static_cast<unsigned char>(text[0]);
  // ASCII has no decomposition, and every ASCII character is a starter.
  if (first < 0x80) return static_cast<int32_t>(first);
  utf8proc_int32_t codepoint;
  utf8proc_ssize_t length =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                       static_cast<utf8proc_ssize_t>(text.size()), &codepoint);
  if (length <= 0) return std::nullopt;
  // Canonical decompositions are at most four code points long; only the first is needed, and
  // utf8proc writes it first even when the buffer is short.
  utf8proc_int32_t decomposed[4];
  utf8proc_ssize_t count =
      utf8proc_decompose_char(codepoint, decomposed, 4, UTF8PROC_DECOMPOSE, nullptr);
  if (count <= 0) return std::nullopt;
  // Canonical reordering moves only combining marks, and nothing precedes the first code point,
  // so a leading starter stays first in the text's NFD. A leading mark may be reordered.
  if (utf8proc_get_property(decomposed[0])->combining_class != 0) return std::nullopt;
  return decomposed[0];
}

}  // namespace tamberlo::NameText
