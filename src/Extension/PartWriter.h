// The part file of one stream of bytes that arrives outside the native messages (a channel
// connection): opened with a chunk's rules and refusals, locked for as long as the writer lives,
// and appended to at its length.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Error.h"
#include "Platform/FileSystem.h"

namespace tamberlo {

// Takes `file`'s lock and makes sure the name `path` still leads to it: one writer at a time per
// part file, for chunks, ends and channels alike. Fails with the locked error when another
// handle holds the lock, or when the name was moved away from the file before the lock was taken
// (an end saved it: the lock would then hold a saved file, which no writer may cut or grow).
Status lockPart(FileSystem& files, OpenFile& file, const std::string& path);

// A part file open for writing, under its lock, and its length as read under the lock.
struct LockedPart {
  std::unique_ptr<WritableFile> file;
  uint64_t length;
};

// Opens the part file at `path` for writing (openForWriting's refusals: a missing file fails with
// the file error's description), takes its lock (lockPart) and reads its length: the first step
// of every writer of a part file, chunk or channel. Fails with the first error met.
Result<LockedPart> openLockedPart(FileSystem& files, const std::string& path);

// "offset N past the end M": the refusal of a write that would leave a hole in a part file.
std::string pastTheEnd(uint64_t offset, uint64_t length);

class PartWriter {
 public:
  // Opens `part` in `folder` to append at `offset`, with a chunk's checks: a part file name
  // (DownloadsFile::isPartFileName, else "not a part file") and openForWriting's refusals (a
  // missing file fails with the file error's description). Then takes the file's lock, which
  // fails with kind kLocked while another writer or chunk holds it, and needs `offset` to be the
  // file's length ("offset N past the end M" past it, "offset N before the end M" short of it: a
  // channel never cuts a part file back). Nothing is written by open().
  static Result<std::unique_ptr<PartWriter>> open(FileSystem& files, const std::string& folder,
                                                  std::string_view part, uint64_t offset);

  // Writes all of `bytes` at the part file's current length (a positioned write loop). A failed
  // write gives the file domain's error (out of space: "Cannot write the file: the volume is out
  // of space.", of kind kNoSpace); what was written before it stays.
  Status append(std::span<const uint8_t> bytes);

  // The part file's length as this writer left it.
  uint64_t size() const { return size_; }

 private:
  PartWriter(std::unique_ptr<WritableFile> file, uint64_t size)
      : file_(std::move(file)), size_(size) {}

  std::unique_ptr<WritableFile> file_;
  uint64_t size_;
};

}  // namespace tamberlo
