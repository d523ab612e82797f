// Drives one native host (ours, the floor or the peer) over real pipes, the way a browser does,
// and measures it from outside. Frames are read from a file into memory before the host
// starts, so making them is never timed.
//
//   tamberlo-bench-drive stream FRAMES -- COMMAND...
//       Starts COMMAND, sends every frame of FRAMES as fast as it reads them while reading its
//       replies, closes its input and waits for it to end.
//   tamberlo-bench-drive burst FRAMES -- COMMAND...
//       As stream, but the first frame goes alone and is answered before the rest follow, so
//       that the span from its reply to the last reply is the rate of a port already open.
//   tamberlo-bench-drive lockstep FRAMES -- COMMAND...
//       Starts COMMAND and sends each frame only after the reply to the one before.
//   tamberlo-bench-drive oneshot FRAMES RUNS -- COMMAND...
//       RUNS times: starts COMMAND, sends the first frame, reads one reply, closes its input and
//       waits for it to end.
//
// Prints one JSON object: wall seconds, the child's user and system CPU seconds and peak
// resident memory (KiB), the number of replies, the last reply, and per-message (lockstep) or
// per-run (oneshot) seconds. FRAMES holds frames as the wire carries them: a 4-byte length in
// native byte order, then the bytes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Host/Framing.h"

using tamberlo::readFrame;
using tamberlo::writeAll;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

struct Child {
  pid_t pid = -1;
  int in = -1;   // the child's standard input, our end
  int out = -1;  // the child's standard output, our end
};

Child start(const std::vector<char*>& command) {
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) die("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  Child child;
  if (posix_spawnp(&child.pid, command[0], &actions, nullptr, command.data(), environ) != 0) {
    die("spawn");
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  child.in = toChild[1];
  child.out = fromChild[0];
  return child;
}

struct Usage {
  double user = 0, sys = 0;
  long maxRssKib = 0;
  int status = 0;
};

Usage finish(Child& child) {
  if (child.in >= 0) ::close(child.in);
  child.in = -1;
  int status = 0;
  struct rusage usage {};
  while (::wait4(child.pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) die("wait4");
  }
  if (child.out >= 0) ::close(child.out);
  child.out = -1;
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss, status};
}

// The frames of a file, as spans into a private mapping of it. The frame bytes are not touched
// before the host starts: a child's peak resident memory counts the parent's as it stood at the
// spawn, so the driver must stay small until then.
struct Frames {
  const char* bytes = nullptr;
  size_t size = 0;
  std::vector<std::string_view> frames;  // each with its 4-byte header
};

Frames load(const char* path) {
  Frames f;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) die(path);
  f.size = static_cast<size_t>(st.st_size);
  void* map = ::mmap(nullptr, f.size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) die("mmap");
  f.bytes = static_cast<const char*>(map);
  size_t at = 0;
  while (at + 4 <= f.size) {
    uint32_t length;
    if (::pread(fd, &length, 4, static_cast<off_t>(at)) != 4) die("pread");
    f.frames.emplace_back(f.bytes + at, 4 + length);
    at += 4 + length;
  }
  ::close(fd);
  return f;
}

std::string jsonText(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void print(double wall, const Usage& usage, size_t replies, std::string_view last,
           const std::vector<double>& times, double span = 0) {
  std::printf(
      "{\"wall\":%.6f,\"span\":%.6f,\"user\":%.6f,\"sys\":%.6f,\"maxrss_kib\":%ld,\"status\":%d,"
      "\"replies\":%zu,\"last\":%s,\"times\":[",
      wall, span, usage.user, usage.sys, usage.maxRssKib, usage.status, replies,
      jsonText(last.substr(0, 200)).c_str());
  for (size_t i = 0; i < times.size(); ++i) std::printf(i ? ",%.6f" : "%.6f", times[i]);
  std::printf("]}\n");
}

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

int stream(const Frames& frames, const std::vector<char*>& command, bool burst) {
  auto t0 = Clock::now();
  Child child = start(command);
  std::atomic<size_t> replies = 0;
  std::string last;
  Clock::time_point first, final;
  std::thread reader([&] {
    // Replies are read in large blocks, so that the driver's own system calls do not set the
    // pace of small messages.
    std::vector<char> block(1 << 20);
    std::string pending;
    while (true) {
      ssize_t n = ::read(child.out, block.data(), block.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      final = Clock::now();
      pending.append(block.data(), static_cast<size_t>(n));
      size_t at = 0;
      while (pending.size() - at >= 4) {
        uint32_t length;
        std::memcpy(&length, pending.data() + at, 4);
        if (pending.size() - at - 4 < length) break;
        if (replies.fetch_add(1) == 0) first = final;
        last.assign(pending, at + 4, length);
        at += 4 + length;
      }
      pending.erase(0, at);
    }
  });
  // The frames lie one after the other: they go out in large writes, as a browser's queue of
  // messages would.
  const char* next = frames.frames.front().data();
  if (burst) {
    // The first reply marks the start of the span: the host has started and answered once.
    std::string_view alone = frames.frames.front();
    static_cast<void>(writeAll(child.in, alone));
    while (replies.load() == 0) std::this_thread::yield();
    next += alone.size();
  }
  const char* end = frames.frames.back().data() + frames.frames.back().size();
  while (next < end) {
    size_t piece = std::min<size_t>(end - next, 1 << 20);
    if (!writeAll(child.in, std::string_view(next, piece))) break;
    next += piece;
  }
  ::close(child.in);
  child.in = -1;
  reader.join();
  Usage usage = finish(child);
  double span = replies > 1 ? std::chrono::duration<double>(final - first).count() : 0;
  print(since(t0), usage, replies, last, {}, span);
  return 0;
}

int lockstep(const Frames& frames, const std::vector<char*>& command) {
  auto t0 = Clock::now();
  Child child = start(command);
  std::vector<double> times;
  size_t replies = 0;
  std::string last;
  for (std::string_view f : frames.frames) {
    auto t = Clock::now();
    if (!writeAll(child.in, f)) break;
    std::optional<std::string> reply = readFrame(child.out, std::move(last));
    if (!reply) break;
    last = std::move(*reply);
    times.push_back(since(t));
    ++replies;
  }
  Usage usage = finish(child);
  print(since(t0), usage, replies, last, times);
  return 0;
}

int oneshot(const Frames& frames, int runs, const std::vector<char*>& command) {
  std::vector<double> times;
  Usage total;
  size_t replies = 0;
  std::string last;
  auto t0 = Clock::now();
  for (int i = 0; i < runs; ++i) {
    auto t = Clock::now();
    Child child = start(command);
    std::string_view f = frames.frames.front();
    std::optional<std::string> reply;
    if (writeAll(child.in, f)) reply = readFrame(child.out);
    bool answered = reply.has_value();
    if (answered) last = std::move(*reply);
    Usage usage = finish(child);
    times.push_back(since(t));
    replies += answered ? 1 : 0;
    total.user += usage.user;
    total.sys += usage.sys;
    total.maxRssKib = std::max(total.maxRssKib, usage.maxRssKib);
    total.status |= usage.status;
  }
  print(since(t0), total, replies, last, times);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  int dashes = 1;
  while (dashes < argc && std::string_view(argv[dashes]) != "--") ++dashes;
  if (argc < 4 || dashes + 1 >= argc) {
    std::fprintf(stderr,
                 "usage: tamberlo-bench-drive stream|burst|lockstep|oneshot FRAMES [RUNS] -- "
                 "COMMAND...\n");
    return 2;
  }
  std::vector<char*> command(argv + dashes + 1, argv + argc);
  command.push_back(nullptr);
  std::string_view mode = argv[1];
  Frames frames = load(argv[2]);
  if (frames.frames.empty()) return std::fprintf(stderr, "drive: no frames\n"), 2;
  if (mode == "stream") return stream(frames, command, false);
  if (mode == "burst") return stream(frames, command, true);
  if (mode == "lockstep") return lockstep(frames, command);
  if (mode == "oneshot" && dashes == 4) return oneshot(frames, std::atoi(argv[3]), command);
  std::fprintf(stderr, "drive: unknown mode or missing RUNS\n");
  return 2;
}
