#include "Extension/DownloadsFile.h"

#include <array>

namespace tamberlo::DownloadsFile {
namespace {

struct MarkerForm {
  std::string_view opening;
  std::string_view closing;
};

// Tried in this order.
constexpr std::array<MarkerForm, 3> kMarkerForms = {{{"-", ""}, {" ", ""}, {" (", ")"}}};

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// The copy marker of a plain-ASCII candidate: one of the forms with a non-empty run of ASCII
// digits as its number.
bool isMarker(std::string_view marker) {
  for (const MarkerForm& form : kMarkerForms) {
    if (!marker.starts_with(form.opening) || !marker.ends_with(form.closing)) continue;
    if (marker.size() < form.opening.size() + form.closing.size()) continue;
    std::string_view number = marker.substr(
        form.opening.size(), marker.size() - form.opening.size() - form.closing.size());
    if (number.empty()) continue;
    bool digits = true;
    for (char c : number) digits = digits && isAsciiDigit(c);
    if (digits) return true;
  }
  return false;
}

// The same test on clusters [from, to) of `text`: each cluster of the number must be a single
// ASCII digit, and the opening and closing texts are matched cluster by cluster.
bool isMarker(const NameText::Clusters& text, size_t from, size_t to) {
  for (const MarkerForm& form : kMarkerForms) {
    size_t open = form.opening.size();  // the forms are plain ASCII: one cluster per byte
    size_t close = form.closing.size();
    if (to - from < open + close) continue;
    if (text.slice(from, from + open) != form.opening) continue;
    if (text.slice(to - close, to) != form.closing) continue;
    size_t first = from + open, last = to - close;
    if (first == last) continue;
    bool digits = true;
    for (size_t i = first; i < last && digits; ++i) {
      std::string_view cluster = text.at(i);
      digits = cluster.size() == 1 && isAsciiDigit(cluster[0]);
    }
    if (digits) return true;
  }
  return false;
}

// The index of the cluster that splits stem and extension, or the count when there is none.
size_t splitIndex(const NameText::Clusters& clusters) {
  for (size_t i = clusters.count(); i-- > 1;) {
    if (clusters.at(i) == ".") return i;
  }
  return clusters.count();
}

// True when `text` begins with `letters` (upper-case ASCII letters) in any letter case.
bool startsWithLetters(std::string_view text, std::string_view letters) {
  if (text.size() < letters.size()) return false;
  for (size_t i = 0; i < letters.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != letters[i]) return false;
  }
  return true;
}

// True when `base`, a name's text before its first ".", names a device in every folder.
// Windows ignores the spaces that end it.
bool isWindowsDeviceName(std::string_view base) {
  while (base.ends_with(' ')) base.remove_suffix(1);
  // The console's input and output, which CreateFileW opens as devices.
  if (base.size() == 6 && startsWithLetters(base, "CONIN$")) return true;
  if (base.size() == 7 && startsWithLetters(base, "CONOUT$")) return true;
  if (base.size() == 3) {
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
      if (startsWithLetters(base, device)) return true;
    }
    return false;
  }
  if (!startsWithLetters(base, "COM") && !startsWithLetters(base, "LPT")) return false;
  std::string_view number = base.substr(3);
  if (number.size() == 1) return isAsciiDigit(number[0]);
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";  // ¹ ² ³
}

}  // namespace

bool Entry::operator==(const Entry& other) const {
  return created == other.created && NameText::equal(name, other.name);
}

bool isAcceptable(std::string_view name) {
  if (name.empty()) return false;
  if (name.size() > 255) return false;
  if (name.find('/') != std::string_view::npos) return false;
  if (name.find('\0') != std::string_view::npos) return false;
  if (name.front() == '.') return false;
  return !kBuiltForWindows || isStorableOnWindows(name);
}

bool isStorableOnWindows(std::string_view name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  if (name.find_first_of("<>:\"/\\|?*") != std::string_view::npos) return false;
  return !isWindowsDeviceName(name.substr(0, name.find('.')));
}

bool isPartFileName(std::string_view part) {
  if (!isAcceptable(part)) return false;
  if (NameText::isPlainAscii(part)) {
    return part.size() > kPartSuffix.size() && part.ends_with(kPartSuffix);
  }
  NameText::Clusters clusters(part, true);
  static const NameText::Clusters suffix(kPartSuffix, false);
  return clusters.count() > suffix.count() && clusters.endsWith(suffix);
}

std::string pathIn(const std::string& folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  return path;
}

StemAndExtension split(std::string_view name) {
  size_t dot;
  if (NameText::isPlainAscii(name)) {
    dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return {name, {}};
  } else {
    NameText::Clusters clusters(name, false);
    size_t index = splitIndex(clusters);
    if (index == clusters.count()) return {name, {}};
    dot = clusters.offset(index);
  }
  return {name.substr(0, dot), name.substr(dot)};
}

std::string numbered(std::string_view name, uint64_t n) {
  StemAndExtension parts = split(name);
  std::string result;
  result.reserve(name.size() + 24);
  result.append(parts.stem).append(" (").append(std::to_string(n)).append(")");
  result.append(parts.extension);
  return result;
}

CopyMatcher::CopyMatcher(std::string_view requested)
    : requested_(requested),
      requestedPlainAscii_(NameText::isPlainAscii(requested)),
      requestedNfc_(requested, true),
      stem_("", false),
      extension_("", false) {
  size_t index = splitIndex(requestedNfc_);
  stem_ = NameText::Clusters(requestedNfc_.slice(0, index), false);
  extension_ = NameText::Clusters(requestedNfc_.slice(index, requestedNfc_.count()), false);
  const std::string& stem = stem_.text();
  while (stemAsciiLead_ < stem.size() &&
         NameText::isPlainAscii(std::string_view(stem).substr(stemAsciiLead_, 1))) {
    ++stemAsciiLead_;
  }
}

// Why turning a candidate away here is safe. Let S be the stem in NFC (the start of the
// requested name in NFC) and j the start of the code point where the candidate's bytes first
// depart from S.
// - A candidate that begins with the stem, or equals the name, has an NFC that begins with S,
//   hence an NFD that begins with NFD(S). Where S has a code point whose decomposition starts
//   with a starter (canonical combining class 0), that starter sits in NFD(S) right after the
//   decomposition of what precedes it: canonical reordering moves nothing across a starter.
// - The candidate shares S's first j bytes, so its own NFD holds, at that same place, the
//   first code point of the decomposition of its code point at j when that is a starter, and a
//   combining mark otherwise (NameText::leadingStarter of each from j on). A candidate that is
//   not UTF-8 there is compared byte for byte, and its bytes differ.
// - So when S's code point at j leads with a starter, the candidate's must lead with the same.
//   A candidate that ends inside S while equal to its plain-ASCII lead is plain ASCII, its own
//   NFC, and too short. Everything else is left to the full rule.
bool CopyMatcher::cannotBeginWithStem(std::string_view candidate) const {
  std::string_view stem = stem_.text();
  size_t i = 0;
  while (i < stem.size() && i < candidate.size() && candidate[i] == stem[i]) ++i;
  if (i == stem.size()) return false;
  if (i == candidate.size()) return i <= stemAsciiLead_;
  size_t j = i;
  while (j > 0 && (static_cast<unsigned char>(stem[j]) & 0xC0) == 0x80) --j;
  std::optional<int32_t> wanted = NameText::leadingStarter(stem.substr(j));
  return wanted && NameText::leadingStarter(candidate.substr(j)) != wanted;
}

bool CopyMatcher::matches(std::string_view candidate) const {
  if (candidate.empty()) return requested_.empty();
  if (cannotBeginWithStem(candidate)) return false;
  if (requestedPlainAscii_ && NameText::isPlainAscii(candidate)) {
    return matchesPlainAscii(candidate);
  }
  return matchesUnicode(candidate);
}

bool CopyMatcher::matchesPlainAscii(std::string_view candidate) const {
  if (candidate == requested_) return true;
  std::string_view stem = stem_.text();
  std::string_view extension = extension_.text();
  if (!candidate.starts_with(stem) || !candidate.ends_with(extension)) return false;
  if (stem.size() + extension.size() >= candidate.size()) return false;
  return isMarker(candidate.substr(stem.size(), candidate.size() - stem.size() - extension.size()));
}

bool CopyMatcher::matchesUnicode(std::string_view candidate) const {
  NameText::Clusters text(candidate, true);
  if (text.text() == requestedNfc_.text()) return true;
  if (!text.startsWith(stem_) || !text.endsWith(extension_)) return false;
  if (stem_.count() + extension_.count() >= text.count()) return false;
  return isMarker(text, stem_.count(), text.count() - extension_.count());
}

bool isCopy(std::string_view candidate, std::string_view requested) {
  return CopyMatcher(requested).matches(candidate);
}

bool isTakenBy(std::string_view name, const std::vector<Entry>& entries) {
  for (const Entry& entry : entries) {
    if (NameText::equal(entry.name, name)) return true;
  }
  return false;
}

std::optional<std::string> match(std::string_view requested, const std::vector<Entry>& entries,
                                 std::optional<Instant> after) {
  CopyMatcher matcher(requested);
  if (!after) {
    const Entry* equivalent = nullptr;
    for (const Entry& entry : entries) {
      if (!matcher.matches(entry.name)) continue;
      if (entry.name == requested) return entry.name;
      if (equivalent == nullptr && NameText::equal(entry.name, requested)) equivalent = &entry;
    }
    if (equivalent == nullptr) return std::nullopt;
    return equivalent->name;
  }
  Instant threshold = *after - kTolerance;
  const Entry* chosen = nullptr;
  for (const Entry& entry : entries) {
    if (!matcher.matches(entry.name) || entry.created < threshold) continue;
    if (chosen == nullptr || entry.created < chosen->created) chosen = &entry;
  }
  if (chosen == nullptr) return std::nullopt;
  return chosen->name;
}

}  // namespace tamberlo::DownloadsFile
