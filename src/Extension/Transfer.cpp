// Saving a file into Downloads as a transfer: begin makes an empty part file under a free name,
// chunks write into it at offsets, end moves it to a free final name, abort removes it. A transfer
// lives only as its part file: the name identifies it and the length is its progress. Status tells
// a part file's length without touching it, and the list names every part file in Downloads. A
// transfer outlives its process: any later process can continue or remove it.
#include <cmath>

#include "Extension/SafariWebExtensionHandler.h"

namespace tamberlo {
namespace json = boost::json;
namespace {

// A byte count or offset: a whole number from 0 to 2^64-1. A double counts when it has no
// fraction; booleans, text and anything fractional or out of range do not.
std::optional<uint64_t> wholeNumber(const json::value* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->kind()) {
    case json::kind::uint64:
      return value->get_uint64();
    case json::kind::int64:
      if (value->get_int64() < 0) return std::nullopt;
      return static_cast<uint64_t>(value->get_int64());
    case json::kind::double_: {
      double d = value->get_double();
      // 2^64 itself is the first double out of range.
      if (!(d >= 0.0) || d >= 18446744073709551616.0 || std::trunc(d) != d) return std::nullopt;
      return static_cast<uint64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

const json::string* text(const json::object& message, std::string_view key) {
  const json::value* value = message.if_contains(key);
  return value ? value->if_string() : nullptr;
}

// The "part" of a message when it names a part file.
std::optional<std::string_view> partName(const json::object& message) {
  const json::string* part = text(message, "part");
  if (part == nullptr || !DownloadsFile::isPartFileName(part->subview())) return std::nullopt;
  return part->subview();
}

std::string inFolder(const std::string& folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  return path;
}

json::object ok() { return {{"ok", true}}; }
json::object refused(std::string_view error) { return {{"ok", false}, {"error", error}}; }

}  // namespace

json::object SafariWebExtensionHandler::write(std::string_view type, json::object& message) {
  // The folder as the desktop names it, links unresolved: every path under it is opened,
  // created, moved or removed by the kernel, which follows those links itself, and no path
  // goes back to the extension. Resolving them first would only repeat that walk (a readlink
  // per component) for every chunk.
  std::optional<std::string> folder = files_.downloadsDirectory();
  if (!folder) {
    log.error("%{public}s: no Downloads folder", {type});
    return refused("no Downloads folder");
  }
  if (type == "file.write.begin") return begin(message, *folder);
  if (type == "file.write.chunk") return chunk(message, *folder);
  if (type == "file.write.end") return end(message, *folder);
  if (type == "file.write.abort") return abort(message, *folder);
  if (type == "file.write.status") return status(message, *folder);
  if (type == "file.write.list") return listParts(*folder);
  return refused("unknown message " + std::string(type));
}

json::object SafariWebExtensionHandler::begin(const json::object& message,
                                              const std::string& folder) {
  const json::string* name = text(message, "name");
  if (name == nullptr || !DownloadsFile::isAcceptable(name->subview())) {
    return refused("not a file name");
  }
  const std::string wanted = std::string(name->subview()) + std::string(DownloadsFile::kPartSuffix);
  std::string part = wanted;
  std::vector<DownloadsFile::Entry> spellings = spellingsOf(folder, part);
  // Created exclusively: two begins racing for one name never share a part file, and a name taken
  // between test and creation sends the loop on to the next free one.
  for (uint64_t n = 1;; ++n) {
    if (!DownloadsFile::isTakenBy(part, spellings)) {
      Status created = files_.createExclusive(inFolder(folder, part));
      if (created) {
        log.info("file.write.begin %{private}s", {part});
        return {{"ok", true}, {"part", part}};
      }
      if (created.error().kind != ErrorKind::kExists) break;
    }
    part = DownloadsFile::numbered(wanted, n);
  }
  log.error("file.write.begin: cannot create the file in Downloads");
  return refused("cannot create a file in Downloads");
}

json::object SafariWebExtensionHandler::chunk(json::object& message, const std::string& folder) {
  std::optional<std::string_view> part = partName(message);
  std::optional<uint64_t> offset = wholeNumber(message.if_contains("offset"));
  const json::string* data = text(message, "data");
  if (!part || !offset || data == nullptr) return refused("bad chunk");
  std::string_view encoded = data->subview();
  // The whole text is checked before the file is touched: a bad chunk changes nothing, however
  // long it is. A chunk of one block is decoded at once, the decoding being its check; a longer
  // one is checked first and decoded block by block as it is written.
  const bool oneBlock = encoded.size() <= kChunkBlock;
  std::optional<std::span<const uint8_t>> decoded;
  if (oneBlock ? !(decoded = chunkDecoder_.decode(encoded)) : !isBase64(encoded)) {
    return refused("bad chunk");
  }

  constexpr std::string_view kType = "file.write.chunk";
  Result<std::unique_ptr<WritableFile>> file = files_.openForWriting(inFolder(folder, *part));
  if (!file) return failure(kType, file.error());
  Result<uint64_t> length = (*file)->size();
  if (!length) return failure(kType, length.error());
  if (*offset > *length) {
    return refused("offset " + std::to_string(*offset) + " past the end " +
                   std::to_string(*length));
  }
  if (*offset < *length) {
    if (Status cut = (*file)->truncate(*offset); !cut) return failure(kType, cut.error());
  }

  // Block by block, each decoded into the same small buffer and written while it is still in
  // the processor's cache: a 16 MiB chunk is never held decoded in memory, nor read back from
  // it. Each block's bytes are the right bytes at the right place, so what is written stands
  // even if the process dies midway: the part file's length stays the transfer's progress.
  // Every block but the last is whole quads without padding, so each decodes on its own.
  uint64_t at = *offset;
  for (size_t from = 0; from < encoded.size(); from += kChunkBlock) {
    std::optional<std::span<const uint8_t>> bytes =
        oneBlock ? decoded : chunkDecoder_.decode(encoded.substr(from, kChunkBlock));
    if (!bytes) return refused("bad chunk");
    if (Status written = (*file)->writeAt(at, *bytes); !written) {
      return failure(kType, written.error());
    }
    at += bytes->size();
  }
  return {{"ok", true}, {"size", at}};
}

json::object SafariWebExtensionHandler::end(const json::object& message,
                                            const std::string& folder) {
  std::optional<std::string_view> part = partName(message);
  const json::string* name = text(message, "name");
  std::optional<uint64_t> size = wholeNumber(message.if_contains("size"));
  if (!part || name == nullptr || !DownloadsFile::isAcceptable(name->subview()) || !size) {
    return refused("bad end");
  }

  constexpr std::string_view kType = "file.write.end";
  std::string partPath = inFolder(folder, *part);
  // Only a regular file with one name, reached without following a link, is ever moved; the
  // handle lets its bytes be flushed before the move and tells the move which file to expect.
  Result<std::unique_ptr<OpenFile>> file = files_.openForReading(partPath);
  if (!file) return failure(kType, file.error());
  Result<uint64_t> length = (*file)->size();
  if (!length) return failure(kType, length.error());
  if (*length != *size) {
    return refused("written " + std::to_string(*length) + " of " + std::to_string(*size) +
                   " bytes");
  }
  if (Status flushed = (*file)->sync(); !flushed) return failure(kType, flushed.error());
  const FileIdentity checked = (*file)->identity();
  file->reset();

  // The move never replaces, so a name taken after it was found free only sends the file on to
  // the next free one.
  std::string finalName;
  for (int tries = 1;; ++tries) {
    finalName = freeName(folder, name->subview());
    Status moved = files_.moveNoReplace(partPath, inFolder(folder, finalName), checked);
    if (moved) break;
    bool taken = moved.error().kind == ErrorKind::kExists;
    if (!taken || tries == kMoveTries) return failure(kType, moved.error());
  }
  // The file is saved under its final name whatever the flush says; the name must reach the
  // scripts, or they could neither find nor retry it.
  if (Status flushed = files_.syncDirectory(folder); !flushed) {
    log.error("file.write.end: saved, but the folder flush failed: %{public}s",
              {flushed.error().description});
  }
  log.info("file.write.end: saved %{public}llu bytes as %{private}s", {*size, finalName});
  return {{"ok", true}, {"name", finalName}};
}

bool SafariWebExtensionHandler::isTaken(const std::string& folder, std::string_view name,
                                        const std::vector<DownloadsFile::Entry>& spellings) {
  return files_.exists(inFolder(folder, name)) || DownloadsFile::isTakenBy(name, spellings);
}

std::string SafariWebExtensionHandler::freeName(const std::string& folder, std::string_view name) {
  std::vector<DownloadsFile::Entry> spellings = spellingsOf(folder, name);
  std::string candidate(name);
  for (uint64_t n = 1; isTaken(folder, candidate, spellings); ++n) {
    candidate = DownloadsFile::numbered(name, n);
  }
  return candidate;
}

json::object SafariWebExtensionHandler::abort(const json::object& message,
                                              const std::string& folder) {
  std::optional<std::string_view> part = partName(message);
  if (!part) return refused("not a part file");
  // No look before the removal: a part file that is not there, or that a racing abort removed
  // first, is already what was asked for, so "no such file" counts as removed.
  if (Status removed = files_.removeFile(inFolder(folder, *part)); !removed) {
    if (removed.error().kind != ErrorKind::kNotFound) {
      return failure("file.write.abort", removed.error());
    }
  }
  log.info("file.write.abort %{private}s", {std::string(*part)});
  return ok();
}

std::vector<DownloadsFile::Entry> SafariWebExtensionHandler::spellingsOf(const std::string& folder,
                                                                         std::string_view name) {
  // Numbering adds only " (", digits and ")": a name with one spelling has numbered variants
  // with one spelling, which the existence test covers without listing the folder.
  if (NameText::hasOnlyOneSpelling(name)) return {};
  Result<std::vector<DownloadsFile::Entry>> listed = entries(folder, name, Dates::kSkip);
  if (!listed) return {};
  return std::move(*listed);
}

json::object SafariWebExtensionHandler::status(const json::object& message,
                                               const std::string& folder) {
  std::optional<std::string_view> part = partName(message);
  if (!part) return refused("not a part file");
  // Opened with a chunk's refusals, for reading only: it answers for exactly the file a chunk
  // would write, a read-only one included; nothing is written, cut or moved.
  constexpr std::string_view kType = "file.write.status";
  Result<std::unique_ptr<OpenFile>> file = files_.openForReading(inFolder(folder, *part));
  if (!file) return failure(kType, file.error());
  Result<uint64_t> length = (*file)->size();
  if (!length) return failure(kType, length.error());
  return {{"ok", true}, {"size", *length}};
}

json::object SafariWebExtensionHandler::listParts(const std::string& folder) {
  json::array parts;
  std::string path = inFolder(folder, "");
  size_t base = path.size();
  Status listed = files_.listDirectory(folder, [&](std::string_view name) {
    if (!DownloadsFile::isPartFileName(name)) return;
    path.resize(base);
    path.append(name);
    std::optional<FileFacts> facts = files_.regularFileFacts(path);
    if (!facts) return;
    // Milliseconds since 1970, the unit of "after" in file.exists.
    auto modified =
        static_cast<int64_t>(std::floor(facts->modified.time_since_epoch().count() * 1000.0));
    parts.push_back(json::object{{"part", name}, {"size", facts->size}, {"modified", modified}});
  });
  if (!listed) return failure("file.write.list", listed.error());
  log.info("file.write.list: %{public}llu part files", {static_cast<uint64_t>(parts.size())});
  return {{"ok", true}, {"parts", std::move(parts)}};
}

json::object SafariWebExtensionHandler::failure(std::string_view type, const Error& error) {
  bool storage = isDiskFull(error);
  log.error("%{public}s failed%{public}s: %{public}s",
            {type, storage ? " (disk full)" : "", error.description});
  return {{"ok", false}, {"error", error.description}, {"storage", storage}};
}

bool SafariWebExtensionHandler::isDiskFull(const Error& error) {
  for (const Error* link = &error; link != nullptr; link = link->underlying.get()) {
    if (link->domain == kFileErrorDomain && link->code == FileErrorCode::kWriteOutOfSpace) {
      return true;
    }
  }
  return error.hasKind(ErrorKind::kNoSpace);
}

}  // namespace tamberlo
