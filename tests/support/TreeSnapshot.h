// What a folder tree holds, for tests that must show a run of the host left files alone: each
// path under the root with its kind and, for files, its length and a hash of its bytes.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tamberlo::testing {

class TreeSnapshot {
 public:
  // Reads everything under `root` (UTF-8), links not followed (a link is recorded with its
  // target). Paths are relative to the root, UTF-8, with "/" between their parts on every OS.
  static TreeSnapshot of(const std::string& root);

  // The paths, relative to the root, whose entries differ between the two snapshots: added,
  // removed, or changed in kind, length, bytes or link target. Sorted.
  std::vector<std::string> changedFrom(const TreeSnapshot& before) const;

  // The same snapshot without the entries under `relative` (a folder relative to the root).
  TreeSnapshot without(const std::string& relative) const;

  const std::map<std::string, std::string>& entries() const { return entries_; }

 private:
  std::map<std::string, std::string> entries_;
};

}  // namespace tamberlo::testing
