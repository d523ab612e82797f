// Opening a saved file with its application, and showing it in the file manager.
#include <filesystem>

#include "Encoding/Utf8.h"
#include "Extension/SafariWebExtensionHandler.h"

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

json::object SafariWebExtensionHandler::openOrReveal(std::string_view type, std::string_view name,
                                                     const std::string& folder) {
  // The name was vetted already; the file must still stand directly in the folder, checked on
  // the path itself with "." and ".." taken out (links are not resolved here).
  std::filesystem::path file = pathFromUtf8(folder) / pathFromUtf8(name);
  bool contained = standardized(file.parent_path()) == standardized(pathFromUtf8(folder));
  if (!contained || !files_.targetExists(utf8Of(file))) {
    log.info("%{public}s: not in Downloads %{private}s", {type, name});
    return {{"ok", false}, {"error", "not found"}};
  }
  if (type == "file.open") {
    bool opened = desktop_.open(utf8Of(file));
    log.info("file.open: %{public}s", {opened ? "opened" : "not opened"});
    if (opened) return {{"ok", true}};
    return {{"ok", false}, {"error", "no app opened the file"}};
  }
  // Revealing has no failure to report: whether the file manager or the folder's application
  // showed it, the request was handed on. The line's wording is fixed for those who read the
  // log, whichever file manager answered.
  desktop_.reveal(utf8Of(file));
  log.info("file.reveal: shown in Finder");
  return {{"ok", true}};
}

}  // namespace tamberlo
