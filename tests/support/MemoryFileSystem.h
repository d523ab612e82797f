// A file system held in memory: a map from full names ("/" between the parts) to folders and
// regular files, for tests of rules where the disk adds nothing. It keeps the contracts of
// FileSystem (FileSystemContractTest runs the same table against it and against the system's
// own): an exclusive create, opens that never create and refuse what is not a regular file,
// moves that never replace, listings in the folder's order (here the order the names were
// made in), and a lock per handle. It has no links, no permissions and no full volume: faults
// of that kind are the real file system's tests.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/FileSystem.h"

namespace tamberlo::testing {

struct MemoryFileContents;

class MemoryFileSystem : public FileSystem {
 public:
  MemoryFileSystem();

  // Makes the folder `path` (and the folders above it) if it is missing.
  void makeFolder(const std::string& path);
  // Makes or replaces the regular file `path` with `bytes` and the creation date `created`;
  // its folder must exist.
  void writeFile(const std::string& path, std::string bytes, Instant created = kDistantPast);
  // The bytes of the regular file `path`, or nothing when none stands there.
  std::optional<std::string> read(const std::string& path) const;
  // The names in the folder `path` in listing order, hidden ones included.
  std::vector<std::string> names(const std::string& path) const;

  // Nothing: a handler over this file system is given its folder.
  std::optional<std::string> downloadsDirectory() override { return std::nullopt; }
  // There are no links: every path is its own resolution.
  std::string resolveSymlinks(const std::string& path) override { return path; }
  bool exists(const std::string& path) override;
  bool targetExists(const std::string& path) override { return exists(path); }
  Status createExclusive(const std::string& path) override;
  Result<std::unique_ptr<WritableFile>> openForWriting(const std::string& path) override;
  Result<std::unique_ptr<OpenFile>> openForReading(const std::string& path) override;
  Status moveNoReplace(const std::string& from, const std::string& to,
                       const FileIdentity& expected) override;
  Status removeFile(const std::string& path) override;
  Status syncDirectory(const std::string& path) override;
  Status listDirectory(const std::string& path,
                       const std::function<void(std::string_view name)>& visit) override;
  std::optional<Instant> creationDate(const std::string& path) override;
  std::optional<FileFacts> regularFileFacts(const std::string& path) override;
  std::optional<FileIdentity> identityAt(const std::string& path) override;
  // Keeps the mark with the file's bytes: a move keeps it.
  Status markOrigin(const std::string& path, const OriginMark& mark) override;

  // What a name holds: a folder (no contents) or a regular file's contents.
  struct Node {
    bool folder = false;
    std::shared_ptr<MemoryFileContents> contents;
  };

 private:
  Result<std::shared_ptr<MemoryFileContents>> openRegular(const std::string& path,
                                                          std::string_view operation);

  // Every name, with the order it was made in: listings follow that order.
  std::map<std::string, Node> nodes_;
  std::map<std::string, uint64_t> made_;
  uint64_t nextMade_ = 0;
  uint64_t nextInode_ = 1;
};

}  // namespace tamberlo::testing
