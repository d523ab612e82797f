// The native half of the extension: takes each native message, answers it with exactly one
// reply, and does the file work in the user's Downloads folder. It reaches the disk, the
// desktop and the log only through the services handed to it.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Encoding/Base64.h"
#include "Extension/Carriers.h"
#include "Extension/DownloadsFile.h"
#include "Platform/Desktop.h"
#include "Platform/Error.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

namespace tamberlo {

inline constexpr std::string_view kLogSubsystem = "tamberlo.host";
inline constexpr std::string_view kLogCategory = "safari-extension";

class SafariWebExtensionHandler {
 public:
  // `files` and `desktop` must outlive the handler; log lines go to `sink`.
  SafariWebExtensionHandler(FileSystem& files, Desktop& desktop, std::unique_ptr<LogSink> sink);

  // Takes the message out of the request's first input item and completes the request with
  // exactly one reply item before it returns. Every carrier shape is answered; a missing
  // message is answered as an absent one.
  void beginRequest(ExtensionContext& context);

  // The reply to one message (nothing when the request held none). Never fails, never throws,
  // always returns a non-empty object.
  boost::json::object answer(std::optional<boost::json::value> message);

  // Hands on the log lines the sink still holds. Ordering requirement: whoever sends the replies
  // calls it first; no line may come later than the reply of its request.
  void flushLog();

  // The Downloads folder with its links resolved, or nothing when the user has none. Neither
  // checks nor creates the folder.
  std::optional<std::string> downloadsFolder();

  // The text of a chunk is decoded and written this much at a time (a multiple of 4): small
  // enough that the block and its bytes stay in the processor's cache between the two steps.
  static constexpr size_t kChunkBlock = 256 * 1024;

  // How many free final names end tries before it gives up: each try after the first follows a
  // name taken between the look and the move.
  static constexpr int kMoveTries = 100;

  // True when `error`, or an error underneath it, means the disk or the user's quota is full.
  static bool isDiskFull(const Error& error);

  // Whether entries() reads creation dates; skipped, every date is the distant past.
  enum class Dates { kRead, kSkip };

  // The entries of `folder` that are `name` or numbered copies of it, in listing order, with
  // their creation dates; fails when the folder cannot be listed.
  Result<std::vector<DownloadsFile::Entry>> entries(const std::string& folder,
                                                    std::string_view name,
                                                    Dates dates = Dates::kRead);

 private:
  // The file.write.* messages, each answered {"ok": ...}; "no Downloads folder" when the user has
  // none. The others get `folder`, the Downloads folder as the desktop names it, links unresolved.
  // A missing part file fails chunk, end and status with the file error's description; abort
  // counts it as removed.
  boost::json::object write(std::string_view type, boost::json::object& message);
  boost::json::object begin(const boost::json::object& message, const std::string& folder);
  boost::json::object chunk(boost::json::object& message, const std::string& folder);
  boost::json::object end(const boost::json::object& message, const std::string& folder);
  boost::json::object abort(const boost::json::object& message, const std::string& folder);
  // True when `name` may not be given to a new file in `folder`: an entry stands under it, or
  // under a canonically equivalent spelling among `spellings` (see spellingsOf).
  bool isTaken(const std::string& folder, std::string_view name,
               const std::vector<DownloadsFile::Entry>& spellings);
  // The first of `name` and its numbered variants ("a (1).b", "a (2).b", ...) not taken.
  std::string freeName(const std::string& folder, std::string_view name);
  boost::json::object status(const boost::json::object& message, const std::string& folder);
  boost::json::object listParts(const std::string& folder);
  boost::json::object failure(std::string_view type, const Error& error);
  // The entries of `folder` that are `name` or its numbered copies in any spelling: a new file
  // of that name may take none of their names, nor a canonically equivalent one. Empty when the
  // folder cannot be listed, and, without listing it, when the name has only one spelling.
  std::vector<DownloadsFile::Entry> spellingsOf(const std::string& folder, std::string_view name);

  // file.exists: {"exists": false} when no entry of `folder` answers for `name`, an "error"
  // when the folder cannot be listed.
  boost::json::object exists(const boost::json::object& message, std::string_view name,
                             const std::string& folder);
  // file.open and file.reveal: "not found" unless an object stands at `name` directly in
  // `folder`, links followed.
  boost::json::object openOrReveal(std::string_view type, std::string_view name,
                                   const std::string& folder);

  FileSystem& files_;
  Desktop& desktop_;
  // One buffer for the decoded bytes of every chunk, reused from chunk to chunk.
  Base64Decoder chunkDecoder_;
  Logger log;
};

}  // namespace tamberlo
