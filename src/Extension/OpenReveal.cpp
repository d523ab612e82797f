#include "Extension/OpenReveal.h"

#include <filesystem>

#include "Encoding/Utf8.h"

namespace tamberlo {
namespace json = boost::json;
namespace {

// The path with "." and ".." taken out and no trailing separator: two spellings of one folder give
// equal paths.
std::filesystem::path standardized(const std::filesystem::path& path) {
  std::filesystem::path normal = path.lexically_normal();
  if (normal.has_relative_path() && normal.filename().empty()) normal = normal.parent_path();
  return normal;
}

}  // namespace

OpenReveal::OpenReveal(FileSystem& files, Desktop& desktop, std::string folder, Logger& log)
    : files_(files), desktop_(desktop), folder_(std::move(folder)), log_(log) {}

std::optional<std::string> OpenReveal::find(std::string_view type, std::string_view name) {
  // The name was vetted already; the file must still stand directly in the folder, checked on
  // the path itself with "." and ".." taken out (links are not resolved here).
  std::filesystem::path file = pathFromUtf8(folder_) / pathFromUtf8(name);
  bool contained = standardized(file.parent_path()) == standardized(pathFromUtf8(folder_));
  if (!contained || !files_.targetExists(utf8Of(file))) {
    log_.info("%{public}s: not in Downloads %{private}s", {type, name});
    return std::nullopt;
  }
  return utf8Of(file);
}

json::object OpenReveal::open(std::string_view name) {
  std::optional<std::string> file = find("file.open", name);
  if (!file) return {{"ok", false}, {"error", "not found"}};
  switch (desktop_.open(*file)) {
    case OpenOutcome::kOpened:
      log_.info("file.open: %{public}s", {"opened"});
      return {{"ok", true}};
    case OpenOutcome::kRefusedProgram:
      log_.info("file.open: refused a program");
      return {{"ok", false}, {"error", "file.open: refused to run a program"}};
    case OpenOutcome::kNotOpened:
      break;
  }
  log_.info("file.open: %{public}s", {"not opened"});
  return {{"ok", false}, {"error", "no app opened the file"}};
}

json::object OpenReveal::reveal(std::string_view name) {
  std::optional<std::string> file = find("file.reveal", name);
  if (!file) return {{"ok", false}, {"error", "not found"}};
  // Revealing has no failure to report: whether the file manager or the folder's application
  // showed it, the request was handed on. The line's wording is fixed for those who read the
  // log, whichever file manager answered.
  desktop_.reveal(*file);
  log_.info("file.reveal: shown in Finder");
  return {{"ok", true}};
}

}  // namespace tamberlo
