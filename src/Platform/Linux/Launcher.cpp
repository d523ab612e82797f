#include "Platform/Linux/Launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Desktop.h"
#include "Platform/Linux/GioDesktop.h"
#include "Platform/Linux/LinuxFileSystem.h"

namespace tamberlo::launcher {
namespace {

using Clock = std::chrono::steady_clock;

// The launcher's end of the socket pair, once isolate() has run; in a request's process, the
// pipe of its answer.
constexpr int kSocket = 3;

// Closes every descriptor from `first` on.
void closeFrom(int first) {
  if (::close_range(first, ~0U, 0) == 0) return;
  for (int fd = first, last = static_cast<int>(::sysconf(_SC_OPEN_MAX)); fd < last; ++fd) {
    ::close(fd);
  }
}

// /dev/null as standard input, output and error, the socket as descriptor 3 and nothing else.
void isolate(int socket) {
  // Out of the way first, should the socket have been given one of the standard numbers.
  int kept = ::fcntl(socket, F_DUPFD_CLOEXEC, kSocket + 1);
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) {
    if (null >= 0) {
      ::dup2(null, fd);
    } else {
      ::close(fd);
    }
  }
  ::dup3(kept, kSocket, O_CLOEXEC);
  closeFrom(kSocket + 1);
}

// True when `path` names an existing object (links followed) directly in the Downloads folder,
// looked up afresh.
bool isDownloadsChild(const std::string& path) {
  LinuxFileSystem files;
  std::optional<std::string> folder = files.downloadsDirectory();
  if (!folder) return false;
  std::filesystem::path file(path);
  std::filesystem::path name = file.filename();
  if (name.empty() || name == "." || name == "..") return false;
  if (file.parent_path() != std::filesystem::path(files.resolveSymlinks(*folder))) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// One request's work under way in a child process, which writes its one-byte answer into
// `pipe`.
struct Work {
  pid_t pid;
  int pipe;
  uint32_t id;
  Clock::time_point end;
};

void answer(uint32_t id, OpenOutcome outcome) {
  Answer packet{id, static_cast<uint8_t>(outcome)};
  ::send(kSocket, &packet, sizeof packet, MSG_NOSIGNAL);
}

// Does the request in a child process that loads GIO, answers and ends. Nothing when no child
// could be made.
std::optional<Work> start(const Request& request, const std::string& path) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only the answer's pipe is kept; GIO's children get none of it either, and start with
    // the default action for a broken pipe.
    ::dup3(ends[1], kSocket, O_CLOEXEC);
    closeFrom(kSocket + 1);
    std::signal(SIGPIPE, SIG_DFL);
    std::unique_ptr<Desktop> desktop = makeGioDesktop();
    OpenOutcome outcome = OpenOutcome::kOpened;
    if (request.action == Action::kOpen) {
      outcome = desktop->open(path);
    } else {
      desktop->reveal(path);
    }
    uint8_t byte = static_cast<uint8_t>(outcome);
    ssize_t written = ::write(kSocket, &byte, 1);
    static_cast<void>(written);
    // GIO's threads may still run: the process ends here, without unwinding anything.
    ::_exit(0);
  }
  ::close(ends[1]);
  if (pid < 0) {
    ::close(ends[0]);
    return std::nullopt;
  }
  return Work{pid, ends[0], request.id, Clock::now() + std::max(kOpenWait, kRevealWait)};
}

void finish(const Work& work) {
  ::kill(work.pid, SIGKILL);
  while (::waitpid(work.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  ::close(work.pipe);
}

// Takes the next request from the host and answers it or starts its work. False when the host
// has closed its end.
bool take(std::vector<Work>& works) {
  char packet[sizeof(Request) + kMaxPath];
  ssize_t n = ::recv(kSocket, packet, sizeof packet, 0);
  if (n == 0) return false;
  if (n < static_cast<ssize_t>(sizeof(Request))) return true;
  Request request;
  std::memcpy(&request, packet, sizeof request);
  std::string path(packet + sizeof request, packet + n);
  std::optional<Work> work;
  if (isDownloadsChild(path)) work = start(request, path);
  if (work) {
    works.push_back(*work);
  } else {
    answer(request.id, OpenOutcome::kNotOpened);
  }
  return true;
}

// Passes on the answer of each work that has one, and ends the work that has one or is overdue.
void collect(std::vector<Work>& works, const std::vector<pollfd>& polled) {
  Clock::time_point now = Clock::now();
  std::erase_if(works, [&](const Work& work) {
    auto entry = std::find_if(polled.begin(), polled.end(),
                              [&](const pollfd& p) { return p.fd == work.pipe; });
    bool ready = entry != polled.end() && entry->revents != 0;
    if (ready) {
      uint8_t byte;
      if (::read(work.pipe, &byte, 1) == 1) answer(work.id, static_cast<OpenOutcome>(byte));
    }
    if (!ready && now < work.end) return false;
    finish(work);
    return true;
  });
}

}  // namespace

void serve(int socket) {
  isolate(socket);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
  std::vector<Work> works;
  bool hostThere = true;
  while (hostThere || !works.empty()) {
    std::vector<pollfd> polled;
    if (hostThere) polled.push_back({kSocket, POLLIN, 0});
    Clock::time_point next = Clock::time_point::max();
    for (const Work& work : works) {
      polled.push_back({work.pipe, POLLIN, 0});
      next = std::min(next, work.end);
    }
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
    }
    if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) break;
    collect(works, polled);
    if (hostThere && polled.front().revents != 0) hostThere = take(works);
  }
  for (const Work& work : works) finish(work);
  ::_exit(0);
}

}  // namespace tamberlo::launcher
