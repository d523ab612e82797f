// The file system of Windows: wide Win32 calls on long ("\\?\") paths, handles that never follow
// a link, the known folder Downloads.
#pragma once

#include <optional>
#include <string>

#include "Platform/FileSystem.h"

namespace tamberlo {

// Paths are UTF-8 with "/" or "\" between names, as the handler joins them; each call turns
// them into long paths (Utf16.h), and a path that cannot be one (not UTF-8, a device name) fails
// as a name that is not valid. Names are matched as the volume matches them: on NTFS without
// regard to case, so "Clip.mp4" is taken when "clip.mp4" exists. Links are symbolic links and
// junctions (any reparse point): never followed where the contract says links are not, and
// refused where it refuses them. Files are opened sharing reading, writing and deleting, so that
// an open handle never keeps another request from moving or removing the file.
class WindowsFileSystem : public FileSystem {
 public:
  // The known folder Downloads (SHGetKnownFolderPath, not checked or created), or nothing when
  // the shell names none or names the user's profile folder or a folder above it.
  std::optional<std::string> downloadsDirectory() override;
  // GetFinalPathNameByHandleW of the longest leading part of `path` that exists, in "C:\..."
  // form (or "\\server\..."), with the rest appended after "\" as given.
  std::string resolveSymlinks(const std::string& path) override;
  bool exists(const std::string& path) override;
  // Also false when the folder spells the name otherwise: in another case, or when `path` ends
  // in a short (8.3) name of the object.
  bool targetExists(const std::string& path) override;
  // CreateFileW with CREATE_NEW: fails with ERROR_FILE_EXISTS (kind kExists) when the name is
  // taken by anything, a link included, in any case.
  Status createExclusive(const std::string& path) override;
  Result<std::unique_ptr<WritableFile>> openForWriting(const std::string& path) override;
  // Asks for write access too, to flush the file; a file that refuses it (read-only) is opened
  // for reading alone, and a sync of it then fails.
  Result<std::unique_ptr<OpenFile>> openForReading(const std::string& path) override;
  // MoveFileExW without MOVEFILE_REPLACE_EXISTING, which never replaces.
  Status moveNoReplace(const std::string& from, const std::string& to,
                       const FileIdentity& expected) override;
  // DeleteFileW; a link to a folder (a junction) is removed with RemoveDirectoryW, which takes
  // away only the link. A folder is refused.
  Status removeFile(const std::string& path) override;
  // FlushFileBuffers of the folder's handle where the volume allows it. Where it does not (the
  // folder opens, but not for writing, or the volume refuses to flush a folder), succeeds all
  // the same: NTFS writes a name made or moved to its journal before the call that made it
  // returns. Fails when the folder is missing or cannot be opened.
  Status syncDirectory(const std::string& path) override;
  // FindFirstFileExW/FindNextFileW; "." and "..", names beginning with ".", and names that are
  // not valid UTF-16 are skipped.
  Status listDirectory(const std::string& path,
                       const std::function<void(std::string_view name)>& visit) override;
  // The creation time that NTFS records for every file (links not followed).
  std::optional<Instant> creationDate(const std::string& path) override;
  // Nothing for a folder, a link or a device.
  std::optional<FileFacts> regularFileFacts(const std::string& path) override;
  std::optional<FileIdentity> identityAt(const std::string& path) override;
  // Writes the file's Zone.Identifier stream anew; a volume without streams (FAT) fails.
  Status markOrigin(const std::string& path, const OriginMark& mark) override;
};

}  // namespace tamberlo
