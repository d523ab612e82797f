// The file system of Linux: renameat2, statx, Landlock-friendly plain paths, the freedesktop
// user-dirs file for the Downloads folder.
#pragma once

#include <optional>
#include <string>

#include "Platform/FileSystem.h"

namespace tamberlo {

// The FileSystem contract on Linux, every call made by path. The kernel calls that
// moveNoReplace tries are virtual: a test overrides them to stand for a file system that lacks
// them.
class LinuxFileSystem : public FileSystem {
 public:
  std::optional<std::string> downloadsDirectory() override;
  std::string resolveSymlinks(const std::string& path) override;
  bool exists(const std::string& path) override;
  bool targetExists(const std::string& path) override;
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
  // fsetxattr on the file's descriptor.
  Status markOrigin(const std::string& path, const OriginMark& mark) override;

 protected:
  // The kernel calls that moveNoReplace tries in turn, each giving 0 or an errno value:
  // renameat2 with RENAME_NOREPLACE, and link.
  virtual int renameNoReplace(const std::string& from, const std::string& to);
  virtual int hardLink(const std::string& from, const std::string& to);

 private:
  // moveNoReplace without the check of what was moved.
  Status moveWithoutReplacing(const std::string& from, const std::string& to);
};

// The user-dirs.dirs file that downloadsDirectory() reads ($XDG_CONFIG_HOME when it is absolute,
// else $HOME/.config), whether or not it exists; nothing when HOME is unset or empty.
std::optional<std::string> userDirsFile();

}  // namespace tamberlo
