#include "support/MemoryFileSystem.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "Encoding/Utf8.h"
#include "Platform/FileErrors.h"

namespace tamberlo::testing {

// A regular file's bytes and what its handles share: its identity, dates and lock.
struct MemoryFileContents {
  std::string bytes;
  FileIdentity identity;
  Instant created;
  Instant modified;
  // The handle that holds the lock, if any.
  const void* lockedBy = nullptr;
  // Where the file came from, as markOrigin left it.
  OriginMark origin;
};

namespace {

constexpr uint64_t kDevice = 0x6d656d;

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

Error notFound(std::string_view operation) {
  return Error{ErrorKind::kNotFound, std::string(operation) + ": No such file or directory."};
}

Error taken(std::string_view operation) {
  return Error{ErrorKind::kExists, std::string(operation) + ": File exists."};
}

class MemoryFile : public WritableFile {
 public:
  explicit MemoryFile(std::shared_ptr<MemoryFileContents> contents)
      : contents_(std::move(contents)) {}
  ~MemoryFile() override {
    if (contents_->lockedBy == this) contents_->lockedBy = nullptr;
  }
  Result<uint64_t> size() override { return uint64_t{contents_->bytes.size()}; }
  Status sync() override { return success(); }
  FileIdentity identity() const override { return contents_->identity; }
  Status lock() override {
    if (contents_->lockedBy != nullptr && contents_->lockedBy != this) {
      return FileErrors::locked();
    }
    contents_->lockedBy = this;
    return success();
  }
  Status truncate(uint64_t length) override {
    contents_->bytes.resize(length, '\0');
    return success();
  }
  Status writeAt(uint64_t offset, std::span<const uint8_t> bytes) override {
    std::string& data = contents_->bytes;
    if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size(), '\0');
    if (!bytes.empty()) std::memcpy(data.data() + offset, bytes.data(), bytes.size());
    return success();
  }

 private:
  std::shared_ptr<MemoryFileContents> contents_;
};

}  // namespace

MemoryFileSystem::MemoryFileSystem() { nodes_["/"] = Node{true, nullptr}; }

void MemoryFileSystem::makeFolder(const std::string& path) {
  if (nodes_.contains(path)) return;
  makeFolder(folderOf(path));
  nodes_[path] = Node{true, nullptr};
  made_[path] = nextMade_++;
}

void MemoryFileSystem::writeFile(const std::string& path, std::string bytes, Instant created) {
  auto contents = std::make_shared<MemoryFileContents>();
  contents->bytes = std::move(bytes);
  contents->identity = {kDevice, nextInode_++};
  contents->created = contents->modified = created;
  if (!nodes_.contains(path)) made_[path] = nextMade_++;
  nodes_[path] = Node{false, std::move(contents)};
}

std::optional<std::string> MemoryFileSystem::read(const std::string& path) const {
  auto it = nodes_.find(path);
  if (it == nodes_.end() || it->second.folder) return std::nullopt;
  return it->second.contents->bytes;
}

std::vector<std::string> MemoryFileSystem::names(const std::string& path) const {
  std::vector<std::pair<uint64_t, std::string>> found;
  for (const auto& [name, order] : made_) {
    if (name != path && folderOf(name) == path) {
      found.emplace_back(order, name.substr(path.size() + 1));
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& [order, name] : found) names.push_back(std::move(name));
  return names;
}

bool MemoryFileSystem::exists(const std::string& path) { return nodes_.contains(path); }

Status MemoryFileSystem::createExclusive(const std::string& path) {
  constexpr std::string_view kOperation = "Cannot create the file";
  auto folder = nodes_.find(folderOf(path));
  if (folder == nodes_.end() || !folder->second.folder) return notFound(kOperation);
  if (nodes_.contains(path)) return taken(kOperation);
  writeFile(path, "");
  return success();
}

Result<std::shared_ptr<MemoryFileContents>> MemoryFileSystem::openRegular(
    const std::string& path, std::string_view operation) {
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return FileErrors::noSuchFile(operation, Error{});
  if (it->second.folder) return FileErrors::notRegularFile(operation, Error{});
  return it->second.contents;
}

Result<std::unique_ptr<WritableFile>> MemoryFileSystem::openForWriting(const std::string& path) {
  Result<std::shared_ptr<MemoryFileContents>> contents =
      openRegular(path, "Cannot open the file for writing");
  if (!contents) return contents.error();
  return std::unique_ptr<WritableFile>(std::make_unique<MemoryFile>(*contents));
}

Result<std::unique_ptr<OpenFile>> MemoryFileSystem::openForReading(const std::string& path) {
  Result<std::shared_ptr<MemoryFileContents>> contents =
      openRegular(path, "Cannot open the file for reading");
  if (!contents) return contents.error();
  return std::unique_ptr<OpenFile>(std::make_unique<MemoryFile>(*contents));
}

Status MemoryFileSystem::moveNoReplace(const std::string& from, const std::string& to,
                                       const FileIdentity& expected) {
  constexpr std::string_view kOperation = "Cannot move the file";
  auto it = nodes_.find(from);
  if (it == nodes_.end()) return notFound(kOperation);
  if (nodes_.contains(to)) return FileErrors::nameTaken(Error{});
  if (it->second.folder || it->second.contents->identity != expected) {
    return FileErrors::replacedDuringMove();
  }
  nodes_[to] = std::move(it->second);
  nodes_.erase(it);
  made_.erase(from);
  made_[to] = nextMade_++;
  return success();
}

Status MemoryFileSystem::removeFile(const std::string& path) {
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return notFound("Cannot remove the file");
  if (it->second.folder) {
    return Error{ErrorKind::kNotRegularFile, "Cannot remove the file: Is a directory."};
  }
  nodes_.erase(it);
  made_.erase(path);
  return success();
}

Status MemoryFileSystem::syncDirectory(const std::string& path) {
  auto it = nodes_.find(path);
  if (it == nodes_.end() || !it->second.folder) return notFound("Cannot flush the folder to disk");
  return success();
}

Status MemoryFileSystem::listDirectory(const std::string& path,
                                       const std::function<void(std::string_view name)>& visit) {
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return notFound("Cannot list the folder");
  if (!it->second.folder) {
    return Error{ErrorKind::kOther, "Cannot list the folder: Not a directory."};
  }
  for (const std::string& name : names(path)) {
    if (name.front() == '.' || !isValidUtf8(name)) continue;
    visit(name);
  }
  return success();
}

std::optional<Instant> MemoryFileSystem::creationDate(const std::string& path) {
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return std::nullopt;
  return it->second.folder ? kDistantPast : it->second.contents->created;
}

std::optional<FileFacts> MemoryFileSystem::regularFileFacts(const std::string& path) {
  auto it = nodes_.find(path);
  if (it == nodes_.end() || it->second.folder) return std::nullopt;
  return FileFacts{it->second.contents->bytes.size(), it->second.contents->modified};
}

Status MemoryFileSystem::markOrigin(const std::string& path, const OriginMark& mark) {
  if (mark.url.empty() && mark.referrer.empty()) return success();
  Result<std::shared_ptr<MemoryFileContents>> contents =
      openRegular(path, "Cannot mark the file's origin");
  if (!contents) return contents.error();
  (*contents)->origin = mark;
  return success();
}

std::optional<FileIdentity> MemoryFileSystem::identityAt(const std::string& path) {
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return std::nullopt;
  // Folders share inode 0: no file's handle ever holds one.
  return it->second.folder ? FileIdentity{kDevice, 0} : it->second.contents->identity;
}

}  // namespace tamberlo::testing
