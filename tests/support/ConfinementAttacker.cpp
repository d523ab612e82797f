// Preloaded into the real host by ConfinementTest, this library plays a host taken over: on the
// host's first read of standard input (after it has confined itself) it makes the one attack
// that TAMBERLO_ATTACK names and writes its outcome, 0 or the error, to the file that
// TAMBERLO_ATTACK_REPORT names (opened at load, before the confinement).
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int report = -1;

int outcome(bool succeeded) { return succeeded ? 0 : errno; }

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// Tries `call` on every descriptor a host could hold: 0 when it worked on any, else the last
// error.
template <typename Call>
int onEveryDescriptor(Call call) {
  int error = 0;
  for (int fd = 0; fd < 64; ++fd) {
    if (call(fd)) return 0;
    error = errno;
  }
  return error;
}

int attack(const std::string& name) {
  std::string target = env("TAMBERLO_ATTACK_TARGET");
  const char* path = target.c_str();
  pid_t other = static_cast<pid_t>(std::atoi(env("TAMBERLO_ATTACK_PID").c_str()));
  sockaddr_un peer = addressOf(env("TAMBERLO_ATTACK_SOCKET"));
  const sockaddr* peerAddress = reinterpret_cast<const sockaddr*>(&peer);
#if defined(SYS_chmod)
  if (name == "chmod") return outcome(::syscall(SYS_chmod, path, 0666) == 0);
#endif
  if (name == "fchmodat") return outcome(::syscall(SYS_fchmodat, AT_FDCWD, path, 0666) == 0);
  if (name == "fchmodat2") return outcome(::syscall(452, AT_FDCWD, path, 0666, 0) == 0);
#if defined(__x86_64__)
  if (name == "chmod as x32") return outcome(::syscall(0x40000000 | SYS_chmod, path, 0666) == 0);
#endif
  if (name == "utimensat") {
    timespec times[2] = {{0, 0}, {0, 0}};
    return outcome(::utimensat(AT_FDCWD, path, times, 0) == 0);
  }
  if (name == "setxattr") return outcome(::setxattr(path, "user.pwned", "1", 1, 0) == 0);
  if (name == "lsetxattr") return outcome(::lsetxattr(path, "user.pwned", "1", 1, 0) == 0);
  if (name == "TIOCSTI") {
    return onEveryDescriptor([](int fd) { return ::ioctl(fd, TIOCSTI, "x") == 0; });
  }
  if (name == "prlimit64") {
    rlimit cpu{1, 1};
    return outcome(::prlimit(other, RLIMIT_CPU, &cpu, nullptr) == 0);
  }
  if (name == "setpriority") return outcome(::setpriority(PRIO_PROCESS, other, 19) == 0);
  if (name == "inotify") {
    int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0) return errno;
    return outcome(::inotify_add_watch(fd, env("HOME").c_str(), IN_ALL_EVENTS) >= 0);
  }
  if (name == "sendto") {
    return onEveryDescriptor(
        [&](int fd) { return ::sendto(fd, "x", 1, MSG_NOSIGNAL, peerAddress, sizeof peer) == 1; });
  }
  if (name == "socket") return outcome(::socket(AF_UNIX, SOCK_DGRAM, 0) >= 0);
  if (name == "connect") {
    return onEveryDescriptor([&](int fd) { return ::connect(fd, peerAddress, sizeof peer) == 0; });
  }
  if (name == "io_uring_setup") {
    io_uring_params params{};
    return outcome(::syscall(SYS_io_uring_setup, 1, &params) >= 0);
  }
  if (name == "memfd_create and execveat") {
    int fd = ::memfd_create("x", 0);
    if (fd < 0) return errno;
    char* argv[] = {nullptr};
    return outcome(::syscall(SYS_execveat, fd, "", argv, argv, AT_EMPTY_PATH) == 0);
  }
  if (name == "process_vm_writev") {
    char byte = 0;
    iovec local{&byte, 1};
    iovec remote{reinterpret_cast<void*>(0x10000), 1};
    return outcome(::process_vm_writev(other, &local, 1, &remote, 1, 0) >= 0);
  }
  if (name == "ptrace") return outcome(::ptrace(PTRACE_ATTACH, other, nullptr, nullptr) == 0);
  if (name == "fork") {
    pid_t child = static_cast<pid_t>(::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0));
    if (child == 0) ::_exit(0);
    return outcome(child > 0);
  }
  if (name == "call 1000") return outcome(::syscall(1000) == 0);
  return -1;
}

__attribute__((constructor)) void openReport() {
  report =
      ::open(env("TAMBERLO_ATTACK_REPORT").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

}  // namespace

extern "C" ssize_t read(int fd, void* into, size_t size) {
  using Read = ssize_t (*)(int, void*, size_t);
  static Read real = reinterpret_cast<Read>(::dlsym(RTLD_NEXT, "read"));
  static bool attacked = false;
  if (fd == 0 && !attacked) {
    attacked = true;
    std::string result = std::to_string(attack(env("TAMBERLO_ATTACK")));
    if (::write(report, result.data(), result.size()) < 0) ::_exit(3);
  }
  return real(fd, into, size);
}
