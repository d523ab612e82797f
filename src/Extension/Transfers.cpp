// begin, chunk, end, abort, status and list: the file work of a transfer.
#include "Extension/Transfers.h"

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <cmath>

#include "Extension/Lookup.h"
#include "Extension/MessageTypes.h"
#include "Extension/PartWriter.h"
#include "Extension/Replies.h"
#include "Platform/FileErrors.h"

namespace tamberlo {
namespace json = boost::json;
namespace {

using Replies::ok;
using Replies::refused;
using Replies::text;
using Replies::wholeNumber;

// The "part" of a message when it names a part file.
std::optional<std::string_view> partName(const json::object& message) {
  const json::string* part = text(message, "part");
  if (part == nullptr || !DownloadsFile::isPartFileName(part->subview())) return std::nullopt;
  return part->subview();
}

// The longest "url" or "referrer" that begin takes, in bytes.
constexpr size_t kMaxOriginText = 8 * 1024;

// The optional text under `key` of a begin: empty when absent; nothing when it is there but not
// text, or longer than kMaxOriginText.
std::optional<std::string> originText(const json::object& message, std::string_view key) {
  const json::value* value = message.if_contains(key);
  if (value == nullptr) return std::string();
  if (!value->is_string() || value->get_string().size() > kMaxOriginText) return std::nullopt;
  return std::string(value->get_string());
}

}  // namespace

Transfers::Transfers(FileSystem& files, std::string folder, Logger& log)
    : files_(files), folder_(std::move(folder)), log_(log) {}

std::string Transfers::pathOf(std::string_view name) const {
  return DownloadsFile::pathIn(folder_, name);
}

json::object Transfers::begin(const json::object& message) {
  const json::string* name = text(message, "name");
  if (name == nullptr || !DownloadsFile::isAcceptable(name->subview())) {
    return refused("not a file name");
  }
  std::optional<std::string> url = originText(message, "url");
  std::optional<std::string> referrer = originText(message, "referrer");
  if (!url || !referrer) return refused("bad begin");
  const std::string wanted = std::string(name->subview()) + std::string(DownloadsFile::kPartSuffix);
  std::string part = wanted;
  std::vector<DownloadsFile::Entry> spellings = spellingsOf(part);
  // Created exclusively: two begins racing for one name never share a part file, and a name taken
  // between test and creation sends the loop on to the next free one.
  for (uint64_t n = 1;; ++n) {
    if (!DownloadsFile::isTakenBy(part, spellings)) {
      Status created = files_.createExclusive(pathOf(part));
      if (created) {
        log_.info("file.write.begin %{private}s", {part});
        markOrigin(part, {std::move(*url), std::move(*referrer)});
        return {{"ok", true}, {"part", part}};
      }
      if (created.error().kind != ErrorKind::kExists) {
        // The reply keeps its fixed text; the reason goes to the log, and a full volume (no
        // space, no inode, no quota) is told as every transfer's file operation tells it.
        log_.error("file.write.begin: cannot create the file in Downloads: %{public}s",
                   {created.error().description});
        return {{"ok", false},
                {"error", "cannot create a file in Downloads"},
                {"storage", Replies::isDiskFull(created.error())}};
      }
    }
    part = DownloadsFile::numbered(wanted, n);
  }
}

void Transfers::markOrigin(std::string_view part, const OriginMark& mark) {
  // Carried by the part file itself, a rename keeps it: end and a later process need do nothing.
  // A file system that keeps no such mark still saves the file.
  if (Status marked = files_.markOrigin(pathOf(part), mark); !marked) {
    log_.error("file.write.begin: the file's origin is not marked: %{public}s",
               {marked.error().description});
  }
}

json::object Transfers::chunk(const json::object& message) {
  std::optional<std::string_view> part = partName(message);
  std::optional<uint64_t> offset = wholeNumber(message.if_contains("offset"));
  const json::string* data = text(message, "data");
  if (!part || !offset || data == nullptr) return refused("bad chunk");
  // Decoded whole, in one pass, into the buffer reused from chunk to chunk: the decoding is the
  // check, and it comes before the file is touched, so a bad chunk changes nothing, however long.
  std::optional<std::span<const uint8_t>> bytes = chunkDecoder_.decode(data->subview());
  if (!bytes) return refused("bad chunk");

  Result<LockedPart> opened = openLockedPart(files_, pathOf(*part));
  if (!opened) return Replies::failure(log_, MessageType::kChunk, opened.error());
  WritableFile& file = *opened->file;
  if (*offset > opened->length) return refused(pastTheEnd(*offset, opened->length));
  if (*offset < opened->length) {
    if (Status cut = file.truncate(*offset); !cut)
      return Replies::failure(log_, MessageType::kChunk, cut.error());
  }

  if (Status written = file.writeAt(*offset, *bytes); !written) {
    return Replies::failure(log_, MessageType::kChunk, written.error());
  }
  return {{"ok", true}, {"size", *offset + bytes->size()}};
}

json::object Transfers::end(const json::object& message) {
  std::optional<std::string_view> part = partName(message);
  const json::string* name = text(message, "name");
  std::optional<uint64_t> size = wholeNumber(message.if_contains("size"));
  if (!part || name == nullptr || !DownloadsFile::isAcceptable(name->subview()) || !size) {
    return refused("bad end");
  }

  std::string partPath = pathOf(*part);
  // Only a regular file with one name, reached without following a link, is ever moved; the
  // handle lets its bytes be flushed before the move and tells the move which file to expect.
  Result<std::unique_ptr<OpenFile>> file = files_.openForReading(partPath);
  if (!file) return Replies::failure(log_, MessageType::kEnd, file.error());
  // Held from the length check through the flush and the move: no chunk of another process
  // writes into the file between the check and the "ok".
  if (Status locked = lockPart(files_, **file, partPath); !locked)
    return Replies::failure(log_, MessageType::kEnd, locked.error());
  Result<uint64_t> length = (*file)->size();
  if (!length) return Replies::failure(log_, MessageType::kEnd, length.error());
  if (*length != *size) {
    return refused("written " + std::to_string(*length) + " of " + std::to_string(*size) +
                   " bytes");
  }
  if (Status flushed = (*file)->sync(); !flushed)
    return Replies::failure(log_, MessageType::kEnd, flushed.error());
  const FileIdentity checked = (*file)->identity();
  // The handle, and with it the lock, stays open through the move: both systems rename a file that
  // is open (on Windows every handle is opened with FILE_SHARE_DELETE, which MoveFileExW needs).

  // The move never replaces, so a name taken after it was found free only sends the file on to
  // the next free one.
  std::string finalName;
  for (int tries = 1;; ++tries) {
    finalName = freeName(name->subview());
    Status moved = files_.moveNoReplace(partPath, pathOf(finalName), checked);
    if (moved) break;
    bool taken = moved.error().kind == ErrorKind::kExists;
    if (!taken || tries == kMoveTries)
      return Replies::failure(log_, MessageType::kEnd, moved.error());
  }
  // The lock keeps out every writer that takes it, not one that ignores it (another program):
  // the length is read again, through the handle, now that the file stands under its name.
  Result<uint64_t> after = (*file)->size();
  if (!after || *after != *size)
    return changedDuringEnd(after, *size, partPath, finalName, checked);
  // The file is saved under its final name whatever the flush says; the name must reach the
  // scripts, or they could neither find nor retry it.
  if (Status flushed = files_.syncDirectory(folder_); !flushed) {
    log_.error("file.write.end: saved, but the folder flush failed: %{public}s",
               {flushed.error().description});
  }
  log_.info("file.write.end: saved %{public}llu bytes as %{private}s", {*size, finalName});
  return {{"ok", true}, {"name", finalName}};
}

json::object Transfers::changedDuringEnd(const Result<uint64_t>& length, uint64_t size,
                                         const std::string& partPath, const std::string& finalName,
                                         const FileIdentity& file) {
  std::string error = length ? "written " + std::to_string(length.value()) + " of " +
                                   std::to_string(size) + " bytes"
                             : length.error().description;
  // Nothing is removed: the file goes back to its part name, where the transfer can be seen
  // (status, list) and continued or aborted as after any short end. When that name was taken
  // meanwhile, it stays under its final name, and the failure names it.
  json::object reply = refused(error);
  // A length that could not be read is a failed file operation, told as every other one.
  if (!length) reply["storage"] = Replies::isDiskFull(length.error());
  if (files_.moveNoReplace(pathOf(finalName), partPath, file)) {
    log_.error("file.write.end: the file changed while it was saved; kept as its part file");
    return reply;
  }
  log_.error("file.write.end: the file changed while it was saved; kept as %{private}s",
             {finalName});
  reply["name"] = finalName;
  return reply;
}

bool Transfers::isTaken(std::string_view name, const std::vector<DownloadsFile::Entry>& spellings) {
  return files_.exists(pathOf(name)) || DownloadsFile::isTakenBy(name, spellings);
}

std::string Transfers::freeName(std::string_view name) {
  std::vector<DownloadsFile::Entry> spellings = spellingsOf(name);
  std::string candidate(name);
  for (uint64_t n = 1; isTaken(candidate, spellings); ++n) {
    candidate = DownloadsFile::numbered(name, n);
  }
  return candidate;
}

json::object Transfers::abort(const json::object& message) {
  std::optional<std::string_view> part = partName(message);
  if (!part) return refused("not a part file");
  // No look before the removal: a part file that is not there, or that a racing abort removed
  // first, is already what was asked for, so "no such file" counts as removed.
  if (Status removed = files_.removeFile(pathOf(*part)); !removed) {
    if (removed.error().kind != ErrorKind::kNotFound) {
      return Replies::failure(log_, MessageType::kAbort, removed.error());
    }
  }
  log_.info("file.write.abort %{private}s", {std::string(*part)});
  return ok();
}

std::vector<DownloadsFile::Entry> Transfers::spellingsOf(std::string_view name) {
  // Numbering adds only " (", digits and ")": a name with one spelling has numbered variants
  // with one spelling, which the existence test covers without listing the folder.
  if (NameText::hasOnlyOneSpelling(name)) return {};
  Result<std::vector<DownloadsFile::Entry>> listed = entries(files_, folder_, name, Dates::kSkip);
  if (!listed) return {};
  return std::move(*listed);
}

json::object Transfers::status(const json::object& message) {
  std::optional<std::string_view> part = partName(message);
  if (!part) return refused("not a part file");
  // Opened with a chunk's refusals, for reading only: it answers for exactly the file a chunk
  // would write, a read-only one included; nothing is written, cut or moved.
  const std::string path = pathOf(*part);
  Result<std::unique_ptr<OpenFile>> file = files_.openForReading(path);
  if (!file) return Replies::failure(log_, MessageType::kStatus, file.error());
  // A length that a chunk or an end is changing is not told: the writer's own reply has it.
  if (Status locked = lockPart(files_, **file, path); !locked)
    return Replies::failure(log_, MessageType::kStatus, locked.error());
  Result<uint64_t> length = (*file)->size();
  if (!length) return Replies::failure(log_, MessageType::kStatus, length.error());
  return {{"ok", true}, {"size", *length}};
}

json::object Transfers::list(const json::object& message) {
  const json::value* afterValue = message.if_contains("after");
  const json::string* after = text(message, "after");
  if (afterValue != nullptr && after == nullptr) return refused("bad list");
  json::array parts;
  std::string path = pathOf("");
  size_t base = path.size();
  Status listed = files_.listDirectory(folder_, [&](std::string_view name) {
    if (!DownloadsFile::isPartFileName(name)) return;
    // Byte order, as std::string_view compares: the order of the pages.
    if (after != nullptr && name <= after->subview()) return;
    path.resize(base);
    path.append(name);
    std::optional<FileFacts> facts = files_.regularFileFacts(path);
    if (!facts) return;
    // Milliseconds since 1970, the unit of "after" in file.exists.
    auto modified =
        static_cast<int64_t>(std::floor(facts->modified.time_since_epoch().count() * 1000.0));
    parts.push_back(json::object{{"part", name}, {"size", facts->size}, {"modified", modified}});
  });
  if (!listed) return Replies::failure(log_, MessageType::kList, listed.error());
  std::sort(parts.begin(), parts.end(), [](const json::value& a, const json::value& b) {
    return a.at("part").get_string().subview() < b.at("part").get_string().subview();
  });
  // A page holds the entries that fit the reply budget, counted as they will be serialized
  // (names escaped, a comma between entries), with room for the keys around them.
  constexpr std::string_view kFrame = R"({"ok":true,"parts":[],"more":true})";
  size_t bytes = kFrame.size();
  size_t fit = 0;
  for (; fit < parts.size(); ++fit) {
    bytes += json::serialize(parts[fit]).size() + (fit > 0 ? 1 : 0);
    if (bytes > kListReplyBudget) break;
  }
  const bool more = fit < parts.size();
  if (more) parts.resize(fit);
  log_.info("file.write.list: %{public}llu part files", {static_cast<uint64_t>(parts.size())});
  json::object reply{{"ok", true}, {"parts", std::move(parts)}};
  if (more) reply["more"] = true;
  return reply;
}

}  // namespace tamberlo
