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
//   tamberlo-bench-drive channel SOURCE ORIGIN -- COMMAND...
//       Starts COMMAND ORIGIN, as Chromium starts a host for an extension, asks for its channel
//       and begins video.bin over the pipe, then sends SOURCE's bytes over the channel (a
//       WebSocket with ORIGIN as its Origin) in messages of 8 MiB, at most 3 of them not yet
//       acknowledged, as the client library does; after the last acknowledgement it closes the
//       socket and ends the transfer over the pipe.
//   tamberlo-bench-drive tcp SOURCE -- COMMAND...
//       The channel's floor: starts COMMAND, reads the port it listens on (a line on its
//       standard output), sends SOURCE's bytes there over plain TCP in writes of 8 MiB, shuts
//       the connection down and waits for COMMAND to end.
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
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>
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

using tamberlo::appendFrame;
using tamberlo::readFrame;
using tamberlo::writeAll;

namespace json = boost::json;
namespace net = boost::asio;
namespace websocket = boost::beast::websocket;

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

// A file's bytes, mapped; touched only once the host runs.
std::string_view mapFile(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) die(path);
  void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) die("mmap");
  ::close(fd);
  return {static_cast<const char*>(map), static_cast<size_t>(st.st_size)};
}

constexpr size_t kPieceBytes = 8 << 20;
constexpr size_t kInFlight = 3;

// One request over the pipe, its reply parsed.
json::object ask(Child& child, std::string_view request) {
  std::string frame;
  appendFrame(frame, request);
  std::optional<std::string> reply;
  if (writeAll(child.in, frame)) reply = readFrame(child.out);
  if (!reply) {
    std::fprintf(stderr, "drive: no reply to %.*s\n", static_cast<int>(request.size()),
                 request.data());
    std::exit(1);
  }
  json::value value = json::parse(*reply);
  if (!value.is_object() || value.as_object().if_contains("ok") == nullptr ||
      !value.as_object().at("ok").as_bool()) {
    std::fprintf(stderr, "drive: %.*s answered %s\n", static_cast<int>(request.size()),
                 request.data(), reply->c_str());
    std::exit(1);
  }
  return value.as_object();
}

int channel(std::string_view source, const char* origin, std::vector<char*> command) {
  command.insert(command.end() - 1, const_cast<char*>(origin));
  auto t0 = Clock::now();
  Child child = start(command);
  json::object offer = ask(child, R"({"type":"file.write.channel"})");
  json::object begun = ask(child, R"({"type":"file.write.begin","name":"video.bin"})");
  std::string url(offer.at("url").as_string());  // ws://127.0.0.1:PORT/
  std::string token(offer.at("token").as_string());
  std::string part(begun.at("part").as_string());
  std::string authority = url.substr(5, url.size() - 6);
  std::string port = authority.substr(authority.find(':') + 1);

  net::io_context io;
  websocket::stream<net::ip::tcp::socket> ws(io);
  net::ip::tcp::resolver resolver(io);
  net::connect(ws.next_layer(), resolver.resolve("127.0.0.1", port));
  ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
    std::string_view o = origin;
    if (o.ends_with('/')) o.remove_suffix(1);
    request.set(boost::beast::http::field::origin, o);
  }));
  // A browser sends each message as one frame.
  ws.auto_fragment(false);
  ws.write_buffer_bytes(1 << 20);
  ws.handshake(authority, "/");
  boost::beast::flat_buffer buffer;
  uint64_t acknowledged = 0;
  auto nextAck = [&] {
    buffer.clear();
    ws.read(buffer);
    json::value reply = json::parse(boost::beast::buffers_to_string(buffer.data()));
    if (!reply.as_object().at("ok").as_bool()) {
      std::fprintf(stderr, "drive: the channel answered %s\n", json::serialize(reply).c_str());
      std::exit(1);
    }
    acknowledged = reply.as_object().at("size").to_number<uint64_t>();
  };
  ws.text(true);
  ws.write(
      net::buffer(json::serialize(json::object{{"token", token}, {"part", part}, {"offset", 0}})));
  nextAck();
  ws.binary(true);
  std::vector<uint64_t> unacknowledged;
  uint64_t sent = 0;
  for (size_t at = 0; at < source.size(); at += kPieceBytes) {
    size_t piece = std::min(kPieceBytes, source.size() - at);
    ws.write(net::buffer(source.data() + at, piece));
    sent += piece;
    unacknowledged.push_back(sent);
    while (unacknowledged.size() >= kInFlight) {
      nextAck();
      std::erase_if(unacknowledged, [&](uint64_t end) { return end <= acknowledged; });
    }
  }
  while (acknowledged < sent) nextAck();
  ws.close(websocket::close_code::normal);
  // The close's answer comes after the host let go of the part file.
  for (boost::system::error_code error; !error;) {
    buffer.clear();
    ws.read(buffer, error);
  }
  json::object end =
      ask(child,
          json::serialize(json::object{
              {"type", "file.write.end"}, {"part", part}, {"name", "video.bin"}, {"size", sent}}));
  Usage usage = finish(child);
  print(since(t0), usage, 1, json::serialize(end), {});
  return 0;
}

int tcp(std::string_view source, const std::vector<char*>& command) {
  auto t0 = Clock::now();
  Child child = start(command);
  char line[32] = {};
  size_t got = 0;
  while (got < sizeof line - 1 && (got == 0 || line[got - 1] != '\n')) {
    ssize_t n = ::read(child.out, line + got, sizeof line - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("drive: no port from the floor");
    got += static_cast<size_t>(n);
  }
  net::io_context io;
  net::ip::tcp::socket socket(io);
  socket.connect({net::ip::make_address("127.0.0.1"), static_cast<uint16_t>(std::atoi(line))});
  for (size_t at = 0; at < source.size(); at += kPieceBytes) {
    net::write(socket, net::buffer(source.data() + at, std::min(kPieceBytes, source.size() - at)));
  }
  socket.shutdown(net::ip::tcp::socket::shutdown_send);
  Usage usage = finish(child);
  print(since(t0), usage, 0, "", {});
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
                 "COMMAND...\n"
                 "       tamberlo-bench-drive channel SOURCE ORIGIN -- COMMAND...\n"
                 "       tamberlo-bench-drive tcp SOURCE -- COMMAND...\n");
    return 2;
  }
  std::vector<char*> command(argv + dashes + 1, argv + argc);
  command.push_back(nullptr);
  std::string_view mode = argv[1];
  try {
    if (mode == "channel" && dashes == 4) return channel(mapFile(argv[2]), argv[3], command);
    if (mode == "tcp" && dashes == 3) return tcp(mapFile(argv[2]), command);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "drive: %s\n", error.what());
    return 1;
  }
  Frames frames = load(argv[2]);
  if (frames.frames.empty()) return std::fprintf(stderr, "drive: no frames\n"), 2;
  if (mode == "stream") return stream(frames, command, false);
  if (mode == "burst") return stream(frames, command, true);
  if (mode == "lockstep") return lockstep(frames, command);
  if (mode == "oneshot" && dashes == 4) return oneshot(frames, std::atoi(argv[3]), command);
  std::fprintf(stderr, "drive: unknown mode or missing RUNS\n");
  return 2;
}
