// The physical floor for the host's two heavy jobs on this machine: what any program must at
// least spend to take the same frames from the same kind of pipe and do the unavoidable disk
// work, with no parsing and no decoding.
//
//   tamberlo-bench-floor save FOLDER  reads frames from standard input and writes three quarters
//                                     of each frame's bytes (what its base64 decodes to, give or
//                                     take the JSON around it) to FOLDER/floor.bin, one after
//                                     the other; at end of input it flushes the file and the
//                                     folder, as the host does when a transfer ends.
//   tamberlo-bench-floor list FOLDER  for each frame on standard input, reads FOLDER's entries
//                                     once and answers with a fixed reply frame.
//   tamberlo-bench-floor socket FOLDER
//                                     the channel's floor: listens on a loopback TCP port, says
//                                     which on standard output (a line), takes one connection
//                                     and writes all it reads to FOLDER/floor.bin; at its end
//                                     it flushes the file and the folder.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

bool readFully(int fd, char* into, size_t length) {
  while (length > 0) {
    ssize_t n = ::read(fd, into, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool writeFully(int fd, const char* from, size_t length, uint64_t offset) {
  while (length > 0) {
    ssize_t n = ::pwrite(fd, from, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    from += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// A buffer grown to the largest frame, never beyond it, and never copied or zero-filled.
struct Buffer {
  std::unique_ptr<char[]> bytes;
  size_t capacity = 0;
};

// The next frame's bytes in `buffer`; false at end of input.
bool nextFrame(Buffer& buffer, size_t& length) {
  uint32_t header;
  if (!readFully(STDIN_FILENO, reinterpret_cast<char*>(&header), sizeof header)) return false;
  if (buffer.capacity < header) {
    buffer.bytes.reset();
    buffer.bytes = std::make_unique_for_overwrite<char[]>(header);
    buffer.capacity = header;
  }
  length = header;
  return readFully(STDIN_FILENO, buffer.bytes.get(), length);
}

// Flushes the file and the folder that holds it, as the host does when a transfer ends.
int flush(int fd, const std::string& folder) {
  if (::fdatasync(fd) != 0) return std::perror("floor: fdatasync"), 1;
  ::close(fd);
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || ::fsync(dir) != 0) return std::perror("floor: fsync folder"), 1;
  ::close(dir);
  return 0;
}

int save(const std::string& folder) {
  std::string path = folder + "/floor.bin";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::perror("floor: open"), 1;
  Buffer buffer;
  size_t length = 0;
  uint64_t offset = 0;
  while (nextFrame(buffer, length)) {
    size_t bytes = length / 4 * 3;
    if (!writeFully(fd, buffer.bytes.get(), bytes, offset)) return std::perror("floor: write"), 1;
    offset += bytes;
  }
  return flush(fd, folder);
}

int socket(const std::string& folder) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return std::perror("floor: listen"), 1;
  }
  std::printf("%u\n", ntohs(address.sin_port));
  std::fflush(stdout);
  int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (peer < 0) return std::perror("floor: accept"), 1;
  ::close(listener);
  std::string path = folder + "/floor.bin";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::perror("floor: open"), 1;
  // As large as a message of the channel.
  constexpr size_t kBuffer = 8 << 20;
  auto buffer = std::make_unique_for_overwrite<char[]>(kBuffer);
  uint64_t offset = 0;
  for (;;) {
    ssize_t n = ::read(peer, buffer.get(), kBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::perror("floor: read"), 1;
    if (n == 0) break;
    if (!writeFully(fd, buffer.get(), static_cast<size_t>(n), offset)) {
      return std::perror("floor: write"), 1;
    }
    offset += static_cast<uint64_t>(n);
  }
  ::close(peer);
  return flush(fd, folder);
}

int list(const std::string& folder) {
  constexpr std::string_view kReply = R"({"exists":false})";
  Buffer buffer;
  size_t length = 0;
  while (nextFrame(buffer, length)) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return std::perror("floor: opendir"), 1;
    size_t seen = 0;
    while (::readdir(dir) != nullptr) ++seen;
    ::closedir(dir);
    char out[4 + kReply.size()];
    uint32_t header = kReply.size();
    std::memcpy(out, &header, 4);
    std::memcpy(out + 4, kReply.data(), kReply.size());
    if (::write(STDOUT_FILENO, out, sizeof out) != static_cast<ssize_t>(sizeof out)) return 0;
    if (seen == 0) return 1;  // not even "." and "..": the folder was not read
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tamberlo-bench-floor save|list|socket FOLDER\n");
    return 2;
  }
  std::string_view mode = argv[1];
  if (mode == "save") return save(argv[2]);
  if (mode == "list") return list(argv[2]);
  if (mode == "socket") return socket(argv[2]);
  std::fprintf(stderr, "floor: unknown mode %s\n", argv[1]);
  return 2;
}
