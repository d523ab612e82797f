// The host's confinement. A child of the test confines itself exactly as the host does and then
// tries every way out it can think of; the real host is looked at from outside while it serves.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <seccomp.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "Platform/Confinement.h"
#include "Platform/Linux/JournalSink.h"
#include "Platform/Linux/Sandbox.h"
#include "support/TestSupport.h"

namespace tamberlo::testing {
namespace {

namespace fs = std::filesystem;

bool kernelHasLandlock() { return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) >= 1; }

// 0 when a call succeeded, else the error it set.
int outcome(bool succeeded) { return succeeded ? 0 : errno; }

int list(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return errno;
  while (::readdir(dir) != nullptr) {
  }
  ::closedir(dir);
  return 0;
}

int renameNoReplace(const std::string& from, const std::string& to) {
  return outcome(::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0);
}

int run(const char* program) {
  pid_t pid;
  char* argv[] = {const_cast<char*>(program), nullptr};
  int failed = ::posix_spawn(&pid, program, nullptr, nullptr, argv, nullptr);
  if (failed == 0) ::waitpid(pid, nullptr, 0);
  return failed;
}

// A local datagram socket bound at `path`, non-blocking, as a journal or another local service.
int boundDatagramSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// The datagrams waiting on `fd`.
std::vector<std::string> received(int fd) {
  std::vector<std::string> datagrams;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
    datagrams.emplace_back(buffer, n);
  }
  return datagrams;
}

// A TCP socket bound to a loopback port chosen by the kernel, not listening yet.
int boundTcpSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// 0 when `fd` accepts or has no connection waiting, else the error.
int acceptOn(int fd) {
  int connection = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return connection >= 0 || errno == EAGAIN ? 0 : errno;
}

struct Attempt {
  std::string what;
  bool allowed;
  std::function<int()> run;  // 0 on success, else the error
};

TEST(ConfinementTest, OnlyDownloadsAndTheUserDirsFileStayWithinReach) {
  if (!kernelHasLandlock()) GTEST_SKIP() << "the kernel has no Landlock";
  FakeHome home;
  std::string userDirs = home.home() + "/.config/user-dirs.dirs";
  fs::create_directory(home.home() + "/.config");
  writeFile(userDirs, "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n");
  std::string outside = home.home() + "/outside";
  fs::create_directory(outside);
  std::string secret = outside + "/secret.txt";
  writeFile(secret, "secret\n");
  writeFile(home / "kept.mp4", "kept\n");
  std::string part = home / "clip.mp4.part";
  int fd = -1;
  // Held from before the restriction, as the host holds them: its journal's socket, a socket
  // granted for listening, and two sockets that are not granted (one already listening).
  int journal = boundDatagramSocket(home.home() + "/journal");
  int other = boundDatagramSocket(outside + "/service");
  ASSERT_GE(journal, 0);
  ASSERT_GE(other, 0);
  JournalSink sink(home.home() + "/journal");
  ASSERT_TRUE(sink.connected());
  const int journalFd = sink.descriptor();
  sockaddr_un otherUn{};
  otherUn.sun_family = AF_UNIX;
  std::strncpy(otherUn.sun_path, (outside + "/service").c_str(), sizeof otherUn.sun_path - 1);
  const sockaddr* otherAddress = reinterpret_cast<const sockaddr*>(&otherUn);
  const socklen_t otherSize = sizeof otherUn;
  char byte = 'x';
  iovec piece{&byte, 1};
  msghdr toOther{};
  toOther.msg_name = &otherUn;
  toOther.msg_namelen = otherSize;
  toOther.msg_iov = &piece;
  toOther.msg_iovlen = 1;
  int listener = boundTcpSocket();
  int unlisted = boundTcpSocket();
  int unlistedListening = boundTcpSocket();
  ASSERT_GE(listener, 0);
  ASSERT_GE(unlisted, 0);
  ASSERT_EQ(::listen(unlistedListening, 1), 0);

  const std::vector<Attempt> attempts = {
      {"create in Downloads", true,
       [&] {
         fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
         return outcome(fd >= 0);
       }},
      {"write in Downloads", true, [&] { return outcome(::pwrite(fd, "abcdef", 6, 0) == 6); }},
      {"truncate in Downloads", true, [&] { return outcome(::ftruncate(fd, 3) == 0); }},
      {"lock a part file", true, [&] { return outcome(::flock(fd, LOCK_EX | LOCK_NB) == 0); }},
      {"rename in Downloads without replacing", true,
       [&] { return renameNoReplace(part, home / "clip.mp4"); }},
      {"list Downloads", true, [&] { return list(home.downloads()); }},
      {"unlink in Downloads", true,
       [&] { return outcome(::unlink((home / "clip.mp4").c_str()) == 0); }},
      {"read the user-dirs file", true,
       [&] { return outcome(::open(userDirs.c_str(), O_RDONLY | O_CLOEXEC) >= 0); }},
      {"send a line on the journal's socket", true,
       [&] { return outcome(::send(journalFd, "MESSAGE=a\n", 10, MSG_NOSIGNAL) == 10); }},
      {"listen on the granted socket", true, [&] { return outcome(::listen(listener, 1) == 0); }},
      {"accept on the granted socket", true, [&] { return acceptOn(listener); }},

      {"read a file outside", false,
       [&] { return outcome(::open(secret.c_str(), O_RDONLY | O_CLOEXEC) >= 0); }},
      {"write a file outside", false,
       [&] { return outcome(::open(secret.c_str(), O_WRONLY | O_CLOEXEC) >= 0); }},
      {"create a file outside", false,
       [&] {
         std::string path = home.home() + "/new.txt";
         return outcome(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) >= 0);
       }},
      {"list a folder outside", false, [&] { return list(outside); }},
      {"list the home folder", false, [&] { return list(home.home()); }},
      {"rename out of Downloads", false,
       [&] { return renameNoReplace(home / "kept.mp4", outside + "/kept.mp4"); }},
      {"rename into Downloads", false,
       [&] { return renameNoReplace(secret, home / "secret.txt"); }},
      {"cut back a file outside by its path", false,
       [&] { return outcome(::truncate(secret.c_str(), 0) == 0); }},
      {"change a file's mode outside", false,
       [&] { return outcome(::chmod(secret.c_str(), 0666) == 0); }},
      {"make a symbolic link in Downloads", false,
       [&] { return outcome(::symlink(secret.c_str(), (home / "link").c_str()) == 0); }},
      {"make a folder in Downloads", false,
       [&] { return outcome(::mkdir((home / "folder").c_str(), 0755) == 0); }},
      {"run a program", false, [] { return run("/bin/true"); }},
      {"make a TCP socket", false, [] { return outcome(::socket(AF_INET, SOCK_STREAM, 0) >= 0); }},
      {"make a UDP socket", false, [] { return outcome(::socket(AF_INET6, SOCK_DGRAM, 0) >= 0); }},
      {"make a local stream socket", false,
       [] { return outcome(::socket(AF_UNIX, SOCK_STREAM, 0) >= 0); }},
      {"make a local datagram socket", false,
       [] { return outcome(::socket(AF_UNIX, SOCK_DGRAM, 0) >= 0); }},
      {"send to another address on the journal's socket", false,
       [&] {
         return outcome(::sendto(journalFd, "x", 1, MSG_NOSIGNAL, otherAddress, otherSize) == 1);
       }},
      {"sendmsg on the journal's socket", false,
       [&] { return outcome(::sendmsg(journalFd, &toOther, MSG_NOSIGNAL) == 1); }},
      {"sendmsg on the journal's socket, its number's high bits set", false,
       [&] {
         long fd = (1L << 32) | journalFd;
         return outcome(::syscall(SYS_sendmsg, fd, &toOther, MSG_NOSIGNAL) == 1);
       }},
      {"copy the journal's descriptor", false,
       [&] { return outcome(::fcntl(journalFd, F_DUPFD_CLOEXEC, 0) >= 0); }},
      {"copy the journal's descriptor with dup", false,
       [&] { return outcome(::dup(journalFd) >= 0); }},
      {"listen on another socket", false, [&] { return outcome(::listen(unlisted, 1) == 0); }},
      {"accept on another socket", false, [&] { return acceptOn(unlistedListening); }},
      {"connect a socket it holds", false,
       [&] { return outcome(::connect(journalFd, otherAddress, otherSize) == 0); }},
      {"bind a socket it holds", false,
       [&] {
         sockaddr_in any{};
         any.sin_family = AF_INET;
         return outcome(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0);
       }},
  };

  int results[2];
  ASSERT_EQ(::pipe2(results, O_CLOEXEC), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Sandbox::Grants grants;
    grants.readWrite = home.downloads();
    grants.readOnly = {userDirs};
    grants.journal = journalFd;
    grants.listener = listener;
    Sandbox::Outcome confined = Sandbox::confine(grants);
    if (!confined.files || !confined.calls) ::_exit(3);
    for (const Attempt& attempt : attempts) {
      int error = attempt.run();
      if (::write(results[1], &error, sizeof error) != sizeof error) ::_exit(2);
    }
    // A normal exit: a sanitizer's checks at exit run inside the sandbox too.
    std::exit(0);
  }
  ::close(results[1]);
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.what);
    int error = -1;
    ASSERT_EQ(::read(results[0], &error, sizeof error), static_cast<ssize_t>(sizeof error));
    if (attempt.allowed) {
      EXPECT_EQ(error, 0) << std::strerror(error);
    } else {
      EXPECT_NE(error, 0);
    }
  }
  ::close(results[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readFile(secret), "secret\n");
  EXPECT_EQ(listNames(outside), (std::vector<std::string>{"secret.txt", "service"}));
  EXPECT_EQ(received(journal), std::vector<std::string>{"MESSAGE=a\n"});
  EXPECT_EQ(received(other), std::vector<std::string>{});
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{"kept.mp4"});
}

// The line of /proc/PID/status for `field`, its value only.
std::string statusField(pid_t pid, const std::string& field) {
  std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("\n" + field + ":");
  if (at == std::string::npos) return "";
  size_t start = status.find_first_not_of(" \t", at + field.size() + 2);
  return status.substr(start, status.find('\n', start) - start);
}

// The real host, while it serves: confined, and held to the Downloads folder it found at start
// when the setting moves the folder later.
TEST(ConfinementTest, TheHostServesConfinedToTheDownloadsFolderOfItsStart) {
  if (!kernelHasLandlock()) GTEST_SKIP() << "the kernel has no Landlock";
  TempDir home;
  std::map<std::string, std::string> env = homeAt(home);
  fs::create_directories(home / "Downloads");
  fs::create_directories(home / "Elsewhere");
  fs::create_directories(env["XDG_CONFIG_HOME"]);
  std::string userDirs = env["XDG_CONFIG_HOME"] + "/user-dirs.dirs";
  writeFile(userDirs, "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n");
  HostProcess host(env);
  EXPECT_EQ(host.request(R"({"type":"file.write.begin","name":"a.mp4"})"),
            boost::json::parse(R"({"ok":true,"part":"a.mp4.part"})"));
  EXPECT_EQ(statusField(host.pid(), "NoNewPrivs"), "1");
  EXPECT_EQ(statusField(host.pid(), "Seccomp"), "2");

  // A change of the setting reaches the next host; this one keeps the folder it was confined to.
  writeFile(userDirs, "XDG_DOWNLOAD_DIR=\"$HOME/Elsewhere\"\n");
  EXPECT_EQ(host.request(R"({"type":"file.write.begin","name":"b.mp4"})"),
            boost::json::parse(R"({"ok":true,"part":"b.mp4.part"})"));
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_EQ(listNames(home / "Downloads"), (std::vector<std::string>{"a.mp4.part", "b.mp4.part"}));
  EXPECT_EQ(listNames(home / "Elsewhere"), std::vector<std::string>{});
}

// A kernel without Landlock, without seccomp filters, or without either, as the host sees it
// when its calls for them fail the way such a kernel fails them: the host serves as usual and
// says once what it runs without.
TEST(ConfinementTest, AKernelWithoutTheSandboxStillServesAndSaysSo) {
#ifdef TAMBERLO_EMULATED
  GTEST_SKIP() << "the emulator offers neither Landlock nor seccomp to simulate their absence";
#endif
  if (::access("/run/systemd/journal/socket", W_OK) == 0) {
    GTEST_SKIP() << "the host logs to the journal here";
  }
  struct Case {
    bool landlock;
    bool seccomp;
    std::string line;  // the host's note on standard error
  };
  const std::string kNote = "tamberlo.host safari-extension info: sandbox: ";
  const std::vector<Case> cases = {
      {false, true, kNote + "Landlock not available; the host runs without it\n"},
      {true, false, kNote + "seccomp not available; the host runs without it\n"},
      {false, false, kNote + "Landlock and seccomp not available; the host runs without it\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TempDir home;
    fs::create_directories(home / "Downloads");
    int results[2];
    ASSERT_EQ(::pipe2(results, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The host started from here inherits this filter, and finds the kernel without the parts
      // it denies.
      scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
      if (!c.landlock) {
        ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset), 0);
      }
      if (!c.seccomp) {
        ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(seccomp), 0);
        ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EINVAL), SCMP_SYS(prctl), 1,
                           SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP));
      }
      if (::seccomp_load(filter) != 0) ::_exit(2);
      std::string seen;
      {
        HostProcess host(homeAt(home));
        seen = boost::json::serialize(host.request(R"({"type":"file.write.begin","name":"a"})"));
        host.closeInput();
        seen += " " + std::to_string(host.wait()) + " " + readFile(host.stderrPath());
      }
      ssize_t written = ::write(results[1], seen.data(), seen.size());
      ::_exit(written == static_cast<ssize_t>(seen.size()) ? 0 : 2);
    }
    ::close(results[1]);
    std::string seen;
    char piece[4096];
    for (ssize_t n; (n = ::read(results[0], piece, sizeof piece)) > 0;) seen.append(piece, n);
    ::close(results[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(seen, R"({"ok":true,"part":"a.part"} 0 )" + c.line +
                        "tamberlo.host safari-extension info: file.write.begin <private>\n");
  }
}

// The journal's native entries as they arrive on a socket of the test's own: one datagram per
// line, every field of the line, a value holding a line end in the binary-safe form.
TEST(ConfinementTest, TheJournalGetsNativeEntriesOnTheSocketItConnected) {
  struct Case {
    LogLevel level;
    std::string line;
    std::string datagram;
  };
  const std::string kFields =
      "SYSLOG_IDENTIFIER=tamberlo.host\nTAMBERLO_CATEGORY=safari-extension\n";
  const std::vector<Case> cases = {
      {LogLevel::kInfo, "file.write.begin <private>",
       "MESSAGE=file.write.begin <private>\nPRIORITY=6\n" + kFields},
      {LogLevel::kError, "a\nb",
       std::string("MESSAGE\n\x03\0\0\0\0\0\0\0a\nb\nPRIORITY=3\n", 31) + kFields},
  };
  TempDir dir;
  int journal = boundDatagramSocket(dir / "journal");
  ASSERT_GE(journal, 0);
  JournalSink sink(dir / "journal");
  ASSERT_TRUE(sink.connected());
  for (const Case& c : cases) {
    sink.write(c.level, "tamberlo.host", "safari-extension", c.line);
    EXPECT_EQ(received(journal), std::vector<std::string>{c.datagram});
  }
  EXPECT_FALSE(JournalSink(dir / "none").connected());
  ::close(journal);
}

// The host taken over: a library preloaded into the real host attacks from inside once the host
// has confined itself, one attack per host, with its standard error a terminal whose other end
// the test holds. Each attack is refused by the call filter, and the file outside Downloads, the
// other process of the user, the terminal and a local datagram service outside stay untouched.
TEST(ConfinementTest, ATakenOverHostReachesNothingOutsideItsSandbox) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer build's filter lets the leak checker trace and signal (wider by design), and
  // its runtime must load before any preloaded library: the attack is played on the real build.
  GTEST_SKIP() << "the sanitizer build's filter is not the one shipped";
#endif
#ifdef TAMBERLO_EMULATED
  // qemu-user runs the host's calls itself and installs no filter the host asks for.
  GTEST_SKIP() << "the emulator offers no seccomp: nothing here would be refused";
#endif
  const std::vector<std::string> attacks = {
#if defined(SYS_chmod)
    // Newer architectures (64-bit ARM) have only the "at" form.
    "chmod",
#endif
    "fchmodat",
    "fchmodat2",
#if defined(__x86_64__)
    "chmod as x32",
#endif
    "utimensat",
    "setxattr",
    "lsetxattr",
    "TIOCSTI",
    "prlimit64",
    "setpriority",
    "inotify",
    "sendto",
    "socket",
    "connect",
    "io_uring_setup",
    "memfd_create and execveat",
    "process_vm_writev",
    "ptrace",
    "fork",
    "call 1000",
  };
  TempDir home;
  fs::create_directories(home / "Downloads");
  fs::create_directories(home / ".ssh");
  std::string key = home / ".ssh/id_rsa";
  writeFile(key, "key\n");
  ::chmod(key.c_str(), 0600);
  struct stat before;
  ASSERT_EQ(::stat(key.c_str(), &before), 0);
  int service = boundDatagramSocket(home / "service");
  ASSERT_GE(service, 0);
  // A terminal: the host's standard error is its far end; what is typed into it would be read
  // from the end the test holds.
  int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  std::string far = ::ptsname(terminal);
  int typed = ::open(far.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(typed, 0);
  termios raw;
  ASSERT_EQ(::tcgetattr(typed, &raw), 0);
  ::cfmakeraw(&raw);
  ASSERT_EQ(::tcsetattr(typed, TCSANOW, &raw), 0);
  // Another process of the user.
  pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    ::pause();
    ::_exit(0);
  }
  std::string limits = readFile("/proc/" + std::to_string(other) + "/limits");
  int nice = ::getpriority(PRIO_PROCESS, other);

  for (const std::string& attack : attacks) {
    SCOPED_TRACE(attack);
    std::string report = home / "report";
    std::map<std::string, std::string> env = homeAt(home);
    env["LD_PRELOAD"] = TAMBERLO_ATTACKER;
    env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    env["TAMBERLO_ATTACK"] = attack;
    env["TAMBERLO_ATTACK_REPORT"] = report;
    env["TAMBERLO_ATTACK_TARGET"] = key;
    env["TAMBERLO_ATTACK_PID"] = std::to_string(other);
    env["TAMBERLO_ATTACK_SOCKET"] = home / "service";
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      if (!env.contains(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, typed, 2);
    char* argv[] = {const_cast<char*>(TAMBERLO_HOST), nullptr};
    pid_t host;
    ASSERT_EQ(::posix_spawn(&host, TAMBERLO_HOST, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(::waitpid(host, &status, 0), host);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(readFile(report), std::to_string(ENOSYS));
    struct stat after;
    ASSERT_EQ(::stat(key.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_LT(::getxattr(key.c_str(), "user.pwned", nullptr, 0), 0);
    char input;
    EXPECT_LT(::read(typed, &input, 1), 0) << "typed into the terminal: " << input;
    EXPECT_EQ(readFile("/proc/" + std::to_string(other) + "/limits"), limits);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, other), nice);
    EXPECT_EQ(received(service), std::vector<std::string>{});
  }
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  ::close(typed);
  ::close(terminal);
  ::close(service);
}

}  // namespace
}  // namespace tamberlo::testing
