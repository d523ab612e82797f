#include "Extension/Lookup.h"

namespace tamberlo {
namespace json = boost::json;

Result<std::vector<DownloadsFile::Entry>> entries(FileSystem& files, const std::string& folder,
                                                  std::string_view name, Dates dates) {
  DownloadsFile::CopyMatcher matcher(name);
  std::vector<std::string> kept;
  Status listed = files.listDirectory(folder, [&](std::string_view entry) {
    if (matcher.matches(entry)) kept.emplace_back(entry);
  });
  if (!listed) return listed.error();
  // Creation dates are read only for the few names that passed, and only when asked for.
  std::vector<DownloadsFile::Entry> result;
  result.reserve(kept.size());
  if (dates == Dates::kSkip) {
    for (std::string& entryName : kept) result.push_back({std::move(entryName), kDistantPast});
    return result;
  }
  std::string path = DownloadsFile::pathIn(folder, "");
  size_t base = path.size();
  for (std::string& entryName : kept) {
    path.resize(base);
    path += entryName;
    Instant created = files.creationDate(path).value_or(kDistantPast);
    result.push_back({std::move(entryName), created});
  }
  return result;
}

Lookup::Lookup(FileSystem& files, std::string folder, Logger& log)
    : files_(files), folder_(std::move(folder)), log_(log) {}

json::object Lookup::exists(const json::object& message, std::string_view name) {
  // Any number is a bound in milliseconds since 1970; anything else, text of digits included,
  // is no bound.
  std::optional<Instant> after;
  if (const json::value* value = message.if_contains("after"); value && value->is_number()) {
    after = Instant(std::chrono::duration<double>(value->to_number<double>() / 1000.0));
  }
  // Without a bound only the names count: a stat per copy would be spent for nothing.
  Result<std::vector<DownloadsFile::Entry>> listing =
      entries(files_, folder_, name, after ? Dates::kRead : Dates::kSkip);
  if (!listing) {
    log_.error("file.exists: Downloads not readable: %{public}s", {listing.error().description});
    return {{"error", listing.error().description}};
  }
  std::optional<std::string> found = DownloadsFile::match(name, *listing, after);
  log_.info("file.exists: %{public}s %{private}s", {found ? "found" : "not found", name});
  if (!found) return {{"exists", false}};
  return {{"exists", true}, {"name", *found}};
}

}  // namespace tamberlo
