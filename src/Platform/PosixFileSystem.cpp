#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <utility>

#include "Platform/FileSystem.h"
#include "Platform/Utf8.h"

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
  Error cause = Error::posix(errnum, "Cannot write the file");
  if (errnum == ENOSPC || errnum == EDQUOT) {
    return Error::file(FileErrorCode::kWriteOutOfSpace,
                       "Cannot write the file: the volume is out of space.", std::move(cause));
  }
  return Error::file(FileErrorCode::kWriteUnknown, cause.description, std::move(cause));
}

class PosixWritableFile : public WritableFile {
 public:
  // `sizeAtOpen` is the length that the open's own check of the file read, so that the first
  // size() costs no second fstat: a chunk asks for it once per message.
  PosixWritableFile(int fd, uint64_t sizeAtOpen) : fd_(fd), known_(sizeAtOpen) {}
  ~PosixWritableFile() override { ::close(fd_); }

  Result<uint64_t> size() override {
    if (known_) return *std::exchange(known_, std::nullopt);
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Error::posix(errno, "Cannot read the file's length");
    return static_cast<uint64_t>(st.st_size);
  }

  Status truncate(uint64_t length) override {
    known_.reset();
    if (length > static_cast<uint64_t>(INT64_MAX)) {
      return Error::posix(EFBIG, "Cannot set the file's length");
    }
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      return Error::posix(errno, "Cannot set the file's length");
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
    if (::fdatasync(fd_) != 0) return Error::posix(errno, "Cannot flush the file to disk");
    return success();
  }

 private:
  int fd_;
  // The length read at the open, good for one size() before any change.
  std::optional<uint64_t> known_;
};

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

}  // namespace

std::optional<std::string> PosixFileSystem::downloadsDirectory() {
  const char* homeVar = std::getenv("HOME");
  if (homeVar == nullptr || *homeVar == '\0') return std::nullopt;
  std::string home = homeVar;
  const char* configVar = std::getenv("XDG_CONFIG_HOME");
  std::string config = (configVar != nullptr && *configVar == '/') ? configVar : home + "/.config";
  if (auto dir = xdgDownloadDir(config + "/user-dirs.dirs", home)) return dir;
  return home + "/Downloads";
}

std::string PosixFileSystem::resolveSymlinks(const std::string& path) {
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

bool PosixFileSystem::exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool PosixFileSystem::targetExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Status PosixFileSystem::createExclusive(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return Error::posix(errno, "Cannot create the file");
  ::close(fd);
  return success();
}

Result<std::unique_ptr<WritableFile>> PosixFileSystem::openForWriting(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int errnum = errno;
    if (errnum == ENOENT) {
      return Error::file(FileErrorCode::kNoSuchFile,
                         "Cannot open the file for writing: the file does not exist.",
                         Error::posix(errnum, "Cannot open the file for writing"));
    }
    return Error::posix(errnum, "Cannot open the file for writing");
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int errnum = errno;
    ::close(fd);
    return Error::posix(errnum, "Cannot open the file for writing");
  }
  auto file = std::make_unique<PosixWritableFile>(fd, static_cast<uint64_t>(st.st_size));
  if (!S_ISREG(st.st_mode)) {
    return Error::file(FileErrorCode::kWriteUnknown,
                       "Cannot open the file for writing: it is not a regular file.",
                       Error::posix(EINVAL, "Cannot open the file for writing"));
  }
  return std::unique_ptr<WritableFile>(std::move(file));
}

Status PosixFileSystem::moveNoReplace(const std::string& from, const std::string& to) {
  auto exists_error = [] {
    return Error::file(FileErrorCode::kWriteFileExists,
                       "Cannot move the file: a file of that name exists.",
                       Error::posix(EEXIST, "Cannot move the file"));
  };
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) ==
      0) {
    return success();
  }
  int errnum = errno;
  if (errnum == EEXIST) return exists_error();
  if (errnum != EINVAL && errnum != ENOSYS) return Error::posix(errnum, "Cannot move the file");
  // The file system cannot rename without replacing: a hard link cannot replace either.
  if (::link(from.c_str(), to.c_str()) != 0) {
    errnum = errno;
    if (errnum == EEXIST) return exists_error();
    return Error::posix(errnum, "Cannot move the file");
  }
  if (::unlink(from.c_str()) != 0) {
    errnum = errno;
    ::unlink(to.c_str());
    return Error::posix(errnum, "Cannot move the file");
  }
  return success();
}

Status PosixFileSystem::removeFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Error::posix(errno, "Cannot remove the file");
  return success();
}

Status PosixFileSystem::syncDirectory(const std::string& path) {
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return Error::posix(errno, "Cannot flush the folder to disk");
  if (::fsync(fd.get()) != 0) return Error::posix(errno, "Cannot flush the folder to disk");
  return success();
}

Status PosixFileSystem::listDirectory(const std::string& path,
                                      const std::function<void(std::string_view name)>& visit) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return Error::posix(errno, "Cannot list the folder");
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
  if (errno != 0) return Error::posix(errno, "Cannot list the folder");
  return success();
}

std::optional<Instant> PosixFileSystem::creationDate(const std::string& path) {
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
  return Instant(std::chrono::duration<double>(static_cast<double>(stamp->tv_sec) +
                                               static_cast<double>(stamp->tv_nsec) / 1e9));
}

std::optional<FileFacts> PosixFileSystem::regularFileFacts(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileFacts{static_cast<uint64_t>(st.st_size),
                   Instant(std::chrono::duration<double>(static_cast<double>(st.st_mtim.tv_sec) +
                                                         st.st_mtim.tv_nsec / 1e9))};
}

}  // namespace tamberlo
