// Text as users see it: sequences of user-perceived characters (extended grapheme clusters,
// except that a prepended character such as U+0600 stands alone before anything but a mark),
// canonically equivalent spellings equal, case kept. The name rules compare names through this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamberlo::NameText {

// True when every character of `text` is its own one-byte cluster and already in NFC: ASCII without
// a carriage return (CR LF is one cluster). For such texts byte comparisons give the same answers
// as cluster comparisons.
bool isPlainAscii(std::string_view text);

// A text split into clusters. Normalised texts are in NFC, so equal clusters are equal bytes.
class Clusters {
 public:
  // Splits `text`, first bringing it to NFC when `normalize` is set. Text that is not valid
  // UTF-8 is split as it stands, without normalisation.
  Clusters(std::string_view text, bool normalize);

  size_t count() const { return starts_.size() - 1; }
  const std::string& text() const { return text_; }
  // The bytes of clusters [from, to).
  std::string_view slice(size_t from, size_t to) const {
    return std::string_view(text_).substr(starts_[from], starts_[to] - starts_[from]);
  }
  std::string_view at(size_t index) const { return slice(index, index + 1); }
  // The byte offset at which cluster `index` starts (count() gives the text's length).
  size_t offset(size_t index) const { return starts_[index]; }

  bool startsWith(const Clusters& prefix) const;
  bool endsWith(const Clusters& suffix) const;

 private:
  std::string text_;
  std::vector<uint32_t> starts_;
};

// Equality under canonical equivalence.
bool equal(std::string_view a, std::string_view b);

// True when no text but `text` itself is canonically equivalent to it, read off its bytes: plain
// ASCII without "K", ";" or "`". Those three are the only ASCII characters with another spelling
// (U+212A KELVIN SIGN, U+037E GREEK QUESTION MARK, U+1FEF GREEK VARIA), and normalisation
// stability keeps it so. False for anything else, which may or may not have another spelling.
bool hasOnlyOneSpelling(std::string_view text);

// The first code point of `text` in NFD when it is a starter (canonical combining class 0):
// read off the text's first code point alone, without allocating. Nothing for an empty text,
// text that does not begin with valid UTF-8, or one whose NFD begins with a combining mark.
// Two texts whose NFC forms begin with the same code point have the same leading starter, or
// both have none: texts with two different leading starters cannot begin with the same
// character.
std::optional<int32_t> leadingStarter(std::string_view text);

}  // namespace tamberlo::NameText
