// The native half of the extension: takes each native message, answers it with exactly one
// reply, and hands the file work to the family of its type (transfers, lookup, open and reveal),
// all in the one Downloads folder the host found at start. It reaches the disk, the desktop and
// the log only through the services handed to it.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Extension/BulkChannel.h"
#include "Extension/Carriers.h"
#include "Extension/DownloadsFile.h"
#include "Extension/Lookup.h"
#include "Extension/OpenReveal.h"
#include "Extension/Transfers.h"
#include "Platform/Desktop.h"
#include "Platform/Error.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

namespace tamberlo {

inline constexpr std::string_view kLogSubsystem = "tamberlo.host";
inline constexpr std::string_view kLogCategory = "safari-extension";

// The handlers of the message families, each working in the same Downloads folder.
struct MessageFamilies {
  Transfers transfers;
  Lookup lookup;
  OpenReveal openReveal;
  // Where the bytes of a transfer may come in beside the messages (file.write.channel).
  BulkChannel& channel;
};

class SafariWebExtensionHandler {
 public:
  // REQUIRES: `files` and `desktop` outlive the handler. `downloads` is the Downloads folder as
  // downloadsFolder() found it when the host started, or nothing when the user has none (every
  // file message is then answered "no Downloads folder"). Log lines go to `sink`.
  SafariWebExtensionHandler(FileSystem& files, Desktop& desktop,
                            std::optional<std::string> downloads, std::unique_ptr<LogSink> sink);
  // The same, offering `channel` (which must outlive the handler) to file.write.channel; the
  // constructor above refuses every such request with "no channel here".
  SafariWebExtensionHandler(FileSystem& files, Desktop& desktop,
                            std::optional<std::string> downloads, std::unique_ptr<LogSink> sink,
                            BulkChannel& channel);

  // The user's Downloads folder with its links resolved, as `files` names it now, or nothing
  // when the user has none. Neither checks nor creates the folder. A host looks it up once, at
  // start: its sandbox allows that folder and no other.
  static std::optional<std::string> downloadsFolder(FileSystem& files);

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

  // The Downloads folder this handler works in.
  const std::optional<std::string>& downloads() const { return downloads_; }

  // True when `error` means the disk, its inodes or the user's quota are full.
  static bool isDiskFull(const Error& error);

  // The entries of `folder` that are `name` or numbered copies of it, in listing order, with
  // their creation dates; fails when the folder cannot be listed.
  Result<std::vector<DownloadsFile::Entry>> entries(const std::string& folder,
                                                    std::string_view name,
                                                    Dates dates = Dates::kRead);

 private:
  // Keeps `refusing` for as long as the handler lives, and offers it.
  SafariWebExtensionHandler(FileSystem& files, Desktop& desktop,
                            std::optional<std::string> downloads, std::unique_ptr<LogSink> sink,
                            std::unique_ptr<BulkChannel> refusing);

  FileSystem& files_;
  const std::optional<std::string> downloads_;
  Logger log;
  // The channel of the first constructor; nothing with the second.
  std::unique_ptr<BulkChannel> refusingChannel_;
  MessageFamilies families_;
};

}  // namespace tamberlo
