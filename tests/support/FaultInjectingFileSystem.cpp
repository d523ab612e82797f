#include "support/FaultInjectingFileSystem.h"

namespace tamberlo::testing {
namespace {

// Passes every call of an open file on to the real one unless a fault is armed for it. Must not
// outlive the file system that made it.
template <typename File>
class FaultInjectingFile : public File {
 public:
  FaultInjectingFile(std::unique_ptr<File> real, FaultInjectingFileSystem& files)
      : real_(std::move(real)), files_(files) {}
  ~FaultInjectingFile() override { files_.enter(FileOp::kClose); }

  Result<uint64_t> size() override {
    if (auto error = files_.enter(FileOp::kSize)) return *error;
    return real_->size();
  }
  Status sync() override {
    if (auto error = files_.enter(FileOp::kSync)) return *error;
    return real_->sync();
  }
  FileIdentity identity() const override { return real_->identity(); }
  Status lock() override { return real_->lock(); }

 protected:
  std::unique_ptr<File> real_;
  FaultInjectingFileSystem& files_;
};

class FaultInjectingWritableFile : public FaultInjectingFile<WritableFile> {
 public:
  using FaultInjectingFile::FaultInjectingFile;
  Status truncate(uint64_t length) override {
    if (auto error = files_.enter(FileOp::kTruncate)) return *error;
    return real_->truncate(length);
  }
  Status writeAt(uint64_t offset, std::span<const uint8_t> bytes) override {
    if (auto error = files_.enter(FileOp::kWrite)) return *error;
    return real_->writeAt(offset, bytes);
  }
};

}  // namespace

std::string_view nameOf(FileOp op) {
  static constexpr std::string_view kNames[] = {
      "create", "open", "open for reading", "size",       "truncate", "write", "sync",
      "close",  "move", "remove",           "sync folder"};
  return kNames[static_cast<size_t>(op)];
}

std::optional<Error> FaultInjectingFileSystem::enter(FileOp op) {
  journal_.emplace_back(nameOf(op));
  if (auto hook = hooks_.extract(op)) hook.mapped()();
  if (auto fault = faults_.find(op); fault != faults_.end()) return fault->second;
  return std::nullopt;
}

Status FaultInjectingFileSystem::createExclusive(const std::string& path) {
  if (auto error = enter(FileOp::kCreate)) return *error;
  return FileSystemWrapper::createExclusive(path);
}

Result<std::unique_ptr<WritableFile>> FaultInjectingFileSystem::openForWriting(
    const std::string& path) {
  if (auto error = enter(FileOp::kOpen)) return *error;
  Result<std::unique_ptr<WritableFile>> real = FileSystemWrapper::openForWriting(path);
  if (!real) return real.error();
  return std::unique_ptr<WritableFile>(
      std::make_unique<FaultInjectingWritableFile>(std::move(*real), *this));
}

Result<std::unique_ptr<OpenFile>> FaultInjectingFileSystem::openForReading(
    const std::string& path) {
  if (auto error = enter(FileOp::kOpenForReading)) return *error;
  Result<std::unique_ptr<OpenFile>> real = FileSystemWrapper::openForReading(path);
  if (!real) return real.error();
  return std::unique_ptr<OpenFile>(
      std::make_unique<FaultInjectingFile<OpenFile>>(std::move(*real), *this));
}

Status FaultInjectingFileSystem::moveNoReplace(const std::string& from, const std::string& to,
                                               const FileIdentity& expected) {
  if (auto error = enter(FileOp::kMove)) return *error;
  return FileSystemWrapper::moveNoReplace(from, to, expected);
}

Status FaultInjectingFileSystem::removeFile(const std::string& path) {
  if (auto error = enter(FileOp::kRemove)) return *error;
  return FileSystemWrapper::removeFile(path);
}

Status FaultInjectingFileSystem::syncDirectory(const std::string& path) {
  if (auto error = enter(FileOp::kSyncFolder)) return *error;
  return FileSystemWrapper::syncDirectory(path);
}

}  // namespace tamberlo::testing
