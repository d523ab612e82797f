#include "Host/Framing.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tamberlo {

bool FrameReader::readFully(char* into, size_t length) {
  while (length > 0) {
    ssize_t n = ::read(fd_, into, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool FrameReader::skip(uint64_t length) {
  char scratch[64 * 1024];
  while (length > 0) {
    size_t piece = length < sizeof scratch ? static_cast<size_t>(length) : sizeof scratch;
    if (!readFully(scratch, piece)) return false;
    length -= piece;
  }
  return true;
}

FrameStatus FrameReader::next() {
  uint32_t length;
  char header[4];
  if (!readFully(header, sizeof header)) return FrameStatus::kEnd;
  std::memcpy(&length, header, sizeof length);
  if (length > kMaxIncomingFrame) {
    return skip(length) ? FrameStatus::kTooLarge : FrameStatus::kEnd;
  }
  // Grown once to the largest frame seen; never zero-filled again after that.
  if (buffer_.size() < length) buffer_.resize(length);
  length_ = length;
  if (!readFully(buffer_.data(), length)) return FrameStatus::kEnd;
  return FrameStatus::kFrame;
}

bool writeFrame(int fd, std::string_view payload) {
  uint32_t length = static_cast<uint32_t>(payload.size());
  char header[4];
  std::memcpy(header, &length, sizeof header);
  struct iovec parts[2] = {{header, sizeof header},
                           {const_cast<char*>(payload.data()), payload.size()}};
  int first = 0;
  while (first < 2) {
    ssize_t n = ::writev(fd, parts + first, 2 - first);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    size_t written = static_cast<size_t>(n);
    while (first < 2 && written >= parts[first].iov_len) {
      written -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + written;
      parts[first].iov_len -= written;
    }
  }
  return true;
}

}  // namespace tamberlo
