#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "Extension/DownloadsFile.h"

// Counts every allocation of this test program, for the test that names which cannot match
// are turned away without one.
namespace {
std::atomic<size_t> allocations{0};
}  // namespace

void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
// Kept out of line: inlined, the compiler would see memory from `new` handed to free().
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace tamberlo {
namespace {

using DownloadsFile::Entry;

// Whether a name is accepted by the rule of every OS, and whether Windows stores it faithfully;
// a host built for Windows accepts only names that pass both.
TEST(DownloadsFileTest, AcceptsOnlyOneFileNameInDownloads) {
  struct Case {
    std::string name;
    bool accepted;
    bool storableOnWindows;
  };
  const Case cases[] = {
      {"", false, false},
      {"a", true, true},
      {".", false, false},
      {"..", false, false},
      {".part", false, true},
      {".hidden", false, true},
      {"a.", true, false},
      {"a..b", true, true},
      {" .a", true, true},
      {"a/b", false, false},
      {"/", false, false},
      {"a/", false, false},
      {"a:b", true, false},
      {"clip.mp4:hidden", true, false},
      {"a<b", true, false},
      {"a>b", true, false},
      {"a\"b", true, false},
      {"a\\b", true, false},
      {"a|b", true, false},
      {"a?b", true, false},
      {"a*b", true, false},
      {std::string("a\0b", 3), false, false},
      {std::string("\0", 1), false, false},
      {"tab\there", true, false},
      {"line\nfeed", true, false},
      {"unit\x1fsep", true, false},
      {"del\x7f", true, true},
      {"a ", true, false},
      {"clip.mp4. ", true, false},
      {"CON", true, false},
      {"con.mp4", true, false},
      {"Com1.txt", true, false},
      {"nul.tar.gz", true, false},
      {"pRn", true, false},
      {"AUX ", true, false},
      {"aux .txt", true, false},
      {"LPT9.log", true, false},
      {"COM\xC2\xB9", true, false},     // COM¹
      {"com\xC2\xB2.x", true, false},   // com².x
      {"LPT\xC2\xB3", true, false},     // LPT³
      {"LPT\xE2\x81\xB4", true, true},  // LPT⁴
      {"COM0", true, false},
      {"lpt0.mp4", true, false},
      {"CONIN$", true, false},
      {"conout$.txt", true, false},
      {"CONIN", true, true},
      {"CONOUT$x", true, true},
      {"COM10", true, true},
      {"COM", true, true},
      {"CONSOLE.txt", true, true},
      {"mycon.txt", true, true},
      {"con (1).mp4", true, true},
      {"x.con", true, true},
      {"a.mp4.part", true, true},
      {std::string(255, 'x'), true, true},
      {std::string(256, 'x'), false, true},
      {[] {
         std::string s;
         for (int i = 0; i < 128; ++i) s += "\xC3\xA9";
         return s;
       }(),
       false, true},
      {[] {
         std::string s;
         for (int i = 0; i < 85; ++i) s += "\xE2\x82\xAC";
         return s;
       }(),
       true, true},
  };
  for (const Case& c : cases) {
    bool acceptedHere = c.accepted && (!DownloadsFile::kBuiltForWindows || c.storableOnWindows);
    EXPECT_EQ(DownloadsFile::isAcceptable(c.name), acceptedHere) << "name: " << c.name;
    EXPECT_EQ(DownloadsFile::isStorableOnWindows(c.name), c.storableOnWindows)
        << "name: " << c.name;
    if (!c.storableOnWindows) continue;
    // The part file's name and every numbered copy stay storable.
    std::string part = c.name + std::string(DownloadsFile::kPartSuffix);
    for (const std::string& made :
         {part, DownloadsFile::numbered(c.name, 12), DownloadsFile::numbered(part, 3)}) {
      EXPECT_TRUE(DownloadsFile::isStorableOnWindows(made)) << "name: " << made;
    }
  }
}

TEST(DownloadsFileTest, SplitsAtTheLastDotThatStandsAlone) {
  struct Case {
    std::string name, stem, extension;
  };
  const Case cases[] = {
      {"clip.mp4", "clip", ".mp4"},
      {"a.tar.gz", "a.tar", ".gz"},
      {"notes", "notes", ""},
      {"notes.", "notes", "."},
      {".bashrc", ".bashrc", ""},
      {"a..b", "a.", ".b"},
      // A dot carrying a combining mark is no dot of its own.
      {"a.b.\xCC\x81x", "a", ".b.\xCC\x81x"},
      {"caf\xC3\xA9.txt", "caf\xC3\xA9", ".txt"},
  };
  for (const Case& c : cases) {
    auto parts = DownloadsFile::split(c.name);
    EXPECT_EQ(parts.stem, c.stem) << c.name;
    EXPECT_EQ(parts.extension, c.extension) << c.name;
  }
  EXPECT_EQ(DownloadsFile::numbered("a.tar.gz", 1), "a.tar (1).gz");
  EXPECT_EQ(DownloadsFile::numbered("notes", 2), "notes (2)");
  EXPECT_EQ(DownloadsFile::numbered("clip.mp4.part", 1), "clip.mp4 (1).part");
}

TEST(DownloadsFileTest, PartFileNames) {
  struct Case {
    std::string part;
    bool accepted;
  };
  const Case cases[] = {
      {"clip.mp4.part", true},
      {"a.part", true},
      {".part", false},
      {"x.part/", false},
      {"clip.mp4", false},
      {"a.PART", false},
      {"a/b.part", false},
      {"\xC3\xA9.part", true},
      // Prepended characters (U+0600, U+06DD, U+110BD) end the name before ".part"; a mark
      // on the dot makes it another character.
      {"a\xD8\x80.part", true},
      {"a\xDB\x9D.part", true},
      {"a\xF0\x91\x82\xBD.part", true},
      {"a\xD8\x80\xCC\x81.part", true},
      {"a.\xCC\x81part", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DownloadsFile::isPartFileName(c.part), c.accepted) << c.part;
  }
}

struct CopyCase {
  std::string candidate;
  std::string requested;
  bool copy;
};

const CopyCase kCopyCases[] = {
    // The name itself and the three marker forms.
    {"clip.mp4", "clip.mp4", true},
    {"clip (1).mp4", "clip.mp4", true},
    {"clip (2).mp4", "clip.mp4", true},
    {"clip 2.mp4", "clip.mp4", true},
    {"clip-2.mp4", "clip.mp4", true},
    // Digits: never parsed, any count, zeros included.
    {"clip (007).mp4", "clip.mp4", true},
    {"clip (0).mp4", "clip.mp4", true},
    {"clip-00.mp4", "clip.mp4", true},
    {"clip (12345678901234567890).mp4", "clip.mp4", true},
    {"clip 2024.mp4", "clip.mp4", true},
    // Markers that are not quite one of the forms.
    {"clip(2).mp4", "clip.mp4", false},
    {"clip_2.mp4", "clip.mp4", false},
    {"clip.2.mp4", "clip.mp4", false},
    {"clip2.mp4", "clip.mp4", false},
    {"clipboard.mp4", "clip.mp4", false},
    {"clip ().mp4", "clip.mp4", false},
    {"clip-.mp4", "clip.mp4", false},
    {"clip .mp4", "clip.mp4", false},
    {"clip  2.mp4", "clip.mp4", false},
    {"clip - 2.mp4", "clip.mp4", false},
    {"clip ( 2).mp4", "clip.mp4", false},
    {"clip (2) .mp4", "clip.mp4", false},
    {"clip (2.mp4", "clip.mp4", false},
    {"clip 2).mp4", "clip.mp4", false},
    {"clip (-2).mp4", "clip.mp4", false},
    {"clip (2a).mp4", "clip.mp4", false},
    {"clip (1.5).mp4", "clip.mp4", false},
    {"clip (2) (3).mp4", "clip.mp4", false},
    {"clip (\xEF\xBC\x92).mp4", "clip.mp4", false},  // fullwidth two
    {"clip \xC2\xB2.mp4", "clip.mp4", false},        // superscript two
    {"clip (2\xCC\x81).mp4", "clip.mp4", false},     // a digit carrying a mark
    // Case matters.
    {"Clip (2).mp4", "clip.mp4", false},
    {"clip (2).MP4", "clip.mp4", false},
    {"CLIP.MP4", "clip.mp4", false},
    // The extension must end the candidate.
    {"clip.mp4 (2)", "clip.mp4", false},
    {"clip (2).mp4.part", "clip.mp4", false},
    {"clip (2)", "clip.mp4", false},
    // Requested names that are copies themselves, or have odd extensions.
    {"clip (1) (1).mp4", "clip (1).mp4", true},
    {"clip (1) 2.mp4", "clip (1).mp4", true},
    {"clip (2).mp4", "clip (1).mp4", false},
    {"archive.tar (1).gz", "archive.tar.gz", true},
    {"archive (1).tar.gz", "archive.tar.gz", false},
    {"notes (1)", "notes", true},
    {"notes 1", "notes", true},
    {"notes-1", "notes", true},
    {"notes.txt", "notes", false},
    {"notes (1).txt", "notes", false},
    {"notes (1).", "notes.", true},
    {"notes (1)", "notes.", false},
    {"a.b", "a..b", false},
    // Canonical equivalence: precomposed and decomposed spellings are one name.
    {"caf\x65\xCC\x81.mp4", "caf\xC3\xA9.mp4", true},
    {"caf\xC3\xA9 (3).mp4", "caf\x65\xCC\x81.mp4", true},
    {"caf\x65\xCC\x81 (3).mp4", "caf\xC3\xA9.mp4", true},
    {"\xE2\x84\xAA (1).mp4", "K.mp4", true},  // the Kelvin sign is a K
    {"cafe (1).mp4", "caf\xC3\xA9.mp4", false},
    {"K (1).mp4", "\xE2\x84\xAA.mp4", true},
    {"a\xE2\x84\xAA (1).mp4", "aK.mp4", true},    // differs from "aK" only after NFC
    {"a\xCD\xBE (1).txt", "a;.txt", true},        // U+037E is a semicolon
    {"e\xCC\x81 (1).txt", "\xC3\xA9.txt", true},  // the candidate starts with a plain "e"
    {"\xC3\xA9 (1).txt", "e\xCC\x81.txt", true},
    {"u\xCC\x88\xCC\x84 (1).txt", "\xC7\x96.txt", true},             // two marks make one letter
    {"\xE1\x84\x80\xE1\x85\xA1 (1).txt", "\xEA\xB0\x80.txt", true},  // Hangul jamo
    {"\xEA\xB0\x80 (1).txt", "\xE1\x84\x80\xE1\x85\xA1.txt", true},
    {"a\xCC\x81\xCC\xA3 (1).txt", "a\xCC\xA3\xCC\x81.txt", true},  // marks in either order
    {"\xCC\x81x (1).txt", "\xCC\x81x.txt", true},                  // a name that starts with a mark
    {"cli", "clip", false},
    {"\xC3\xA9", "e\xCC\x81x", false},
    // A mark on the stem's last letter is part of that letter, not a marker; a mark on a piece
    // of the marker or on the extension's dot makes it another character.
    {"clip\xCC\x81 (1).mp4", "clip.mp4", false},
    {"clip \xCC\x81(1).mp4", "clip.mp4", false},
    {"clip (1)\xCC\x81.mp4", "clip.mp4", false},
    {"clip (1).\xCC\x81mp4", "clip.mp4", false},
    {"q\xCC\x81-1.txt", "q\xCC\x81.txt",
     true},  // no precomposed form: two code points, one character
    // A prepended character ending the stem does not take in what follows it.
    {"clip\xD8\x80 (1).mp4", "clip\xD8\x80.mp4", true},
    {"clip\xD8\x80-2", "clip\xD8\x80", true},
    {"a\xF0\x91\x82\xBD 3.txt", "a\xF0\x91\x82\xBD.txt", true},
    {"clip\xD8\x80.mp4 (1)", "clip\xD8\x80.mp4", false},
    // CR LF is one character: a marker cannot begin in the middle of it.
    {"a\r\n1", "a\r", false},
    {"a\r-1", "a\r", true},
};

TEST(DownloadsFileTest, CopyNameRule) {
  for (const CopyCase& c : kCopyCases) {
    EXPECT_EQ(DownloadsFile::isCopy(c.candidate, c.requested), c.copy)
        << "candidate '" << c.candidate << "' of '" << c.requested << "'";
  }
}

// The byte-level path for plain ASCII must agree with the Unicode path on the same names: a
// non-ASCII character that changes nothing in the comparison forces the Unicode path.
TEST(DownloadsFileTest, AsciiAndUnicodePathsAgree) {
  const std::string kMark = "\xC3\xA9";  // é, precomposed
  for (const CopyCase& c : kCopyCases) {
    if (!NameText::isPlainAscii(c.candidate) || !NameText::isPlainAscii(c.requested)) continue;
    std::string candidate = kMark + c.candidate;
    std::string requested = kMark + c.requested;
    EXPECT_EQ(DownloadsFile::isCopy(candidate, requested), c.copy)
        << "candidate '" << c.candidate << "' of '" << c.requested << "'";
  }
}

Instant at(double seconds) { return Instant(std::chrono::duration<double>(seconds)); }

TEST(DownloadsFileTest, MatchChoosesTheEarliestCopyWithinTolerance) {
  const double kTen = 1'700'000'000.0;  // stands for 10:00:00
  const std::vector<Entry> entries = {{"clip.mp4", at(kTen)}, {"clip (1).mp4", at(kTen + 300)}};
  struct Case {
    std::string label;
    std::vector<Entry> entries;
    std::optional<Instant> after;
    std::optional<std::string> expected;
    std::string requested = "clip.mp4";
  };
  const Case cases[] = {
      {"no bound: exact name", entries, std::nullopt, "clip.mp4"},
      {"no bound: copies never answer", {entries[1]}, std::nullopt, std::nullopt},
      {"only the later copy in range", entries, at(kTen + 270), "clip (1).mp4"},
      {"both in range: earlier wins", entries, at(kTen + 60), "clip.mp4"},
      {"made exactly at the threshold", entries, at(kTen + 420), "clip (1).mp4"},
      {"a millisecond before the threshold",
       {{"clip.mp4", at(kTen)}, {"clip (1).mp4", at(kTen + 299.999)}},
       at(kTen + 420),
       std::nullopt},
      {"nothing in range", entries, at(kTen + 480), std::nullopt},
      {"ties go to the first listed",
       {{"clip 2.mp4", at(kTen)}, {"clip (1).mp4", at(kTen)}},
       at(kTen),
       "clip 2.mp4"},
      {"a later-listed, earlier-made copy beats the exact name",
       {{"clip.mp4", at(kTen + 10)}, {"clip (1).mp4", at(kTen)}},
       at(kTen),
       "clip (1).mp4"},
      {"the earliest of several, listed in the middle",
       {{"clip-3.mp4", at(kTen + 30)},
        {"clip 2.mp4", at(kTen + 5)},
        {"clip (1).mp4", at(kTen + 20)}},
       at(kTen),
       "clip 2.mp4"},
      {"empty list, no bound", {}, std::nullopt, std::nullopt},
      {"empty list, bound", {}, at(kTen), std::nullopt},
      {"other names never answer", {{"other.mp4", at(kTen + 500)}}, at(kTen), std::nullopt},
      {"distant past never answers a bound", {{"clip.mp4", kDistantPast}}, at(kTen), std::nullopt},
      {"distant past answers without a bound",
       {{"clip.mp4", kDistantPast}},
       std::nullopt,
       "clip.mp4"},
      {"the folder's own spelling is answered",
       {{"caf\x65\xCC\x81.mp4", at(kTen)}},
       std::nullopt,
       "caf\x65\xCC\x81.mp4",
       "caf\xC3\xA9.mp4"},
      {"the request's own spelling before an equivalent one",
       {{"caf\xC3\xA9.mp4", at(kTen)}, {"caf\x65\xCC\x81.mp4", at(kTen + 300)}},
       std::nullopt,
       "caf\x65\xCC\x81.mp4",
       "caf\x65\xCC\x81.mp4"},
      {"the folder's own spelling of a copy is answered",
       {{"caf\xC3\xA9.mp4", at(kTen)}, {"caf\x65\xCC\x81 (1).mp4", at(kTen + 300)}},
       at(kTen + 400),
       "caf\x65\xCC\x81 (1).mp4",
       "caf\xC3\xA9.mp4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DownloadsFile::match(c.requested, c.entries, c.after), c.expected) << c.label;
  }
}

// A folder holds many names and few copies: names that cannot match are turned away without a
// single allocation, whatever script they are written in.
TEST(DownloadsFileTest, NamesThatCannotMatchCostNoAllocation) {
  struct Case {
    std::string requested;
    std::vector<std::string> others;
  };
  const Case cases[] = {
      {"clip.mp4",
       {"cat.jpg", "clipboard.mp4", "clip_2.mp4", "clip (2).mov", "cl", "report.pdf",
        "\xD0\x92\xD0\xB8\xD0\xB4\xD0\xB5\xD0\xBE.mp4",  // Cyrillic
        "\xE6\x97\xA5\xE6\x9C\xAC.txt",                  // CJK
        "\xC3\xA9t\xC3\xA9.mp4", "clap\xC3\xA9.mp4", "cli\xC3\xA9.mp4", "cli\xCC\x81p.mp4"}},
      {"\xD0\x92\xD0\xB8\xD0\xB4\xD0\xB5\xD0\xBE.mp4",
       {"clip.mp4", "\xD0\x90\xD1\x83\xD0\xB4\xD0\xB8\xD0\xBE.mp4", "\xC3\xA9t\xC3\xA9.mp4"}},
      {"\xC3\xA9t\xC3\xA9.mp4", {"clip.mp4", "\xC3\xA0 la.mp4", "f\xC3\xAAte.mp4"}},
      {"caf\xC3\xA9.mp4", {"cafard.mp4", "caf\xC3\xA0.mp4", "caf"}},
      // Parting from the stem inside a shared script, even inside one character's bytes.
      {"\xD0\x92\xD0\xB8\xD0\xB4\xD0\xB5\xD0\xBE 5.mp4",
       {"\xD0\x92\xD0\xB8\xD0\xB4\xD0\xB5\xD0\xBE 12.mp4", "\xD0\x92\xD0\xB8\xD0\xB4\xD0\xB0.mp4"}},
  };
  for (const Case& c : cases) {
    DownloadsFile::CopyMatcher matcher(c.requested);
    for (const std::string& other : c.others) {
      size_t before = allocations.load();
      bool matched = matcher.matches(other);
      EXPECT_EQ(allocations.load() - before, 0u) << other << " against " << c.requested;
      EXPECT_FALSE(matched) << other << " against " << c.requested;
    }
  }
  // The count does see the work that a possible copy needs.
  DownloadsFile::CopyMatcher matcher("K.mp4");
  size_t before = allocations.load();
  EXPECT_TRUE(matcher.matches("\xE2\x84\xAA (1).mp4"));
  EXPECT_GT(allocations.load() - before, 0u);
}

}  // namespace
}  // namespace tamberlo
