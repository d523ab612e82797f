// The pure rules about names in the Downloads folder: which names may be used, how a name
// splits into stem and extension, what counts as a numbered copy of a name, and which listed
// file answers a request. Nothing here touches the disk or keeps state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Extension/NameText.h"
#include "Platform/FileSystem.h"

namespace tamberlo::DownloadsFile {

// How far before the time bound a copy may have been made and still answer.
inline constexpr std::chrono::duration<double> kTolerance{120.0};

// The suffix that marks a part file, a transfer in progress.
inline constexpr std::string_view kPartSuffix = ".part";

// One entry of the Downloads listing.
struct Entry {
  std::string name;  // exactly as the folder spells it
  Instant created;   // kDistantPast when unknown

  // Names equal under canonical equivalence, and the same date.
  bool operator==(const Entry& other) const;
};

// True when the host is built for Windows, whose names isAcceptable then also vets.
#ifdef _WIN32
inline constexpr bool kBuiltForWindows = true;
#else
inline constexpr bool kBuiltForWindows = false;
#endif

// True when `name` may stand for one file directly in Downloads: not empty, at most 255 bytes
// of UTF-8, no "/", no NUL, no leading "."; when kBuiltForWindows also storable there
// (isStorableOnWindows). Nothing else is refused.
bool isAcceptable(std::string_view name);

// True when Windows stores a file under `name` and gives the same name back: not empty, none of
// <>:"/\|?* (a ":" opens an alternate stream of another file) and no control character
// (U+0000 to U+001F), no device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9, LPT0
// to LPT9 and COM or LPT with a superscript 1, 2 or 3, in any letter case, alone or before a
// "."), and no "."
// or space at the end (Windows drops them). A storable name stays storable with ".part" or a
// copy number added (numbered). Answers on every OS.
bool isStorableOnWindows(std::string_view name);

// True when `part` names a part file: accepted by isAcceptable, ending in ".part" and longer
// than that suffix, counted in user-perceived characters.
bool isPartFileName(std::string_view part);

// The path of `name` in `folder`, with one "/" between them (none added when `folder` ends with
// one).
std::string pathIn(const std::string& folder, std::string_view name);

struct StemAndExtension {
  std::string_view stem;
  std::string_view extension;  // empty, or "." and what follows it
};

// Splits at the last "." that stands as a character of its own; with no such dot, or only one
// at the very start, the stem is the whole name.
StemAndExtension split(std::string_view name);

// The name's n-th numbered variant: stem, " (", n, ")", extension ("a.tar (2).gz").
std::string numbered(std::string_view name, uint64_t n);

// Decides for many candidates whether each is the requested name or a numbered copy of it
// ("clip (2).mp4", "clip 2.mp4", "clip-2.mp4" for "clip.mp4"), preparing the requested name
// once. A folder holds many names and few copies, so a candidate whose bytes part from the
// stem's at a character that provably differs is turned away there, before any Unicode work
// and without allocating; plain-ASCII candidates of a plain-ASCII name never allocate.
class CopyMatcher {
 public:
  explicit CopyMatcher(std::string_view requested);
  // True when `candidate` is the requested name or a numbered copy of it, as isCopy() tells.
  bool matches(std::string_view candidate) const;

 private:
  // True only when `candidate` provably neither equals the requested name nor begins with its
  // stem; false means "look closer", never "matches".
  bool cannotBeginWithStem(std::string_view candidate) const;
  bool matchesPlainAscii(std::string_view candidate) const;
  bool matchesUnicode(std::string_view candidate) const;

  std::string requested_;
  bool requestedPlainAscii_;
  // The requested name in NFC, and its stem and extension as clusters.
  NameText::Clusters requestedNfc_;
  NameText::Clusters stem_;
  NameText::Clusters extension_;
  // How many bytes at the start of the NFC stem are plain ASCII (no CR).
  size_t stemAsciiLead_ = 0;
};

// True when `candidate` is `requested` or a numbered copy of it.
bool isCopy(std::string_view candidate, std::string_view requested);

// True when one of `entries` stands under `name` in any spelling, canonically equivalent to it
// or the same bytes: a new file must not take a name that reads the same as one already there.
bool isTakenBy(std::string_view name, const std::vector<Entry>& entries);

// The entry that answers a request for `requested`: without a bound, the entry named exactly
// so (in the request's own spelling before any other equivalent one, then the first listed);
// with a bound, the earliest-made copy made no more than kTolerance before it (the
// first listed among equals). Nothing when no entry answers.
std::optional<std::string> match(std::string_view requested, const std::vector<Entry>& entries,
                                 std::optional<Instant> after);

}  // namespace tamberlo::DownloadsFile
