// Opening a saved file with its application, and showing it in the file manager.
#pragma once

#include <boost/json/object.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Desktop.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

namespace tamberlo {

class OpenReveal {
 public:
  // Works in `folder`, the host's Downloads folder; REQUIRES: `files`, `desktop` and `log` outlive it.
  OpenReveal(FileSystem& files, Desktop& desktop, std::string folder, Logger& log);

  // file.open and file.reveal of the vetted `name`: {"ok": true}, or "not found" unless an
  // object stands at `name` directly in the folder, links followed. Open answers
  // "file.open: refused to run a program" for a file that the desktop would run (Desktop::open).
  boost::json::object open(std::string_view name);
  boost::json::object reveal(std::string_view name);

 private:
  // The file's path when an object stands at `name` directly in the folder; nothing (and a log
  // line for `type`) otherwise.
  std::optional<std::string> find(std::string_view type, std::string_view name);

  FileSystem& files_;
  Desktop& desktop_;
  const std::string folder_;
  Logger& log_;
};

}  // namespace tamberlo
