// The handler's only way to the disk: the interface, its wrapper, and the factory of the
// system's own implementation (one per OS, in Platform/<OS>/). Paths are UTF-8 throughout.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Error.h"

namespace tamberlo {

// A point in time as seconds since 1970-01-01 00:00:00 UTC, fractions kept.
using Instant = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;
// Earlier than any file can have been made: 0001-01-01 00:00:00 UTC.
inline constexpr Instant kDistantPast{std::chrono::duration<double>(-62135596800.0)};

// Which file a handle or a name leads to: the same pair is the same file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Where a saved file came from: the address it was fetched from and the page that led there, as
// the extension gave them; empty when not given.
struct OriginMark {
  std::string url;
  std::string referrer;
};

// What a listing needs to know of a regular file.
struct FileFacts {
  uint64_t size;
  Instant modified;
};

// An open regular file; closed when destroyed (a close error is dropped).
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // The file's length now, read from the file itself; a call before any change made through
  // this handle may answer with what the open itself read.
  virtual Result<uint64_t> size() = 0;
  // Returns once the file's bytes are on disk.
  virtual Status sync() = 0;
  // The file this handle holds, as its open found it.
  virtual FileIdentity identity() const = 0;
  // Takes this handle's lock on the whole file without waiting: while it is held, no other
  // handle (of this process or another) gets it. Fails with kind kLocked when another handle
  // holds it. The lock goes with the handle, and with its process when that dies. Once it is
  // held, size() reads the file afresh.
  virtual Status lock() = 0;
};

// A regular file opened for writing.
class WritableFile : public OpenFile {
 public:
  // Cuts the file back (or extends it) to `length` bytes.
  virtual Status truncate(uint64_t length) = 0;
  // Stores every byte of `bytes` at `offset`, continuing short writes until all are stored or an
  // error comes. Lack of space surfaces as the file domain's out-of-space error.
  virtual Status writeAt(uint64_t offset, std::span<const uint8_t> bytes) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The user's Downloads folder as the desktop names it, read afresh on every call: on Linux
  // XDG_DOWNLOAD_DIR from user-dirs.dirs, else $HOME/Downloads, and nothing when HOME is unset
  // or empty; on Windows the shell's Downloads known folder, "." and ".." taken out. Nothing
  // also when the setting leads to the home folder (the profile) itself or to a folder above it
  // ("/" or a drive's root included), which is what a desktop holds when the user has no
  // Downloads folder. The folder is neither checked nor created.
  virtual std::optional<std::string> downloadsDirectory() = 0;

  // `path` with symbolic links resolved as far as its components exist; the rest is appended
  // unresolved. Never fails: an unresolvable path comes back as given.
  virtual std::string resolveSymlinks(const std::string& path) = 0;

  // True when anything stands at `path`, a dangling symbolic link included (links not followed).
  virtual bool exists(const std::string& path) = 0;

  // True when `path` leads to an existing object, following symbolic links, and the folder
  // spells its last name as `path` does: on a file system blind to case, a name in another case
  // is not there (as listDirectory, and so file.exists, would not find it either).
  virtual bool targetExists(const std::string& path) = 0;

  // Creates an empty file at `path`, only if nothing stands there (not even a dangling link). Fails
  // with an error of kind kExists when the name is taken: a lost race reads as "taken". A missing
  // folder fails with kind kNotFound.
  virtual Status createExclusive(const std::string& path) = 0;

  // Opens the existing regular file at `path` for writing without following a final symbolic link
  // and without blocking. A link, folder, FIFO or device fails, and so does a file with more than
  // one name (a hard link), whose bytes would change under its other names too. Never creates a
  // file: a missing one fails with kind kNotFound.
  virtual Result<std::unique_ptr<WritableFile>> openForWriting(const std::string& path) = 0;

  // Opens the file at `path` as openForWriting does, with the same refusals, for reading only:
  // enough to read its length and flush it, also when the file itself is read-only.
  virtual Result<std::unique_ptr<OpenFile>> openForReading(const std::string& path) = 0;

  // Moves the file `expected` from `from` to `to` in the same folder, never replacing anything:
  // fails with the file domain's "file exists" error (kind kExists) when `to` is taken, changing
  // nothing, and with kind kNotFound when nothing stands at `from`. When the object that stood at
  // `from` is not `expected` (something took its place after it was opened), it is put back, or
  // failing that taken away from `to`, and the move fails: a success always leaves `expected`
  // itself at `to`. Where the file system can neither rename without replacing nor make a hard
  // link, `to` is looked up right before a plain rename, and a file made there in that moment is
  // replaced.
  virtual Status moveNoReplace(const std::string& from, const std::string& to,
                               const FileIdentity& expected) = 0;

  // Removes the file (or link) at `path`; a folder is refused, never removed. Fails with kind
  // kNotFound when nothing stands there.
  virtual Status removeFile(const std::string& path) = 0;

  // Returns once the folder's entries (names made or moved in it) are on disk. Fails when the
  // folder is missing or cannot be opened.
  virtual Status syncDirectory(const std::string& path) = 0;

  // Calls `visit` with the name of each direct child of the folder, in the folder's order.
  // Hidden names (leading ".") and names that are not valid UTF-8 are skipped. Fails when the
  // folder is missing or cannot be read; `visit` may have been called for some names by then.
  virtual Status listDirectory(const std::string& path,
                               const std::function<void(std::string_view name)>& visit) = 0;

  // When the object at `path` was made: its birth time, else its status-change time where the
  // file system records no birth; nothing when neither can be read. Links are not followed.
  virtual std::optional<Instant> creationDate(const std::string& path) = 0;

  // The length and last change of the regular file at `path`, links not followed; nothing when
  // no regular file stands there (a link, folder or FIFO) or it cannot be read.
  virtual std::optional<FileFacts> regularFileFacts(const std::string& path) = 0;

  // Which file stands at `path` now, a final link not followed (the link itself answers); nothing
  // when nothing stands there or it cannot be looked at. Compared with a handle's identity(), it
  // tells whether the name still leads to the file the handle holds.
  virtual std::optional<FileIdentity> identityAt(const std::string& path) = 0;
  // Marks the regular file at `path` (opened as openForWriting opens it: no link followed, one
  // name only) as come from the web, on the file itself so that a rename in the same folder
  // keeps the mark: on Linux the extended attributes user.xdg.origin.url and
  // user.xdg.referrer.url, each only when given (when neither is, it succeeds at once, looking
  // at nothing); on Windows the Zone.Identifier stream with ZoneId=3, the Internet zone, and the
  // addresses given (ZoneIdentifier::text). Fails with kind kNotFound when nothing stands at
  // `path`, and with the system's error where the file system keeps no such mark (no user
  // attributes, no streams); the file's bytes are then as they were.
  virtual Status markOrigin(const std::string& path, const OriginMark& mark) = 0;
};

// Forwards every call to another file system: a test derives from it and overrides only the
// calls it makes fail or watches. REQUIRES: `target` outlives the wrapper.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  // Around `target`, which the wrapper keeps for as long as it lives.
  explicit FileSystemWrapper(std::unique_ptr<FileSystem> target)
      : owned_(std::move(target)), target_(*owned_) {}

  std::optional<std::string> downloadsDirectory() override { return target_.downloadsDirectory(); }
  std::string resolveSymlinks(const std::string& path) override {
    return target_.resolveSymlinks(path);
  }
  bool exists(const std::string& path) override { return target_.exists(path); }
  bool targetExists(const std::string& path) override { return target_.targetExists(path); }
  Status createExclusive(const std::string& path) override { return target_.createExclusive(path); }
  Result<std::unique_ptr<WritableFile>> openForWriting(const std::string& path) override {
    return target_.openForWriting(path);
  }
  Result<std::unique_ptr<OpenFile>> openForReading(const std::string& path) override {
    return target_.openForReading(path);
  }
  Status moveNoReplace(const std::string& from, const std::string& to,
                       const FileIdentity& expected) override {
    return target_.moveNoReplace(from, to, expected);
  }
  Status removeFile(const std::string& path) override { return target_.removeFile(path); }
  Status syncDirectory(const std::string& path) override { return target_.syncDirectory(path); }
  Status listDirectory(const std::string& path,
                       const std::function<void(std::string_view name)>& visit) override {
    return target_.listDirectory(path, visit);
  }
  std::optional<Instant> creationDate(const std::string& path) override {
    return target_.creationDate(path);
  }
  std::optional<FileFacts> regularFileFacts(const std::string& path) override {
    return target_.regularFileFacts(path);
  }
  std::optional<FileIdentity> identityAt(const std::string& path) override {
    return target_.identityAt(path);
  }
  Status markOrigin(const std::string& path, const OriginMark& mark) override {
    return target_.markOrigin(path, mark);
  }

 private:
  std::unique_ptr<FileSystem> owned_;  // empty when the target belongs to the caller
  FileSystem& target_;
};

// The system's file system: LinuxFileSystem on Linux, WindowsFileSystem on Windows.
std::unique_ptr<FileSystem> makeSystemFileSystem();

}  // namespace tamberlo
