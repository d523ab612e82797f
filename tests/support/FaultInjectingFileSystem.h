// A file system with a switch per operation around another one (the system's own by default):
// every call goes on to it unless the test has armed a fault for it, and each call is written
// to a journal so a test can check the order in which the handler made them. It reaches the
// errors that a real file system cannot be made to produce on demand (a failing fstat, truncate
// or flush) and the races that need a second actor at an exact moment.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Error.h"
#include "Platform/FileSystem.h"

namespace tamberlo::testing {

// The calls that can be made to fail. Those of an open file (size to close) are made through
// the files that openForWriting and openForReading hand out.
enum class FileOp {
  kCreate,
  kOpen,
  kOpenForReading,
  kSize,
  kTruncate,
  kWrite,
  kSync,
  kClose,
  kMove,
  kRemove,
  kSyncFolder
};

std::string_view nameOf(FileOp op);

class FaultInjectingFileSystem : public FileSystemWrapper {
 public:
  // Around the system's own file system.
  FaultInjectingFileSystem() : FileSystemWrapper(makeSystemFileSystem()) {}
  // Around `target`, which must outlive this one.
  explicit FaultInjectingFileSystem(FileSystem& target) : FileSystemWrapper(target) {}

  // From now on every call of `op` gives `error` without reaching the disk. A close has no
  // error to give (it is dropped), so kClose is only journaled.
  void fail(FileOp op, Error error) { faults_.insert_or_assign(op, std::move(error)); }
  // Runs `hook` once, right before the next call of `op` reaches the disk: the moment another
  // process would have to act to win a race.
  void before(FileOp op, std::function<void()> hook) {
    hooks_.insert_or_assign(op, std::move(hook));
  }
  // The name of every call of the operations above so far, in order, failed calls included.
  const std::vector<std::string>& journal() const { return journal_; }

  Status createExclusive(const std::string& path) override;
  Result<std::unique_ptr<WritableFile>> openForWriting(const std::string& path) override;
  Result<std::unique_ptr<OpenFile>> openForReading(const std::string& path) override;
  Status moveNoReplace(const std::string& from, const std::string& to,
                       const FileIdentity& expected) override;
  Status removeFile(const std::string& path) override;
  Status syncDirectory(const std::string& path) override;

  // Records the call, runs its hook, and gives the armed error if there is one. Public for the
  // files this file system hands out.
  std::optional<Error> enter(FileOp op);

 private:
  std::map<FileOp, Error> faults_;
  std::map<FileOp, std::function<void()>> hooks_;
  std::vector<std::string> journal_;
};

}  // namespace tamberlo::testing
