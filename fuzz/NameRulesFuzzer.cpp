// The name rules on arbitrary bytes. The input is a candidate name and a requested name (the
// first byte says how long the candidate is). Checked:
// - isCopy, match, split, numbered and isPartFileName never crash;
// - a name said to have only one spelling is canonically equivalent to no other text;
// - every acceptable name is a copy of itself, and of its numbered variants;
// - every part name that begin can make from a name (the name and ".part", or a numbered
//   variant of that) is a part file name wherever it is an acceptable name;
// - the ASCII fast path and the Unicode path agree: canonically equivalent spellings (NFC and
//   NFD, the Kelvin sign and "K") give the same answers, and so does the same pair with "é"
//   put in front of both, which sends plain-ASCII names down the Unicode path;
// - match answers only with a listed copy: without a bound the requested name itself, with a
//   bound the earliest copy made no more than the tolerance before it.
#include <utf8proc.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "Encoding/Utf8.h"
#include "Extension/DownloadsFile.h"
#include "Extension/NameText.h"

namespace {

namespace DownloadsFile = tamberlo::DownloadsFile;

[[noreturn]] void fail(const std::string& what, std::string_view candidate,
                       std::string_view requested) {
  std::fprintf(stderr, "name rule broken: %s\n  candidate [%.*s]\n  requested [%.*s]\n",
               what.c_str(), static_cast<int>(candidate.size()), candidate.data(),
               static_cast<int>(requested.size()), requested.data());
  std::abort();
}

// `text` in NFD or NFC, or nothing when it is not valid UTF-8.
std::optional<std::string> normalized(std::string_view text, bool compose) {
  if (!tamberlo::isValidUtf8(text)) return std::nullopt;
  utf8proc_uint8_t* mapped = nullptr;
  auto options = static_cast<utf8proc_option_t>(UTF8PROC_STABLE |
                                                (compose ? UTF8PROC_COMPOSE : UTF8PROC_DECOMPOSE));
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &mapped, options);
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, std::free);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(mapped), static_cast<size_t>(length));
}

tamberlo::Instant at(double seconds) {
  return tamberlo::Instant(std::chrono::duration<double>(seconds));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t split = std::min<size_t>(data[0], rest.size());
  std::string_view candidate = rest.substr(0, split);
  std::string_view requested = rest.substr(split);

  const bool copy = DownloadsFile::isCopy(candidate, requested);
  (void)DownloadsFile::isPartFileName(candidate);
  (void)DownloadsFile::split(candidate);
  const bool acceptable = DownloadsFile::isAcceptable(requested);
  const bool valid = tamberlo::isValidUtf8(candidate) && tamberlo::isValidUtf8(requested);

  if (acceptable && !DownloadsFile::isCopy(requested, requested)) {
    fail("an acceptable name is no copy of itself", requested, requested);
  }
  if (acceptable && valid) {
    std::string variant = DownloadsFile::numbered(requested, 1 + data[0] % 12);
    if (!DownloadsFile::isCopy(variant, requested)) {
      fail("a numbered variant is no copy: " + variant, variant, requested);
    }
    std::string part = std::string(requested) + std::string(DownloadsFile::kPartSuffix);
    for (const std::string& made : {part, DownloadsFile::numbered(part, 1 + data[0] % 12)}) {
      if (DownloadsFile::isAcceptable(made) && !DownloadsFile::isPartFileName(made)) {
        fail("begin would hand out a part name that is refused: " + made, made, requested);
      }
    }
  }

  if (tamberlo::NameText::hasOnlyOneSpelling(requested) && candidate != requested &&
      tamberlo::NameText::equal(candidate, requested)) {
    fail("a name said to have one spelling has another", candidate, requested);
  }

  // Canonically equivalent spellings answer alike, down whichever path each one takes.
  for (bool compose : {false, true}) {
    if (auto other = normalized(candidate, compose); other && tamberlo::isValidUtf8(requested)) {
      if (DownloadsFile::isCopy(*other, requested) != copy) {
        fail(compose ? "NFC candidate answers differently" : "NFD candidate answers differently",
             candidate, requested);
      }
    }
    if (auto other = normalized(requested, compose); other && tamberlo::isValidUtf8(candidate)) {
      if (DownloadsFile::isCopy(candidate, *other) != copy) {
        fail(compose ? "NFC request answers differently" : "NFD request answers differently",
             candidate, requested);
      }
    }
  }

  // Plain ASCII pairs through the Unicode path: "é" in front of both changes nothing, as long
  // as the requested name does not start with its only dot (whose place then decides the split).
  if (tamberlo::NameText::isPlainAscii(candidate) && tamberlo::NameText::isPlainAscii(requested) &&
      !requested.empty() && requested.front() != '.') {
    const std::string mark = "\xc3\xa9";
    if (DownloadsFile::isCopy(mark + std::string(candidate), mark + std::string(requested)) !=
        copy) {
      fail("the Unicode path disagrees with the ASCII path", candidate, requested);
    }
  }

  // Selection among a listing made of the candidate, the requested name and a variant.
  std::vector<DownloadsFile::Entry> entries = {
      {std::string(candidate), at(1000.0 + data[0] % 7)},
      {std::string(requested), at(1000.0 + data[size - 1] % 7)},
      {DownloadsFile::numbered(requested, 2), at(1003.0)},
  };
  std::optional<std::string> exact = DownloadsFile::match(requested, entries, std::nullopt);
  if (exact && !tamberlo::NameText::equal(*exact, requested)) {
    fail("match without a bound chose another name: " + *exact, candidate, requested);
  }
  if (!exact && DownloadsFile::isCopy(requested, requested)) {
    fail("match without a bound missed the listed name", candidate, requested);
  }
  tamberlo::Instant bound = at(1000.0 + 120.0 + data[size / 2] % 9);
  std::optional<std::string> chosen = DownloadsFile::match(requested, entries, bound);
  const DownloadsFile::Entry* earliest = nullptr;
  for (const DownloadsFile::Entry& entry : entries) {
    if (!DownloadsFile::isCopy(entry.name, requested)) continue;
    if (entry.created < bound - DownloadsFile::kTolerance) continue;
    if (earliest == nullptr || entry.created < earliest->created) earliest = &entry;
  }
  if (chosen.has_value() != (earliest != nullptr) || (chosen && *chosen != earliest->name)) {
    fail("match with a bound chose another entry", candidate, requested);
  }
  return 0;
}
