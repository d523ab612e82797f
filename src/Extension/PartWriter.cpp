#include "Extension/PartWriter.h"

#include "Extension/DownloadsFile.h"
#include "Platform/FileErrors.h"

namespace tamberlo {
namespace {

Error refusal(std::string text) { return Error{ErrorKind::kOther, std::move(text), 0}; }

}  // namespace

Status lockPart(FileSystem& files, OpenFile& file, const std::string& path) {
  if (Status locked = file.lock(); !locked) return locked;
  if (files.identityAt(path) != file.identity()) return FileErrors::locked();
  return success();
}

Result<LockedPart> openLockedPart(FileSystem& files, const std::string& path) {
  Result<std::unique_ptr<WritableFile>> file = files.openForWriting(path);
  if (!file) return file.error();
  // Locked first: the length of a part file that another transfer writes is not yet known.
  if (Status locked = lockPart(files, **file, path); !locked) return locked.error();
  Result<uint64_t> length = (*file)->size();
  if (!length) return length.error();
  return LockedPart{std::move(*file), *length};
}

std::string pastTheEnd(uint64_t offset, uint64_t length) {
  return "offset " + std::to_string(offset) + " past the end " + std::to_string(length);
}

Result<std::unique_ptr<PartWriter>> PartWriter::open(FileSystem& files, const std::string& folder,
                                                     std::string_view part, uint64_t offset) {
  if (!DownloadsFile::isPartFileName(part)) return refusal("not a part file");
  Result<LockedPart> opened = openLockedPart(files, DownloadsFile::pathIn(folder, part));
  if (!opened) return opened.error();
  const uint64_t length = opened->length;
  if (offset > length) return refusal(pastTheEnd(offset, length));
  if (offset < length) {
    return refusal("offset " + std::to_string(offset) + " before the end " +
                   std::to_string(length));
  }
  return std::unique_ptr<PartWriter>(new PartWriter(std::move(opened->file), length));
}

Status PartWriter::append(std::span<const uint8_t> bytes) {
  if (Status written = file_->writeAt(size_, bytes); !written) return written;
  size_ += bytes.size();
  return success();
}

}  // namespace tamberlo
