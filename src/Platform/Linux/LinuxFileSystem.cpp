#include "Platform/Linux/LinuxFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <utility>

#include "Encoding/Utf8.h"
#include "Platform/FileErrors.h"
#include "Platform/Linux/PosixError.h"

namespace tamberlo {
namespace {

// A file descriptor closed on every way out of its scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

Error writeError(int errnum) {
  return FileErrors::writeFailed(posixError(errnum, "Cannot write the file"));
}

// A file time given as seconds and nanoseconds since 1970.
Instant instantOf(int64_t seconds, int64_t nanoseconds) {
  return Instant(std::chrono::duration<double>(static_cast<double>(seconds) +
                                               static_cast<double>(nanoseconds) / 1e9));
}

FileIdentity identityOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// A regular file open for writing, or for reading only when handed out as an OpenFile.
class PosixFile : public WritableFile {
 public:
  // `atOpen` is the fstat of the open's own check; the first size() answers from it without a
  // second fstat (the chunk path asks once per message).
  PosixFile(int fd, const struct stat& atOpen)
      : fd_(fd), identity_(identityOf(atOpen)), known_(static_cast<uint64_t>(atOpen.st_size)) {}
  ~PosixFile() override { ::close(fd_); }

  int descriptor() const { return fd_; }

  Result<uint64_t> size() override {
    if (known_) return *std::exchange(known_, std::nullopt);
    struct stat st;
    if (::fstat(fd_, &st) != 0) return posixError(errno, "Cannot read the file's length");
    return static_cast<uint64_t>(st.st_size);
  }

  Status truncate(uint64_t length) override {
    known_.reset();
    if (length > static_cast<uint64_t>(INT64_MAX)) {
      return posixError(EFBIG, "Cannot set the file's length");
    }
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      return posixError(errno, "Cannot set the file's length");
    }
    return success();
  }

  Status writeAt(uint64_t offset, std::span<const uint8_t> bytes) override {
    known_.reset();
    const uint8_t* next = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      if (offset > static_cast<uint64_t>(INT64_MAX)) return writeError(EFBIG);
      // Linux writes at most about 2 GiB per call; the loop carries on from there.
      ssize_t written = ::pwrite(fd_, next, left, static_cast<off_t>(offset));
      if (written < 0) {
        if (errno == EINTR) continue;
        return writeError(errno);
      }
      if (written == 0) return writeError(EIO);
      next += written;
      left -= static_cast<size_t>(written);
      offset += static_cast<uint64_t>(written);
    }
    return success();
  }

  Status sync() override {
    if (::fdatasync(fd_) != 0) return posixError(errno, "Cannot flush the file to disk");
    return success();
  }

  FileIdentity identity() const override { return identity_; }

  Status lock() override {
    // A lock of the open file description, whatever its access mode: a read-only handle holds
    // it too, and it never passes to another description of the same file.
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK) return FileErrors::locked();
      return posixError(errno, "Cannot lock the file");
    }
    // The length read at the open may predate a write made before the lock was had.
    known_.reset();
    return success();
  }

 private:
  int fd_;
  FileIdentity identity_;
  // The length read at the open, good for one size() before any change.
  std::optional<uint64_t> known_;
};

// Opens the existing regular file at `path` with `access` (O_WRONLY or O_RDONLY), following no
// link and never blocking, and refuses anything but a regular file with one name. Errors are
// described as `operation` failing.
Result<std::unique_ptr<PosixFile>> openRegularFile(const std::string& path, int access,
                                                   const std::string& operation) {
  int fd = ::open(path.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int errnum = errno;
    if (errnum == ENOENT) {
      return FileErrors::noSuchFile(operation, posixError(errnum, operation));
    }
    return posixError(errnum, operation);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int errnum = errno;
    ::close(fd);
    return posixError(errnum, operation);
  }
  auto file = std::make_unique<PosixFile>(fd, st);
  if (!S_ISREG(st.st_mode)) {
    return FileErrors::notRegularFile(operation, posixError(EINVAL, operation));
  }
  if (st.st_nlink != 1) return FileErrors::hasOtherNames(operation, posixError(EMLINK, operation));
  return file;
}

// The value of XDG_DOWNLOAD_DIR in a user-dirs.dirs file, with "$HOME" expanded, or nothing when
// the file or the line is missing or the value is neither absolute nor under "$HOME".
std::optional<std::string> xdgDownloadDir(const std::string& userDirsFile,
                                          const std::string& home) {
  std::ifstream in(userDirsFile);
  std::string line;
  std::optional<std::string> found;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::string_view rest = std::string_view(line).substr(start);
    constexpr std::string_view kKey = "XDG_DOWNLOAD_DIR=";
    if (!rest.starts_with(kKey)) continue;
    rest.remove_prefix(kKey.size());
    if (rest.empty() || rest.front() != '"') continue;
    rest.remove_prefix(1);
    std::string value;
    bool closed = false;
    for (size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size()) {
        value += rest[++i];
      } else if (rest[i] == '"') {
        closed = true;
        break;
      } else {
        value += rest[i];
      }
    }
    if (!closed) continue;
    if (value.starts_with("$HOME/") || value == "$HOME") {
      found = home + value.substr(5);
    } else if (value.starts_with("/")) {
      found = value;
    }
    // The last valid line wins, as the shell that sources the file would have it.
  }
  return found;
}

// True when `dir` spells a name directly in `home`: `home`, "/" and one name other than "." and
// "..", slashes doubled or not.
bool isNamedInHome(std::string_view dir, std::string_view home) {
  while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
  if (!dir.starts_with(home)) return false;
  std::string_view rest = dir.substr(home.size());
  size_t name = rest.find_first_not_of('/');
  if (name == 0 || name == std::string_view::npos) return false;
  rest.remove_prefix(name);
  return rest.find('/') == std::string_view::npos && rest != "." && rest != "..";
}

// True when `dir` leads to the folder `home` leads to, or to a folder above it ("/" included),
// links followed. A `dir` that leads nowhere is neither.
bool isHomeOrAbove(const std::string& dir, const std::string& home) {
  struct stat entry;
  if (::lstat(dir.c_str(), &entry) != 0) return false;
  // A folder in the home folder that is no link is below it: the usual case, one lstat.
  if (S_ISDIR(entry.st_mode) && isNamedInHome(dir, home)) return false;
  struct stat target;
  if (::stat(dir.c_str(), &target) != 0) return false;
  // From the home folder up through "..": the root is the folder that is its own parent.
  std::string path = home;
  struct stat at;
  if (::stat(path.c_str(), &at) != 0) return false;
  while (true) {
    if (at.st_dev == target.st_dev && at.st_ino == target.st_ino) return true;
    path += "/..";
    struct stat parent;
    if (::stat(path.c_str(), &parent) != 0) return false;
    if (parent.st_dev == at.st_dev && parent.st_ino == at.st_ino) return false;
    at = parent;
  }
}

}  // namespace

std::optional<std::string> LinuxFileSystem::downloadsDirectory() {
  std::optional<std::string> userDirs = userDirsFile();
  if (!userDirs) return std::nullopt;
  std::string home = std::getenv("HOME");
  std::string dir = xdgDownloadDir(*userDirs, home).value_or(home + "/Downloads");
  // The desktop's way of saying "none" ("$HOME/"), and any folder that holds the home folder.
  if (isHomeOrAbove(dir, home)) return std::nullopt;
  return dir;
}

std::optional<std::string> userDirsFile() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return std::nullopt;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && *config == '/') return std::string(config) + "/user-dirs.dirs";
  return std::string(home) + "/.config/user-dirs.dirs";
}

std::string LinuxFileSystem::resolveSymlinks(const std::string& path) {
  // Resolve the longest existing leading part, then append the rest as it was given.
  std::string head = path;
  std::string tail;
  while (true) {
    if (char* resolved = ::realpath(head.empty() ? "/" : head.c_str(), nullptr)) {
      std::string result = resolved;
      std::free(resolved);
      if (tail.empty()) return result;
      return result == "/" ? result + tail : result + "/" + tail;
    }
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos) return path;
    std::string component = head.substr(slash + 1);
    if (!component.empty()) tail = tail.empty() ? component : component + "/" + tail;
    head.erase(slash);
  }
}

bool LinuxFileSystem::exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool LinuxFileSystem::targetExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Status LinuxFileSystem::createExclusive(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return posixError(errno, "Cannot create the file");
  ::close(fd);
  return success();
}

Result<std::unique_ptr<WritableFile>> LinuxFileSystem::openForWriting(const std::string& path) {
  Result<std::unique_ptr<PosixFile>> file =
      openRegularFile(path, O_WRONLY, "Cannot open the file for writing");
  if (!file) return file.error();
  return std::unique_ptr<WritableFile>(std::move(*file));
}

Result<std::unique_ptr<OpenFile>> LinuxFileSystem::openForReading(const std::string& path) {
  Result<std::unique_ptr<PosixFile>> file =
      openRegularFile(path, O_RDONLY, "Cannot open the file for reading");
  if (!file) return file.error();
  return std::unique_ptr<OpenFile>(std::move(*file));
}

int LinuxFileSystem::renameNoReplace(const std::string& from, const std::string& to) {
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) ==
      0) {
    return 0;
  }
  return errno;
}

int LinuxFileSystem::hardLink(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

Status LinuxFileSystem::moveWithoutReplacing(const std::string& from, const std::string& to) {
  auto failed = [](int errnum) -> Status {
    if (errnum != EEXIST) return posixError(errnum, "Cannot move the file");
    return FileErrors::nameTaken(posixError(EEXIST, "Cannot move the file"));
  };
  int errnum = renameNoReplace(from, to);
  if (errnum == 0) return success();
  if (errnum != EINVAL && errnum != ENOSYS) return failed(errnum);
  // The file system cannot rename without replacing: a hard link cannot replace either.
  errnum = hardLink(from, to);
  if (errnum == 0) {
    if (::unlink(from.c_str()) != 0) {
      errnum = errno;
      ::unlink(to.c_str());
      return failed(errnum);
    }
    return success();
  }
  if (errnum != EPERM && errnum != EOPNOTSUPP && errnum != ENOSYS) return failed(errnum);
  // Nor links: only the plain rename is left, which replaces what stands at `to`.
  if (exists(to)) return failed(EEXIST);
  if (::rename(from.c_str(), to.c_str()) != 0) return failed(errno);
  return success();
}

Status LinuxFileSystem::moveNoReplace(const std::string& from, const std::string& to,
                                      const FileIdentity& expected) {
  if (Status moved = moveWithoutReplacing(from, to); !moved) return moved;
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0 && identityOf(st) == expected) return success();
  if (!moveWithoutReplacing(to, from)) ::unlink(to.c_str());
  return FileErrors::replacedDuringMove();
}

Status LinuxFileSystem::removeFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return posixError(errno, "Cannot remove the file");
  return success();
}

Status LinuxFileSystem::syncDirectory(const std::string& path) {
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return posixError(errno, "Cannot flush the folder to disk");
  if (::fsync(fd.get()) != 0) return posixError(errno, "Cannot flush the folder to disk");
  return success();
}

Status LinuxFileSystem::listDirectory(const std::string& path,
                                      const std::function<void(std::string_view name)>& visit) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return posixError(errno, "Cannot list the folder");
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
  while (true) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    std::string_view name(entry->d_name);
    if (name.empty() || name.front() == '.') continue;
    if (!isValidUtf8(name)) continue;
    visit(name);
  }
  if (errno != 0) return posixError(errno, "Cannot list the folder");
  return success();
}

std::optional<Instant> LinuxFileSystem::creationDate(const std::string& path) {
  struct statx stx;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &stx) != 0) {
    return std::nullopt;
  }
  const struct statx_timestamp* stamp = nullptr;
  if (stx.stx_mask & STATX_BTIME) {
    stamp = &stx.stx_btime;
  } else if (stx.stx_mask & STATX_CTIME) {
    stamp = &stx.stx_ctime;
  } else {
    return std::nullopt;
  }
  return instantOf(stamp->tv_sec, stamp->tv_nsec);
}

std::optional<FileFacts> LinuxFileSystem::regularFileFacts(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileFacts{static_cast<uint64_t>(st.st_size),
                   instantOf(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)};
}

std::optional<FileIdentity> LinuxFileSystem::identityAt(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return identityOf(st);
}

Status LinuxFileSystem::markOrigin(const std::string& path, const OriginMark& mark) {
  constexpr std::string_view kOperation = "Cannot mark the file's origin";
  if (mark.url.empty() && mark.referrer.empty()) return success();
  Result<std::unique_ptr<PosixFile>> file =
      openRegularFile(path, O_WRONLY, std::string(kOperation));
  if (!file) return file.error();
  // Through the descriptor: the file just vetted is the one marked.
  const std::pair<const char*, const std::string&> attributes[] = {
      {"user.xdg.origin.url", mark.url}, {"user.xdg.referrer.url", mark.referrer}};
  for (const auto& [name, value] : attributes) {
    if (value.empty()) continue;
    if (::fsetxattr((*file)->descriptor(), name, value.data(), value.size(), 0) != 0) {
      int errnum = errno;
      if (errnum == ENOTSUP) return FileErrors::keepsNoOrigin(posixError(errnum, kOperation));
      return posixError(errnum, kOperation);
    }
  }
  return success();
}

std::unique_ptr<FileSystem> makeSystemFileSystem() { return std::make_unique<LinuxFileSystem>(); }

}  // namespace tamberlo
