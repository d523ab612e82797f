// The host's side of the launcher (Launcher.h): open and reveal as requests to it, each waited
// for a bounded time.
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "Platform/Linux/GioDesktop.h"
#include "Platform/Linux/Launcher.h"

namespace tamberlo {
namespace {

using Clock = std::chrono::steady_clock;

// The outcome a launcher's answer byte stands for; anything unknown is no launch.
OpenOutcome outcomeOf(uint8_t byte) {
  switch (static_cast<OpenOutcome>(byte)) {
    case OpenOutcome::kOpened:
    case OpenOutcome::kRefusedProgram:
      return static_cast<OpenOutcome>(byte);
    default:
      return OpenOutcome::kNotOpened;
  }
}

class LauncherDesktop : public Desktop {
 public:
  // The launcher `pid` on the far end of `socket`; none when either is -1.
  LauncherDesktop(pid_t pid, int socket) : pid_(pid), socket_(socket) {}
  ~LauncherDesktop() override {
    if (socket_ >= 0) ::close(socket_);
  }

  OpenOutcome open(const std::string& path) override {
    return ask(launcher::Action::kOpen, path, launcher::kOpenWait)
        .value_or(OpenOutcome::kNotOpened);
  }

  void reveal(const std::string& path) override {
    ask(launcher::Action::kReveal, path, launcher::kRevealWait);
  }

 private:
  // The launcher's answer to the request, or nothing when it gave none within `wait` or is gone.
  // Answers that come after their request was given up are dropped by the next request.
  std::optional<OpenOutcome> ask(launcher::Action action, const std::string& path,
                                 std::chrono::milliseconds wait) {
    if (socket_ < 0 || path.size() > launcher::kMaxPath) return std::nullopt;
    launcher::Request request{++lastId_, action};
    std::string packet(reinterpret_cast<const char*>(&request), sizeof request);
    packet += path;
    if (::send(socket_, packet.data(), packet.size(), MSG_NOSIGNAL) < 0) {
      lose();
      return std::nullopt;
    }
    Clock::time_point deadline = Clock::now() + wait;
    while (true) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd ready = {socket_, POLLIN, 0};
      int polled = ::poll(&ready, 1, static_cast<int>(left));
      if (polled < 0 && errno != EINTR) return std::nullopt;
      if (polled <= 0) continue;
      launcher::Answer answer;
      ssize_t n = ::recv(socket_, &answer, sizeof answer, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        lose();
        return std::nullopt;
      }
      if (n == sizeof answer && answer.id == request.id) return outcomeOf(answer.outcome);
    }
  }

  // The launcher has ended: every later request is answered as it would be without an answer.
  void lose() {
    ::close(socket_);
    socket_ = -1;
    ::waitpid(pid_, nullptr, WNOHANG);
  }

  pid_t pid_;
  int socket_;
  uint32_t lastId_ = 0;
};

}  // namespace

std::unique_ptr<Desktop> makeSystemDesktop() { return startLauncherDesktop(); }

std::unique_ptr<Desktop> startLauncherDesktop() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    return std::make_unique<LauncherDesktop>(-1, -1);
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ends[0]);
    launcher::serve(ends[1]);
  }
  ::close(ends[1]);
  if (pid < 0) {
    ::close(ends[0]);
    return std::make_unique<LauncherDesktop>(-1, -1);
  }
  return std::make_unique<LauncherDesktop>(pid, ends[0]);
}

}  // namespace tamberlo
