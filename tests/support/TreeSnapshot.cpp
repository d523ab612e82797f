#include "support/TreeSnapshot.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/TestSupport.h"

namespace tamberlo::testing {
namespace fs = std::filesystem;
namespace {

// FNV-1a over the file's bytes: enough to tell a changed file from an unchanged one.
std::string contentKey(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t hash = 1469598103934665603ull;
  uint64_t length = 0;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<uint8_t>(buffer[i])) * 1099511628211ull;
    }
    length += static_cast<uint64_t>(in.gcount());
  }
  return "file " + std::to_string(length) + " " + std::to_string(hash);
}

}  // namespace

TreeSnapshot TreeSnapshot::of(const std::string& root) {
  TreeSnapshot snapshot;
  std::error_code ec;
  const fs::path top = pathFromUtf8(root);
  for (auto it = fs::recursive_directory_iterator(top, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string relative = textOf(it->path().lexically_relative(top));
    fs::file_status status = it->symlink_status();
    std::string key;
    switch (status.type()) {
      case fs::file_type::regular:
        key = contentKey(it->path());
        break;
      case fs::file_type::directory:
        key = "folder";
        break;
      case fs::file_type::symlink:
        key = "link " + textOf(fs::read_symlink(it->path(), ec));
        break;
      case fs::file_type::fifo:
        key = "fifo";
        break;
      default:
        key = "other";
    }
    snapshot.entries_[relative] = key;
  }
  return snapshot;
}

std::vector<std::string> TreeSnapshot::changedFrom(const TreeSnapshot& before) const {
  std::vector<std::string> changed;
  for (const auto& [path, key] : entries_) {
    auto old = before.entries_.find(path);
    if (old == before.entries_.end() || old->second != key) changed.push_back(path);
  }
  for (const auto& [path, key] : before.entries_) {
    if (!entries_.contains(path)) changed.push_back(path);
  }
  std::sort(changed.begin(), changed.end());
  return changed;
}

TreeSnapshot TreeSnapshot::without(const std::string& relative) const {
  TreeSnapshot result;
  for (const auto& [path, key] : entries_) {
    if (path == relative || path.starts_with(relative + "/")) continue;
    result.entries_[path] = key;
  }
  return result;
}

}  // namespace tamberlo::testing
