// The transfer messages (file.write.*): saving a file into Downloads as a part file that begin
// makes, chunks write into at offsets, end moves to a free final name and abort removes; status
// tells a part file's length and list names the part files. A transfer lives only as its part
// file: the name identifies it and the length is its progress, so any later process can continue
// or remove it.
#pragma once

#include <boost/json/object.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "Encoding/Base64.h"
#include "Extension/DownloadsFile.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

namespace tamberlo {

class Transfers {
 public:
  // Works in `folder`, the host's Downloads folder; REQUIRES: `files` and `log` outlive it.
  Transfers(FileSystem& files, std::string folder, Logger& log);

  // Each answers its message with {"ok": ...}. A file operation that fails is answered with the
  // error's description and "storage"; a missing part file fails chunk, end and status with the
  // file error's description, and abort counts it as removed.
  // - begin takes an optional "url" and "referrer" (text of at most 8 KiB each, else "bad
  //   begin") and marks the new part file with them as come from the web
  //   (FileSystem::markOrigin); a file system that keeps no mark still saves the file. Its
  //   failure keeps its fixed text ("cannot create a file in Downloads") with "storage".
  // - One writer at a time: chunk, status and end take the part file's lock, and fail at once
  //   with the locked error ("another transfer is writing this part file") when another handle
  //   holds it; end holds it through its flush and its move.
  // - list names the part files sorted by name, only those after "after" when given (not text:
  //   "bad list"), as many as fit kListReplyBudget, with "more": true when it stopped early.
  boost::json::object begin(const boost::json::object& message);
  boost::json::object chunk(const boost::json::object& message);
  boost::json::object end(const boost::json::object& message);
  boost::json::object abort(const boost::json::object& message);
  boost::json::object status(const boost::json::object& message);
  boost::json::object list(const boost::json::object& message);

  // A length of chunk text (a multiple of 4) that the tests of long chunks make their chunks
  // several times as long as; a chunk of any length is decoded whole before it is written.
  static constexpr size_t kChunkBlock = 256 * 1024;

  // How many free final names end tries before it gives up: each try after the first follows a
  // name taken between the look and the move.
  static constexpr int kMoveTries = 100;

  // At most this many bytes of a list reply, serialized: under the host's outgoing limit of
  // 1 MiB (kMaxOutgoingFrame, which the host checks this against) with room to spare.
  static constexpr size_t kListReplyBudget = (1u << 20) - 16 * 1024;

 private:
  std::string pathOf(std::string_view name) const;
  // The failure of an end whose file changed length (to `length`, not `size`) after it was
  // moved to `finalName`: the file, `file`, goes back to `partPath`, or stays and is named.
  boost::json::object changedDuringEnd(const Result<uint64_t>& length, uint64_t size,
                                       const std::string& partPath, const std::string& finalName,
                                       const FileIdentity& file);
  // Marks the part file `part` with `mark`, or logs one line where that fails.
  void markOrigin(std::string_view part, const OriginMark& mark);
  // True when `name` may not be given to a new file: an entry stands under it, or under a
  // canonically equivalent spelling among `spellings` (see spellingsOf).
  bool isTaken(std::string_view name, const std::vector<DownloadsFile::Entry>& spellings);
  // The first of `name` and its numbered variants ("a (1).b", "a (2).b", ...) not taken.
  std::string freeName(std::string_view name);
  // The entries that are `name` or its numbered copies in any spelling: a new file of that name
  // may take none of their names, nor a canonically equivalent one. Empty when the folder cannot
  // be listed, and, without listing it, when the name has only one spelling.
  std::vector<DownloadsFile::Entry> spellingsOf(std::string_view name);

  FileSystem& files_;
  const std::string folder_;
  Logger& log_;
  // One buffer for the decoded bytes of every chunk, reused from chunk to chunk: it grows to the
  // largest chunk's bytes (at most three quarters of the largest message) and stays.
  Base64Decoder chunkDecoder_;
};

}  // namespace tamberlo
