#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Linux/PosixError.h"
#include "Platform/Streams.h"

namespace tamberlo {

Result<std::size_t> readSome(int stream, std::span<char> into) {
  while (true) {
    ssize_t n = ::read(stream, into.data(), into.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return posixError(errno, "Cannot read the input");
  }
}

Status writeAll(int stream, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(stream, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return posixError(errno, "Cannot write the output");
    if (n == 0) return posixError(EIO, "Cannot write the output");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return success();
}

int takeReplyStream() {
  int replies = ::fcntl(kStandardOutput, F_DUPFD_CLOEXEC, kStandardError + 1);
  if (replies < 0) return kStandardOutput;
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || ::dup2(null, kStandardOutput) < 0) {
    if (null >= 0) ::close(null);
    ::close(replies);
    return kStandardOutput;
  }
  ::close(null);
  return replies;
}

void enlargeInputPipe(int stream, std::size_t bytes) {
  ::fcntl(stream, F_SETPIPE_SZ, static_cast<int>(bytes));
}

}  // namespace tamberlo
