// The host's confinement. A child of the test confines itself exactly as the host does and then
// tries every way out it can think of; the real host is looked at from outside while it serves.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <seccomp.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "Host/Confinement.h"
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

  const std::vector<Attempt> attempts = {
      {"create in Downloads", true,
       [&] {
         fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
         return outcome(fd >= 0);
       }},
      {"write in Downloads", true, [&] { return outcome(::pwrite(fd, "abcdef", 6, 0) == 6); }},
      {"truncate in Downloads", true, [&] { return outcome(::ftruncate(fd, 3) == 0); }},
      {"rename in Downloads without replacing", true,
       [&] { return renameNoReplace(part, home / "clip.mp4"); }},
      {"list Downloads", true, [&] { return list(home.downloads()); }},
      {"unlink in Downloads", true,
       [&] { return outcome(::unlink((home / "clip.mp4").c_str()) == 0); }},
      {"read the user-dirs file", true,
       [&] { return outcome(::open(userDirs.c_str(), O_RDONLY | O_CLOEXEC) >= 0); }},
      {"make a local datagram socket", true,
       [] { return outcome(::socket(AF_UNIX, SOCK_DGRAM, 0) >= 0); }},

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
  };

  int results[2];
  ASSERT_EQ(::pipe2(results, O_CLOEXEC), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    HandlerUnderTest host;
    confineHost(host.handler->downloads());
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
  EXPECT_EQ(listNames(outside), std::vector<std::string>{"secret.txt"});
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

}  // namespace
}  // namespace tamberlo::testing
