// Finding a saved file: the Downloads listing narrowed to a name and its numbered copies, and
// the file.exists query on top of it.
#pragma once

#include <boost/json/object.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "Extension/DownloadsFile.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

namespace tamberlo {

// Whether a listing reads creation dates; skipped, every date is the distant past.
enum class Dates { kRead, kSkip };

// The entries of `folder` that are `name` or numbered copies of it, in listing order, with their
// creation dates; fails when the folder is missing or cannot be listed.
Result<std::vector<DownloadsFile::Entry>> entries(FileSystem& files, const std::string& folder,
                                                  std::string_view name,
                                                  Dates dates = Dates::kRead);

class Lookup {
 public:
  // Looks in `folder`, the host's Downloads folder; REQUIRES: `files` and `log` outlive it.
  Lookup(FileSystem& files, std::string folder, Logger& log);

  // file.exists for the vetted `name`: {"exists": true, "name": the entry that answers} or
  // {"exists": false}; {"error": ...} alone when the folder cannot be listed. A number under
  // "after" bounds the time the copy was made (milliseconds since 1970).
  boost::json::object exists(const boost::json::object& message, std::string_view name);

 private:
  FileSystem& files_;
  const std::string folder_;
  Logger& log_;
};

}  // namespace tamberlo
