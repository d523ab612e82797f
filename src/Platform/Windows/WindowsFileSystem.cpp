#include "Platform/Windows/WindowsFileSystem.h"

#include <windows.h>
// After windows.h:
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "Platform/FileErrors.h"
#include "Platform/Windows/Utf16.h"
#include "Platform/Windows/WindowsError.h"
#include "Platform/ZoneIdentifier.h"

namespace tamberlo {
namespace {

// The share mode of every open: no handle of ours keeps another from reading, writing, moving
// or removing the file.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Opens the object at the name itself, a link or junction included, and a folder as well as a
// file (the attributes then tell which it is).
constexpr DWORD kOpenItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// A handle closed on every way out of its scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

// The long path of `path`, or the error of a name Windows cannot take, described as
// `operation` failing.
Result<std::wstring> nativePath(const std::string& path, std::string_view operation) {
  std::optional<std::wstring> native = toWindowsPath(path);
  if (!native) return windowsError(ERROR_INVALID_NAME, operation);
  return std::move(*native);
}

Error writeError(DWORD code) {
  return FileErrors::writeFailed(windowsError(code, "Cannot write the file"));
}

// A FILETIME (100 ns since 1601-01-01 UTC) as an Instant.
Instant instantOf(const FILETIME& time) {
  constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;
  int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return Instant(
      std::chrono::duration<double>(static_cast<double>(ticks - kTicksFrom1601To1970) / 1e7));
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

uint64_t sizeOf(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

bool isLinkOrFolder(DWORD attributes) {
  return (attributes &
          (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

// A regular file open for writing, or for reading only when handed out as an OpenFile. The
// handle is synchronous: a write at an offset returns when it is done.
class WindowsFile : public WritableFile {
 public:
  // `atOpen` is what the open's own check of the file read: the first size() costs no second
  // call.
  WindowsFile(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& atOpen)
      : handle_(handle),
        identity_(identityOf(atOpen)),
        known_(sizeOf(atOpen.nFileSizeHigh, atOpen.nFileSizeLow)) {}

  Result<uint64_t> size() override {
    if (known_) return *std::exchange(known_, std::nullopt);
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_.get(), &size)) {
      return lastWindowsError("Cannot read the file's length");
    }
    return static_cast<uint64_t>(size.QuadPart);
  }

  Status truncate(uint64_t length) override {
    known_.reset();
    if (length > static_cast<uint64_t>(INT64_MAX)) {
      return windowsError(ERROR_INVALID_PARAMETER, "Cannot set the file's length");
    }
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (!::SetFileInformationByHandle(handle_.get(), FileEndOfFileInfo, &end, sizeof end)) {
      return lastWindowsError("Cannot set the file's length");
    }
    return success();
  }

  Status writeAt(uint64_t offset, std::span<const uint8_t> bytes) override {
    known_.reset();
    const uint8_t* next = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      if (offset > static_cast<uint64_t>(INT64_MAX)) return writeError(ERROR_INVALID_PARAMETER);
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      // One call writes at most 4 GiB - 1; a gibibyte at a time, the loop carries on.
      DWORD ask = static_cast<DWORD>(std::min<size_t>(left, size_t{1} << 30));
      DWORD written = 0;
      if (!::WriteFile(handle_.get(), next, ask, &written, &at)) {
        return writeError(::GetLastError());
      }
      if (written == 0) return writeError(ERROR_WRITE_FAULT);
      next += written;
      left -= written;
      offset += written;
    }
    return success();
  }

  Status sync() override {
    if (!::FlushFileBuffers(handle_.get()))
      return lastWindowsError("Cannot flush the file to disk");
    return success();
  }

  FileIdentity identity() const override { return identity_; }
  HANDLE handle() const { return handle_.get(); }

  Status lock() override {
    // The whole file, whatever its length; other handles' writes to it fail while it is held.
    OVERLAPPED whole = {};
    if (::LockFileEx(handle_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                     MAXDWORD, MAXDWORD, &whole)) {
      // The length read at the open may predate a write made before the lock was had.
      known_.reset();
      return success();
    }
    DWORD code = ::GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return FileErrors::locked();
    return windowsError(code, "Cannot lock the file");
  }

 private:
  ScopedHandle handle_;
  FileIdentity identity_;
  // The length read at the open, good for one size() before any change.
  std::optional<uint64_t> known_;
};

// Opens the existing regular file at `path` with `access`, never following a link, and refuses
// anything but a regular file on disk with one name. Errors are described as `operation`
// failing. `fallback`, when not 0, is the access asked for instead when `access` is denied.
Result<std::unique_ptr<WindowsFile>> openRegularFile(const std::string& path, DWORD access,
                                                     DWORD fallback, const std::string& operation) {
  Result<std::wstring> native = nativePath(path, operation);
  if (!native) return native.error();
  auto open = [&](DWORD wanted) {
    return ::CreateFileW(native->c_str(), wanted, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | kOpenItself, nullptr);
  };
  HANDLE handle = open(access);
  if (handle == INVALID_HANDLE_VALUE && fallback != 0 && ::GetLastError() == ERROR_ACCESS_DENIED) {
    handle = open(fallback);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      return FileErrors::noSuchFile(operation, windowsError(code, operation));
    }
    return windowsError(code, operation);
  }
  ScopedHandle owned(handle);
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return lastWindowsError(operation);
  if (isLinkOrFolder(info.dwFileAttributes) || ::GetFileType(handle) != FILE_TYPE_DISK) {
    return FileErrors::notRegularFile(operation, windowsError(ERROR_CANT_ACCESS_FILE, operation));
  }
  if (info.nNumberOfLinks != 1) {
    return FileErrors::hasOtherNames(operation, windowsError(ERROR_TOO_MANY_LINKS, operation));
  }
  return std::make_unique<WindowsFile>(owned.release(), info);
}

// The facts of the object at `path` itself (links not followed), or nothing when it cannot be
// read.
std::optional<WIN32_FILE_ATTRIBUTE_DATA> attributesOf(const std::string& path) {
  std::optional<std::wstring> native = toWindowsPath(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!native || !::GetFileAttributesExW(native->c_str(), GetFileExInfoStandard, &data)) {
    return std::nullopt;
  }
  return data;
}

// The identity of the object at the name itself, a link not followed.
std::optional<FileIdentity> identityAt(const std::wstring& native) {
  ScopedHandle handle(::CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, kOpenItself, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info)) return std::nullopt;
  return identityOf(info);
}

// The final path of the object at the long path `native`, links followed, in long form; nothing
// when it cannot be opened or has no drive-letter path.
std::optional<std::wstring> finalPathOf(const std::wstring& native) {
  ScopedHandle handle(::CreateFileW(native.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return std::nullopt;
  std::wstring final(MAX_PATH, L'\0');
  while (true) {
    DWORD length =
        ::GetFinalPathNameByHandleW(handle.get(), final.data(), static_cast<DWORD>(final.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::nullopt;
    if (length < final.size()) {
      final.resize(length);
      return final;
    }
    // Too small: `length` is the size needed (with the terminating NUL, but one more does no
    // harm where a system counts without it).
    final.resize(length + 1);
  }
}

// MoveFileExW without MOVEFILE_REPLACE_EXISTING: a taken `to` fails as the file domain's "file
// exists" error, changing nothing.
Status moveWithoutReplacing(const std::wstring& from, const std::wstring& to) {
  if (::MoveFileExW(from.c_str(), to.c_str(), 0)) return success();
  DWORD code = ::GetLastError();
  if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) {
    return windowsError(code, "Cannot move the file");
  }
  return FileErrors::nameTaken(windowsError(code, "Cannot move the file"));
}

// A known folder's path, or nothing when the shell names none.
std::optional<std::string> knownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  HRESULT result = ::SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path);
  std::optional<std::string> folder;
  if (SUCCEEDED(result) && path != nullptr) folder = fromWindowsPath(path);
  ::CoTaskMemFree(path);
  if (folder && folder->empty()) return std::nullopt;
  return folder;
}

// `path` without the separators it ends with.
std::wstring_view withoutTrailingSeparators(std::wstring_view path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.remove_suffix(1);
  return path;
}

// True when the folder `dir` is the folder `home` or one above it, compared as Windows compares
// names (without regard to case), links resolved as far as both exist.
bool isHomeOrAbove(const std::string& dir, const std::string& home) {
  std::optional<std::wstring> wideDir = toWindowsPath(dir);
  std::optional<std::wstring> wideHome = toWindowsPath(home);
  if (!wideDir || !wideHome) return false;
  std::wstring_view d = withoutTrailingSeparators(*wideDir);
  std::wstring_view h = withoutTrailingSeparators(*wideHome);
  if (h.size() < d.size()) return false;
  if (h.size() > d.size() && h[d.size()] != L'\\') return false;
  return ::CompareStringOrdinal(d.data(), static_cast<int>(d.size()), h.data(),
                                static_cast<int>(d.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::optional<std::string> WindowsFileSystem::downloadsDirectory() {
  std::optional<std::string> setting = knownFolder(FOLDERID_Downloads);
  if (!setting) return std::nullopt;
  // The setting may spell the folder with "." and ".." names, which no path built on it may hold.
  std::optional<std::string> downloads = normalizedFolder(*setting);
  if (!downloads) return std::nullopt;
  if (std::optional<std::string> profile = knownFolder(FOLDERID_Profile)) {
    if (isHomeOrAbove(*downloads, *profile) ||
        isHomeOrAbove(resolveSymlinks(*downloads), resolveSymlinks(*profile))) {
      return std::nullopt;
    }
  }
  return downloads;
}

std::string WindowsFileSystem::resolveSymlinks(const std::string& path) {
  // Resolve the longest leading part that exists, then append the rest as it was given.
  std::optional<std::wstring> full = toWindowsPath(path);
  if (!full) return path;
  std::wstring head = std::move(*full);
  std::wstring tail;
  while (true) {
    if (std::optional<std::wstring> resolved = finalPathOf(head)) {
      if (!tail.empty()) {
        if (resolved->back() != L'\\') *resolved += L'\\';
        *resolved += tail;
      }
      return fromWindowsPath(*resolved).value_or(path);
    }
    // A drive's root is as far up as the path goes.
    if (head.ends_with(L":\\")) return path;
    size_t slash = head.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) return path;
    std::wstring component = head.substr(slash + 1);
    if (!component.empty()) tail = tail.empty() ? component : component + L"\\" + tail;
    head.erase(slash);
    // "\\?\C:" alone would be the volume, not its root folder.
    if (head.ends_with(L':')) head += L'\\';
  }
}

bool WindowsFileSystem::exists(const std::string& path) {
  std::optional<std::wstring> native = toWindowsPath(path);
  if (!native) return false;
  if (::GetFileAttributesW(native->c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  // Something stands there that the system holds open without sharing (a paging file). A
  // refusal of access says nothing of the name: it could stand for every name asked about.
  return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

bool WindowsFileSystem::targetExists(const std::string& path) {
  std::optional<std::wstring> native = toWindowsPath(path);
  if (!native) return false;
  ScopedHandle handle(::CreateFileW(native->c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return false;
  // The folder's own spelling of the entry must be the name asked for: "clip.MP4" or a short
  // name ("CLIP~1.MP4") reaches "clip.mp4" through CreateFileW, but is not its name.
  WIN32_FIND_DATAW entry;
  HANDLE found = ::FindFirstFileExW(native->c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                    nullptr, 0);
  if (found == INVALID_HANDLE_VALUE) return false;
  ::FindClose(found);
  std::wstring_view name = *native;
  name.remove_prefix(name.find_last_of(L'\\') + 1);
  return name == entry.cFileName;
}

Status WindowsFileSystem::createExclusive(const std::string& path) {
  constexpr std::string_view kOperation = "Cannot create the file";
  Result<std::wstring> native = nativePath(path, kOperation);
  if (!native) return native.error();
  ScopedHandle handle(::CreateFileW(native->c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid()) return lastWindowsError(kOperation);
  return success();
}

Result<std::unique_ptr<WritableFile>> WindowsFileSystem::openForWriting(const std::string& path) {
  Result<std::unique_ptr<WindowsFile>> file =
      openRegularFile(path, GENERIC_WRITE, 0, "Cannot open the file for writing");
  if (!file) return file.error();
  return std::unique_ptr<WritableFile>(std::move(*file));
}

Result<std::unique_ptr<OpenFile>> WindowsFileSystem::openForReading(const std::string& path) {
  Result<std::unique_ptr<WindowsFile>> file = openRegularFile(
      path, GENERIC_READ | GENERIC_WRITE, GENERIC_READ, "Cannot open the file for reading");
  if (!file) return file.error();
  return std::unique_ptr<OpenFile>(std::move(*file));
}

Status WindowsFileSystem::moveNoReplace(const std::string& from, const std::string& to,
                                        const FileIdentity& expected) {
  constexpr std::string_view kOperation = "Cannot move the file";
  Result<std::wstring> source = nativePath(from, kOperation);
  if (!source) return source.error();
  Result<std::wstring> target = nativePath(to, kOperation);
  if (!target) return target.error();
  if (Status moved = moveWithoutReplacing(*source, *target); !moved) return moved;
  if (tamberlo::identityAt(*target) == expected) return success();
  if (!moveWithoutReplacing(*target, *source)) ::DeleteFileW(target->c_str());
  return FileErrors::replacedDuringMove();
}

Status WindowsFileSystem::removeFile(const std::string& path) {
  constexpr std::string_view kOperation = "Cannot remove the file";
  Result<std::wstring> native = nativePath(path, kOperation);
  if (!native) return native.error();
  DWORD attributes = ::GetFileAttributesW(native->c_str());
  bool folderLink = attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  BOOL removed = folderLink ? ::RemoveDirectoryW(native->c_str()) : ::DeleteFileW(native->c_str());
  if (!removed) return lastWindowsError(kOperation);
  return success();
}

Status WindowsFileSystem::syncDirectory(const std::string& path) {
  constexpr std::string_view kOperation = "Cannot flush the folder to disk";
  Result<std::wstring> native = nativePath(path, kOperation);
  if (!native) return native.error();
  auto open = [&](DWORD access) {
    return ::CreateFileW(native->c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  };
  ScopedHandle folder(open(GENERIC_WRITE));
  if (!folder.valid()) {
    // A folder that can be opened, but not for writing, has nothing to flush with: the journal
    // holds its names.
    if (::GetLastError() != ERROR_ACCESS_DENIED) return lastWindowsError(kOperation);
    ScopedHandle readable(open(FILE_READ_ATTRIBUTES));
    if (!readable.valid()) return lastWindowsError(kOperation);
    return success();
  }
  if (!::FlushFileBuffers(folder.get())) {
    DWORD code = ::GetLastError();
    if (code != ERROR_ACCESS_DENIED && code != ERROR_INVALID_FUNCTION &&
        code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_PARAMETER) {
      return windowsError(code, kOperation);
    }
  }
  return success();
}

Status WindowsFileSystem::listDirectory(const std::string& path,
                                        const std::function<void(std::string_view name)>& visit) {
  constexpr std::string_view kOperation = "Cannot list the folder";
  Result<std::wstring> native = nativePath(path, kOperation);
  if (!native) return native.error();
  std::wstring pattern(withoutTrailingSeparators(*native));
  pattern += L"\\*";
  WIN32_FIND_DATAW entry;
  HANDLE found = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                    nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (found == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    // No entry at all: a drive's empty root, which lists not even "." and "..".
    DWORD attributes = ::GetFileAttributesW(native->c_str());
    if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return success();
    }
    return windowsError(code, kOperation);
  }
  std::unique_ptr<void, BOOL (*)(HANDLE)> closer(found, ::FindClose);
  do {
    std::wstring_view wide(entry.cFileName);
    if (wide.empty() || wide.front() == L'.') continue;
    std::optional<std::string> name = toUtf8(wide);
    if (!name) continue;
    visit(*name);
  } while (::FindNextFileW(found, &entry));
  DWORD code = ::GetLastError();
  if (code != ERROR_NO_MORE_FILES) return windowsError(code, kOperation);
  return success();
}

std::optional<Instant> WindowsFileSystem::creationDate(const std::string& path) {
  std::optional<WIN32_FILE_ATTRIBUTE_DATA> data = attributesOf(path);
  if (!data) return std::nullopt;
  return instantOf(data->ftCreationTime);
}

std::optional<FileFacts> WindowsFileSystem::regularFileFacts(const std::string& path) {
  std::optional<WIN32_FILE_ATTRIBUTE_DATA> data = attributesOf(path);
  if (!data || isLinkOrFolder(data->dwFileAttributes)) return std::nullopt;
  return FileFacts{sizeOf(data->nFileSizeHigh, data->nFileSizeLow),
                   instantOf(data->ftLastWriteTime)};
}

std::optional<FileIdentity> WindowsFileSystem::identityAt(const std::string& path) {
  Result<std::wstring> native = nativePath(path, "Cannot look at the file");
  if (!native) return std::nullopt;
  return tamberlo::identityAt(*native);
}

Status WindowsFileSystem::markOrigin(const std::string& path, const OriginMark& mark) {
  const std::string operation = "Cannot mark the file's origin";
  // The file is vetted first (regular, one name, no link); its stream is then written by name,
  // which is the file's own name: a link would have been refused.
  Result<std::unique_ptr<WindowsFile>> file = openRegularFile(path, GENERIC_WRITE, 0, operation);
  if (!file) return file.error();
  // A volume without streams (FAT; Wine, which would make a file named "x:Zone.Identifier"
  // beside it) keeps no mark.
  DWORD flags = 0;
  if (!::GetVolumeInformationByHandleW((*file)->handle(), nullptr, 0, nullptr, nullptr, &flags,
                                       nullptr, 0)) {
    return lastWindowsError(operation);
  }
  if ((flags & FILE_NAMED_STREAMS) == 0) {
    return FileErrors::keepsNoOrigin(windowsError(ERROR_NOT_SUPPORTED, operation));
  }
  Result<std::wstring> native = nativePath(path, operation);
  if (!native) return native.error();
  ScopedHandle stream(::CreateFileW((*native + L":Zone.Identifier").c_str(), GENERIC_WRITE,
                                    kShareAll, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!stream.valid()) return lastWindowsError(operation);
  const std::string text = ZoneIdentifier::text(mark);
  DWORD written = 0;
  if (text.size() > MAXDWORD ||
      !::WriteFile(stream.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return lastWindowsError(operation);
  }
  if (written != text.size()) return windowsError(ERROR_WRITE_FAULT, operation);
  return success();
}

std::unique_ptr<FileSystem> makeSystemFileSystem() { return std::make_unique<WindowsFileSystem>(); }

}  // namespace tamberlo
