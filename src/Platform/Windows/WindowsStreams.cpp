// Streams over the descriptors of the C runtime, in binary mode.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "Platform/Streams.h"

namespace tamberlo {
namespace {

// An error of the C runtime's errno, described as "<operation>: <reason>.".
Error runtimeError(int errnum, std::string_view operation) {
  std::string description(operation);
  description += ": ";
  description += std::strerror(errnum);
  description += ".";
  ErrorKind kind = errnum == ENOSPC ? ErrorKind::kNoSpace : ErrorKind::kOther;
  return Error{kind, std::move(description), errnum};
}

// Keeps the Win32 handle under `stream` from passing to processes that this one starts.
void keepFromChildren(int stream) {
  auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(stream));
  if (handle != INVALID_HANDLE_VALUE) ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

Result<std::size_t> readSome(int stream, std::span<char> into) {
  auto ask = static_cast<unsigned>(std::min<std::size_t>(into.size(), INT_MAX));
  while (true) {
    int n = ::_read(stream, into.data(), ask);
    if (n >= 0) return static_cast<std::size_t>(n);
    // A pipe whose writer has gone reads as the end of input.
    if (errno == EPIPE) return std::size_t{0};
    if (errno != EINTR) return runtimeError(errno, "Cannot read the input");
  }
}

Status writeAll(int stream, std::string_view bytes) {
  while (!bytes.empty()) {
    auto ask = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), INT_MAX));
    int n = ::_write(stream, bytes.data(), ask);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return runtimeError(errno, "Cannot write the output");
    if (n == 0) return runtimeError(EIO, "Cannot write the output");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return success();
}

// Text mode would turn "\r\n" into "\n" on input, "\n" into "\r\n" on output, and end the input
// at the first 0x1A byte: frames are binary.
int takeReplyStream() {
  ::_setmode(kStandardInput, _O_BINARY);
  ::_setmode(kStandardOutput, _O_BINARY);
  keepFromChildren(kStandardInput);
  int replies = ::_dup(kStandardOutput);
  if (replies < 0) return kStandardOutput;
  int null = ::_open("NUL", _O_WRONLY | _O_BINARY | _O_NOINHERIT);
  // _dup2 onto standard output also points the process's STD_OUTPUT_HANDLE at the null device.
  if (null < 0 || ::_dup2(null, kStandardOutput) != 0) {
    if (null >= 0) ::_close(null);
    ::_close(replies);
    return kStandardOutput;
  }
  ::_close(null);
  ::_setmode(replies, _O_BINARY);
  keepFromChildren(replies);
  return replies;
}

// A pipe's buffer on Windows is fixed by whoever makes the pipe.
void enlargeInputPipe(int, std::size_t) {}

}  // namespace tamberlo
