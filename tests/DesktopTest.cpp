// Opening and revealing against a real desktop made for the test: GIO reads a private set of
// XDG folders that holds one test application (a script that records the path GIO hands it) as
// the default for a test file type and for folders, and each test that needs a session bus
// starts its own dbus-daemon, with a test file manager on it that records what it is asked to
// show. Nothing of the machine's own desktop takes part: every variable GIO and GDBus read is
// set or cleared here before the first GLib call.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Platform/Linux/GioDesktop.h"
#include "Platform/Linux/LinuxFileSystem.h"
#include "support/TestSupport.h"

extern char** environ;

namespace tamberlo::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How long anything asynchronous (a launched application, a started file manager) is given
// to show up before a test gives up. Generous on purpose: it only bounds a failing test.
constexpr auto kWatchdog = 20s;

// A test application for GIO: writes down the paths it was launched with, one a line.
constexpr char kOpenerScript[] = R"(#!/bin/sh
for arg in "$@"; do printf '%s\n' "$arg" >> "$0.log"; done
)";

// A test player, the default for its own type: says what it plays on standard output, as
// players do, notes its process ID once it has, and keeps running.
constexpr char kPlayerScript[] = R"(#!/bin/sh
echo "Playing: $1"
echo $$ > "$0.pid"
exec sleep 60
)";

void makeExecutable(const std::string& path, std::string_view content) {
  writeFile(path, content);
  ::chmod(path.c_str(), 0755);
}

// The complete lines of the file at `path`; none when it does not exist.
std::vector<std::string> linesOf(const std::string& path) {
  std::string text = readFile(path);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The lines of `path` once it holds at least `count` of them (or when the watchdog ends).
std::vector<std::string> waitForLines(const std::string& path, size_t count) {
  auto giveUp = std::chrono::steady_clock::now() + kWatchdog;
  std::vector<std::string> lines = linesOf(path);
  while (lines.size() < count && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(10ms);
    lines = linesOf(path);
  }
  return lines;
}

// Every line of `path` once `last` is among them, sorted, `last` left out. Launched programs
// run side by side, so a launch made before `last` may still write after it: the file is read
// again after a pause long enough for any of them. (This only bounds how long a launch that
// should not have happened may take to show; no test measures anything with it.)
std::vector<std::string> linesBesides(const std::string& path, const std::string& last) {
  constexpr auto kSettle = 300ms;
  for (size_t count = 1;; ++count) {
    std::vector<std::string> lines = waitForLines(path, count);
    if (std::find(lines.begin(), lines.end(), last) != lines.end()) break;
    if (lines.size() < count) {
      ADD_FAILURE() << "never launched with " << last;
      break;
    }
    count = lines.size();
  }
  std::this_thread::sleep_for(kSettle);
  std::vector<std::string> lines = linesOf(path);
  auto found = std::find(lines.begin(), lines.end(), last);
  if (found != lines.end()) lines.erase(found);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The environment of this process with `changes` applied (an empty value removes a name).
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& changes) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : changes) {
    if (value.empty()) {
      merged.erase(key);
    } else {
      merged[key] = value;
    }
  }
  std::vector<std::string> strings;
  for (const auto& [key, value] : merged) strings.push_back(key + "=" + value);
  return strings;
}

// A child process, ended with SIGTERM and reaped when this goes.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::map<std::string, std::string>& env,
        int stdoutFd = -1, const std::string& stderrPath = "") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    if (!stderrPath.empty()) {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<std::string> envStrings = environmentWith(env);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& s : argv) args.push_back(s.data());
    args.push_back(nullptr);
    int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  ~Child() {
    ::kill(pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

 private:
  pid_t pid_ = -1;
};

// The desktop of this test process, set up once before GLib reads anything: GLib keeps the
// XDG folders it saw first for the life of the process.
struct World {
  TempDir root;
  std::string home = root / "home";
  std::string downloads = home + "/Downloads";
  std::string dataHome = home + "/.local/share";
  std::string configHome = home + "/.config";
  std::string opener = root / "opener";
  std::string opened = opener + ".log";
  std::string player = root / "player";
  // Holds a copy of the test type's files, found by its link, outside Downloads.
  std::string elsewhere = root / "elsewhere";

  World() {
    for (const std::string& dir :
         {downloads, dataHome + "/applications", dataHome + "/mime", configHome, elsewhere,
          root / "data-dirs", root / "config-dirs", root / "runtime"}) {
      fs::create_directories(dir);
    }
    ::chmod((root / "runtime").c_str(), 0700);
    makeExecutable(opener, kOpenerScript);
    makeExecutable(player, kPlayerScript);
    writeFile(dataHome + "/applications/tamberlo-test-player.desktop",
              "[Desktop Entry]\nType=Application\nName=Test player\nExec=" + player +
                  " %f\nMimeType=application/x-tamberlo-film;\n");
    writeFile(dataHome + "/applications/tamberlo-test-opener.desktop",
              "[Desktop Entry]\nType=Application\nName=Test opener\nExec=" + opener +
                  " %f\nMimeType=application/x-tamberlo-test;inode/directory;\n");
    // An application that the bus starts: GIO hands it the file over the session bus
    // (org.freedesktop.Application.Open), never through Exec.
    writeFile(dataHome + "/applications/org.tamberlo.TestApp.desktop",
              "[Desktop Entry]\nType=Application\nName=Test bus application\nExec=/bin/true "
              "%f\nDBusActivatable=true\nMimeType=application/x-tamberlo-bus;\n");
    // The test types: every name ending in ".tbt", films ending in ".tbf", the bus
    // application's files ending in ".tbb"; and scripts, launchers and videos, whose default
    // application is the test opener too.
    writeFile(dataHome + "/mime/globs2",
              "50:application/x-tamberlo-test:*.tbt\n50:application/x-tamberlo-film:*.tbf\n"
              "50:application/x-tamberlo-bus:*.tbb\n"
              "50:application/x-shellscript:*.sh\n50:application/x-desktop:*.desktop\n"
              "50:video/mp4:*.mp4\n");
    writeFile(dataHome + "/mime/types",
              "application/x-tamberlo-test\napplication/x-tamberlo-film\n"
              "application/x-tamberlo-bus\n"
              "application/x-shellscript\napplication/x-desktop\nvideo/mp4\n");
    writeFile(configHome + "/mimeapps.list",
              "[Default Applications]\n"
              "application/x-tamberlo-test=tamberlo-test-opener.desktop\n"
              "application/x-tamberlo-film=tamberlo-test-player.desktop\n"
              "application/x-tamberlo-bus=org.tamberlo.TestApp.desktop\n"
              "application/x-shellscript=tamberlo-test-opener.desktop\n"
              "application/x-desktop=tamberlo-test-opener.desktop\n"
              "video/mp4=tamberlo-test-opener.desktop\n"
              "inode/directory=tamberlo-test-opener.desktop\n");

    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (root / "data-dirs").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (root / "config-dirs").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
    // Only the local file system, no portal, no display to start a bus for.
    ::setenv("GIO_USE_VFS", "local", 1);
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "GTK_USE_PORTAL", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
          "DBUS_SESSION_BUS_ADDRESS", "DBUS_STARTER_ADDRESS", "DBUS_STARTER_BUS_TYPE"}) {
      ::unsetenv(name);
    }
  }

  std::string pathIn(std::string_view name) const { return downloads + "/" + std::string(name); }
  std::string uriIn(std::string_view escapedName) const {
    return "file://" + downloads + "/" + std::string(escapedName);
  }
};

World& world() {
  static World instance;
  return instance;
}

// A private session bus: a dbus-daemon of its own, optionally able to start the test file
// manager on demand (as a desktop's bus starts the real one).
class SessionBus {
 public:
  enum class Activation { kNone, kFileManager };

  SessionBus(Activation activation, const std::string& record) {
    std::string services = dir_ / "services";
    fs::create_directory(services);
    if (activation == Activation::kFileManager) {
      writeFile(services + "/org.freedesktop.FileManager1.service",
                "[D-BUS Service]\nName=org.freedesktop.FileManager1\nExec=" +
                    std::string(TAMBERLO_FAKE_FILE_MANAGER) + " " + record + " answer\n");
    }
    address_ = "unix:path=" + (dir_ / "socket");
    writeFile(dir_ / "bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>" +
                  address_ + "</listen><auth>EXTERNAL</auth><servicedir>" + services +
                  "</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
                  "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // Started services find the bus through the address the daemon hands down to them.
    daemon_ = std::make_unique<Child>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--print-address",
                                 "--config-file=" + (dir_ / "bus.conf")},
        std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", address_}}, pipeFds[1],
        dir_ / "daemon.log");
    ::close(pipeFds[1]);
    // The daemon prints its address once it listens.
    pollfd ready = {pipeFds[0], POLLIN, 0};
    char byte;
    bool listening = ::poll(&ready, 1, static_cast<int>(kWatchdog / 1ms)) == 1 &&
                     ::read(pipeFds[0], &byte, 1) == 1;
    ::close(pipeFds[0]);
    if (!listening) throw std::runtime_error("dbus-daemon did not start");
  }

  const std::string& address() const { return address_; }

 private:
  TempDir dir_;
  std::string address_;
  std::unique_ptr<Child> daemon_;
};

// The test file manager, started by the test on `bus`, recording into `record`.
class FileManager {
 public:
  FileManager(const SessionBus& bus, const std::string& record, const std::string& mode)
      : process_({TAMBERLO_FAKE_FILE_MANAGER, record, mode},
                 {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}}) {
    if (waitForLines(record + ".ready", 1).empty()) {
      throw std::runtime_error("the file manager did not take its name");
    }
  }

 private:
  Child process_;
};

enum class Kind { kFile, kFolder, kLink, kDanglingLink };

// A handler with the real GIO desktop, the real file system and a capturing log; the session
// bus is whatever DBUS_SESSION_BUS_ADDRESS says when a request runs.
// A file manager that must answer within the host's half-second bound: an emulated one, started
// and run by an emulator, cannot be relied on to.
#ifdef TAMBERLO_EMULATED
#define SKIP_WHERE_EMULATED() GTEST_SKIP() << "an emulated file manager misses the host's bound"
#else
#define SKIP_WHERE_EMULATED() static_cast<void>(0)
#endif

class DesktopTest : public ::testing::Test {
 protected:
  DesktopTest() : world_(world()) {
    for (const auto& entry : fs::directory_iterator(world_.downloads)) fs::remove_all(entry);
    fs::remove(world_.opened);
    auto sink = std::make_unique<CapturingSink>();
    log_ = sink.get();
    handler_ = std::make_unique<SafariWebExtensionHandler>(files_, *desktop_, downloads(),
                                                           std::move(sink));
  }
  ~DesktopTest() override { ::unsetenv("DBUS_SESSION_BUS_ADDRESS"); }

  std::optional<std::string> downloads() { return world_.downloads; }

  void useBus(const std::string& address) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }

  boost::json::object answer(std::string_view type, std::string_view name) {
    log_->clear();
    return handler_->answer(boost::json::value{{"type", type}, {"name", name}});
  }

  std::vector<CapturingSink::Line> lines() const { return log_->lines(); }

  // Makes `name` in Downloads: a file with some bytes, a folder, or a link to a file of the
  // test type outside Downloads.
  std::string make(std::string_view name, Kind kind) {
    std::string path = world_.downloads + "/" + std::string(name);
    switch (kind) {
      case Kind::kFile:
        writeFile(path, "not really a video\n");
        break;
      case Kind::kFolder:
        fs::create_directory(path);
        break;
      case Kind::kLink:
        writeFile(world_.elsewhere + "/target.tbt", "bytes\n");
        fs::create_symlink(world_.elsewhere + "/target.tbt", path);
        break;
      case Kind::kDanglingLink:
        fs::create_symlink(world_.elsewhere + "/gone.tbt", path);
        break;
    }
    return path;
  }

  // What the test application was launched with so far (sorted), read once a sentinel file
  // opened after everything else has shown up: launches are asynchronous.
  std::vector<std::string> launchesSettled() {
    make("zz-sentinel.tbt", Kind::kFile);
    EXPECT_EQ(answer("file.open", "zz-sentinel.tbt"), (boost::json::object{{"ok", true}}));
    return linesBesides(world_.opened, world_.pathIn("zz-sentinel.tbt"));
  }

  World& world_;
  // What this test's file managers record, and other folders of its own.
  TempDir scratch_;
  LinuxFileSystem files_;
  std::unique_ptr<Desktop> desktop_ = makeGioDesktop();
  CapturingSink* log_;
  std::unique_ptr<SafariWebExtensionHandler> handler_;
};

const std::vector<CapturingSink::Line> kOpened = {{LogLevel::kInfo, "file.open: opened"}};
const std::vector<CapturingSink::Line> kShown = {{LogLevel::kInfo, "file.reveal: shown in Finder"}};

// Names that need escaping in a URI, each with the name as it stands escaped in the file URI.
// The test application receives the path that GIO decodes from the URI, so a badly escaped URI
// shows there as a wrong path.
struct Target {
  std::string name;
  std::string escaped;  // the name as it stands in the file URI
  Kind kind;
};
const std::vector<Target> kTargets = {
    {"clip.tbt", "clip.tbt", Kind::kFile},
    {"my clip #1 at 100%.tbt", "my%20clip%20%231%20at%20100%25.tbt", Kind::kFile},
    {"vidéo ß 動画.tbt", "vid%C3%A9o%20%C3%9F%20%E5%8B%95%E7%94%BB.tbt", Kind::kFile},
    {"%41 not an escape?.tbt", "%2541%20not%20an%20escape%3F.tbt", Kind::kFile},
    {"saved clips", "saved%20clips", Kind::kFolder},
    // The link's own path goes out, not its target's.
    {"link #2.tbt", "link%20%232.tbt", Kind::kLink},
};

TEST_F(DesktopTest, OpenLaunchesTheDefaultApplicationWithTheFile) {
  for (size_t i = 0; i < kTargets.size(); ++i) {
    const Target& target = kTargets[i];
    SCOPED_TRACE(target.name);
    make(target.name, target.kind);
    EXPECT_EQ(answer("file.open", target.name), (boost::json::object{{"ok", true}}));
    EXPECT_EQ(lines(), kOpened);
    std::vector<std::string> launched = waitForLines(world_.opened, i + 1);
    ASSERT_EQ(launched.size(), i + 1);
    EXPECT_EQ(launched[i], world_.pathIn(target.name));
  }
}

TEST_F(DesktopTest, OpenWithNoApplicationForTheTypeIsRefused) {
  make("notes.unclaimed", Kind::kFile);
  EXPECT_EQ(answer("file.open", "notes.unclaimed"),
            (boost::json::object{{"ok", false}, {"error", "no app opened the file"}}));
  EXPECT_EQ(lines(),
            (std::vector<CapturingSink::Line>{{LogLevel::kInfo, "file.open: not opened"}}));
  EXPECT_EQ(launchesSettled(), std::vector<std::string>{});
}

// A page that has the extension save a script or a launcher and then open it gets no program
// run: the default application of its type is never started. Videos open as before.
TEST_F(DesktopTest, OpenNeverRunsAProgramSavedFromTheWeb) {
  const boost::json::object refused{{"ok", false},
                                    {"error", "file.open: refused to run a program"}};
  struct Case {
    std::string name;
    std::string bytes;
    boost::json::object reply;
    std::vector<CapturingSink::Line> log;
  };
  const Case cases[] = {
      {"x.sh",
       "#!/bin/sh\ntouch owned\n",
       refused,
       {{LogLevel::kInfo, "file.open: refused a program"}}},
      {"x.desktop",
       "[Desktop Entry]\nType=Application\nName=x\nExec=touch owned\n",
       refused,
       {{LogLevel::kInfo, "file.open: refused a program"}}},
      {"x.mp4", "not really a video\n", {{"ok", true}}, kOpened},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string part = c.name + ".part";
    auto save = [&](boost::json::object message) {
      return handler_->answer(boost::json::value(message));
    };
    ASSERT_EQ(save({{"type", "file.write.begin"}, {"name", c.name}, {"url", "https://a.example/"}}),
              (boost::json::object{{"ok", true}, {"part", part}}));
    ASSERT_EQ(save({{"type", "file.write.chunk"},
                    {"part", part},
                    {"offset", 0},
                    {"data", base64(c.bytes)}})["ok"],
              true);
    ASSERT_EQ(save({{"type", "file.write.end"},
                    {"part", part},
                    {"name", c.name},
                    {"size", c.bytes.size()}}),
              (boost::json::object{{"ok", true}, {"name", c.name}}));
    constexpr fs::perms kRun =
        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    EXPECT_EQ(fs::status(world_.pathIn(c.name)).permissions() & kRun, fs::perms::none);
    EXPECT_EQ(answer("file.open", c.name), c.reply);
    EXPECT_EQ(lines(), c.log);
  }
  EXPECT_EQ(launchesSettled(), std::vector<std::string>{world_.pathIn("x.mp4")});
}

TEST_F(DesktopTest, NamesNotStandingInDownloadsAreNotFoundAndNothingIsShown) {
  SessionBus bus(SessionBus::Activation::kNone, "");
  std::string record = scratch_ / "shown-not-found";
  FileManager fileManager(bus, record, "answer");
  useBus(bus.address());
  make("dangling.tbt", Kind::kDanglingLink);
  // Only in the folder the link points to.
  writeFile(world_.elsewhere + "/outside.tbt", "bytes\n");
  for (std::string type : {"file.open", "file.reveal"}) {
    for (std::string name : {"ghost.tbt", "dangling.tbt", "outside.tbt"}) {
      SCOPED_TRACE(type + " " + name);
      EXPECT_EQ(answer(type, name), (boost::json::object{{"ok", false}, {"error", "not found"}}));
      EXPECT_EQ(lines(), (std::vector<CapturingSink::Line>{
                             {LogLevel::kInfo, type + ": not in Downloads <private>"}}));
    }
  }
  // The file manager answers before the call returns, so a request would be recorded by now.
  EXPECT_EQ(linesOf(record), std::vector<std::string>{});
  EXPECT_EQ(launchesSettled(), std::vector<std::string>{});
}

TEST_F(DesktopTest, RevealAsksTheFileManagerForTheFileUri) {
  SKIP_WHERE_EMULATED();
  SessionBus bus(SessionBus::Activation::kNone, "");
  std::string record = scratch_ / "shown";
  FileManager fileManager(bus, record, "answer");
  useBus(bus.address());
  for (size_t i = 0; i < kTargets.size(); ++i) {
    const Target& target = kTargets[i];
    SCOPED_TRACE(target.name);
    make(target.name, target.kind);
    EXPECT_EQ(answer("file.reveal", target.name), (boost::json::object{{"ok", true}}));
    EXPECT_EQ(lines(), kShown);
    std::vector<std::string> shown = linesOf(record);
    ASSERT_EQ(shown.size(), i + 1);
    EXPECT_EQ(shown[i], world_.uriIn(target.escaped));
  }
  // The file manager took every request: no folder was opened besides.
  EXPECT_EQ(launchesSettled(), std::vector<std::string>{});
}

TEST_F(DesktopTest, RevealStartsAFileManagerThatTheBusCanStart) {
  SKIP_WHERE_EMULATED();
  std::string record = scratch_ / "started";
  SessionBus bus(SessionBus::Activation::kFileManager, record);
  useBus(bus.address());
  make("clip #3.tbt", Kind::kFile);
  EXPECT_EQ(answer("file.reveal", "clip #3.tbt"), (boost::json::object{{"ok", true}}));
  EXPECT_EQ(lines(), kShown);
  EXPECT_EQ(waitForLines(record, 1), std::vector<std::string>{world_.uriIn("clip%20%233.tbt")});
  EXPECT_EQ(launchesSettled(), std::vector<std::string>{});
}

TEST_F(DesktopTest, RevealOpensTheFolderWhenNoFileManagerTakesTheFile) {
  struct Case {
    std::string what;
    bool bus;                 // a session bus is running
    std::string fileManager;  // the test file manager's mode on it, or none
    bool addressless;         // DBUS_SESSION_BUS_ADDRESS unset altogether
  };
  const std::vector<Case> cases = {
      {"no session at all", false, "", true},
      {"a bus address where nothing listens", false, "", false},
      {"a bus without a file manager", true, "", false},
      {"a file manager that refuses", true, "fail", false},
  };
  make("clip.tbt", Kind::kFile);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(world_.opened);
    std::string record = scratch_ / ("refused-" + std::to_string(&c - cases.data()));
    std::optional<SessionBus> bus;
    std::optional<FileManager> fileManager;
    if (c.bus) {
      bus.emplace(SessionBus::Activation::kNone, "");
      useBus(bus->address());
      if (!c.fileManager.empty()) fileManager.emplace(*bus, record, c.fileManager);
    } else if (c.addressless) {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    } else {
      useBus("unix:path=" + (scratch_ / "no-bus-here"));
    }
    EXPECT_EQ(answer("file.reveal", "clip.tbt"), (boost::json::object{{"ok", true}}));
    EXPECT_EQ(lines(), kShown);
    EXPECT_EQ(launchesSettled(), std::vector<std::string>{world_.downloads});
    if (fileManager) {
      EXPECT_EQ(linesOf(record), std::vector<std::string>{world_.uriIn("clip.tbt")});
    }
  }
}

// Kills the host if it has not been let go within the watchdog, so that a hang fails the test
// instead of stalling it.
class HostWatchdog {
 public:
  explicit HostWatchdog(pid_t pid)
      : thread_([this, pid] {
          std::unique_lock lock(mutex_);
          if (!wake_.wait_for(lock, kWatchdog, [this] { return released_; })) {
            fired_ = true;
            ::kill(pid, SIGKILL);
          }
        }) {}
  ~HostWatchdog() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  bool fired() {
    std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;
  bool fired_ = false;
  std::thread thread_;
};

std::optional<boost::json::value> ask(HostProcess& host, std::string_view type,
                                      std::string_view name) {
  host.send(boost::json::serialize(boost::json::value{{"type", type}, {"name", name}}));
  std::optional<std::string> reply = host.receive();
  if (!reply) return std::nullopt;
  return boost::json::parse(*reply);
}

const boost::json::value kOk = {{"ok", true}};

TEST_F(DesktopTest, TheHostOpensAndRevealsAndThenEndsCleanly) {
  SessionBus bus(SessionBus::Activation::kNone, "");
  std::string record = scratch_ / "host-shown";
  FileManager fileManager(bus, record, "answer");
  make("my clip #1 at 100%.tbt", Kind::kFile);
  make("vidéo.tbt", Kind::kFile);

  make("run.sh", Kind::kFile);

  HostProcess host({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
  HostWatchdog watchdog(host.pid());
  // The launcher's refusal of a program reaches the reply.
  EXPECT_EQ(ask(host, "file.open", "run.sh"),
            (boost::json::value{{"ok", false}, {"error", "file.open: refused to run a program"}}));
  EXPECT_EQ(ask(host, "file.open", "my clip #1 at 100%.tbt"), kOk);
  EXPECT_EQ(ask(host, "file.reveal", "vidéo.tbt"), kOk);
  host.closeInput();
  // GIO's own threads are running by now; they must not keep the host from ending.
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(waitForLines(world_.opened, 1),
            std::vector<std::string>{world_.pathIn("my clip #1 at 100%.tbt")});
  EXPECT_EQ(linesOf(record), std::vector<std::string>{world_.uriIn("vid%C3%A9o.tbt")});
}

// An application that the bus starts gets its file in a message that GIO sends after the
// launch returns: every open answered "ok" must have reached the bus before the launcher's
// child that made it ended.
TEST_F(DesktopTest, EveryOpenOfABusActivatedApplicationReachesIt) {
  SessionBus bus(SessionBus::Activation::kNone, "");
  std::string record = scratch_ / "application-opened";
  FileManager application(bus, record, "application");
  HostProcess host({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
  HostWatchdog watchdog(host.pid());
  constexpr int kOpens = 30;
  std::vector<std::string> expected;
  for (int i = 0; i < kOpens; ++i) {
    std::string name = "clip-" + std::to_string(i) + ".tbb";
    make(name, Kind::kFile);
    EXPECT_EQ(ask(host, "file.open", name), kOk) << name;
    expected.push_back(world_.uriIn(name));
  }
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
  std::vector<std::string> opened = waitForLines(record, kOpens);
  std::sort(opened.begin(), opened.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(opened, expected);
}

TEST_F(DesktopTest, TheHostAnswersWhenTheFileManagerNeverDoes) {
  SKIP_WHERE_EMULATED();
  SessionBus bus(SessionBus::Activation::kNone, "");
  std::string record = scratch_ / "silent";
  FileManager fileManager(bus, record, "silent");
  make("clip.tbt", Kind::kFile);

  HostProcess host({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
  HostWatchdog watchdog(host.pid());
  EXPECT_EQ(ask(host, "file.reveal", "clip.tbt"), kOk);
  // The request reached the file manager, which still owes its answer; the host goes on.
  EXPECT_EQ(linesOf(record), std::vector<std::string>{world_.uriIn("clip.tbt")});
  EXPECT_EQ(ask(host, "file.open", "clip.tbt"), kOk);
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
  // A file manager that owns the name but is slow to answer is not second-guessed: the folder
  // is not opened as well.
  EXPECT_EQ(linesBesides(world_.opened, world_.pathIn("clip.tbt")), std::vector<std::string>{});
}

TEST_F(DesktopTest, TheHostWithoutApplicationsOrBusStillAnswers) {
  // A desktop with no applications at all, and no session bus.
  std::string emptyData = scratch_ / "empty-data";
  std::string emptyConfig = scratch_ / "empty-config";
  fs::create_directories(emptyData);
  fs::create_directories(emptyConfig);
  make("clip.tbt", Kind::kFile);

  HostProcess host({{"XDG_DATA_HOME", emptyData}, {"XDG_CONFIG_HOME", emptyConfig}});
  HostWatchdog watchdog(host.pid());
  EXPECT_EQ(ask(host, "file.open", "clip.tbt"),
            (boost::json::value{{"ok", false}, {"error", "no app opened the file"}}));
  // Nothing shows the file or its folder, and that is still no failure of the request.
  EXPECT_EQ(ask(host, "file.reveal", "clip.tbt"), kOk);
  EXPECT_EQ(ask(host, "file.open", "ghost.tbt"),
            (boost::json::value{{"ok", false}, {"error", "not found"}}));
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
  // Without the journal the host logs on standard error.
  if (::access("/run/systemd/journal/socket", W_OK) != 0) {
    EXPECT_EQ(host.log(),
              "tamberlo.host safari-extension info: file.open: not opened\n"
              "tamberlo.host safari-extension info: file.reveal: shown in Finder\n"
              "tamberlo.host safari-extension info: file.open: not in Downloads <private>\n");
  }
}

// A desktop whose library cannot give it GIO has nothing to ask: opening is refused, revealing
// shows nothing, and each request is still answered. The system's GIO, named the same way,
// shows that the name is what the desktop loads.
TEST_F(DesktopTest, ADesktopWithoutGioRefusesToOpenAndShowsNothing) {
  SessionBus bus(SessionBus::Activation::kNone, "");
  std::string record = scratch_ / "shown-without-gio";
  FileManager fileManager(bus, record, "answer");
  useBus(bus.address());
  make("clip.tbt", Kind::kFile);
  struct Case {
    std::string what;
    std::string library;
    bool usable;
  };
  const std::vector<Case> cases = {
      {"no such library", "libtamberlo-no-such-library.so.0", false},
      {"a library without GIO's functions", "libglib-2.0.so.0", false},
      {"the system's GIO", "libgio-2.0.so.0", true},
  };
  const boost::json::object kNotOpened = {{"ok", false}, {"error", "no app opened the file"}};
  size_t shown = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Desktop> desktop = makeGioDesktop(c.library);
    SafariWebExtensionHandler handler(files_, *desktop, downloads(),
                                      std::make_unique<CapturingSink>());
    EXPECT_EQ(handler.answer(boost::json::value{{"type", "file.open"}, {"name", "clip.tbt"}}),
              (c.usable ? boost::json::object{{"ok", true}} : kNotOpened));
    EXPECT_EQ(handler.answer(boost::json::value{{"type", "file.reveal"}, {"name", "clip.tbt"}}),
              (boost::json::object{{"ok", true}}));
    // The file manager answers before the call returns.
    if (c.usable) ++shown;
    EXPECT_EQ(linesOf(record).size(), shown);
  }
  // Only the usable desktop launched anything, and never the folder.
  EXPECT_EQ(launchesSettled(), std::vector<std::string>{world_.pathIn("clip.tbt")});
}

// The descriptors of the running process `pid`, each with what it leads to.
std::map<std::string, std::string> descriptorsOf(pid_t pid) {
  std::map<std::string, std::string> open;
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::error_code ec;
    open[entry.path().filename()] = fs::read_symlink(entry.path(), ec).string();
  }
  return open;
}

// An application that writes to its standard output and stays gets none of the host's: every
// later reply arrives whole, and the host's output ends with the host.
TEST_F(DesktopTest, AnApplicationThatPrintsAndStaysTouchesNoReply) {
  make("film.tbf", Kind::kFile);
  fs::remove(world_.player + ".pid");
  HostProcess host;
  HostWatchdog watchdog(host.pid());
  EXPECT_EQ(ask(host, "file.open", "film.tbf"), kOk);
  std::vector<std::string> player = waitForLines(world_.player + ".pid", 1);
  ASSERT_EQ(player.size(), 1u);
  pid_t playerPid = std::stoi(player.front());
  const std::map<std::string, std::string> kNull = {
      {"0", "/dev/null"}, {"1", "/dev/null"}, {"2", "/dev/null"}};
  std::map<std::string, std::string> descriptors = descriptorsOf(playerPid);
  // The shell reads the player's own script until it runs its last line: that one is its own.
  std::erase_if(descriptors, [&](const auto& entry) { return entry.second == world_.player; });
  EXPECT_EQ(descriptors, kNull);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ask(host, "file.exists", "film.tbf"),
              (boost::json::value{{"exists", true}, {"name", "film.tbf"}}));
  }
  auto closed = std::chrono::steady_clock::now();
  host.closeInput();
  EXPECT_EQ(host.receive(), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 1s);
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
  ::kill(playerPid, SIGKILL);
}

// A session bus that takes connections and never says a word.
class MuteBus {
 public:
  explicit MuteBus(const std::string& path) : socket_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket_, 64) != 0) {
      throw std::runtime_error("cannot listen on " + path);
    }
    address_ = "unix:path=" + path;
  }
  ~MuteBus() { ::close(socket_); }
  const std::string& address() const { return address_; }

 private:
  int socket_;
  std::string address_;
};

TEST_F(DesktopTest, ABusThatNeverAnswersCostsABoundedWait) {
  MuteBus bus(scratch_ / "mute");
  make("clip.tbt", Kind::kFile);
  HostProcess host({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
  HostWatchdog watchdog(host.pid());
  // What a loaded machine may add to a wait before the reply is read.
  constexpr auto kSlack = 1500ms;
  struct Step {
    std::string type;
    boost::json::value reply;
    std::chrono::milliseconds bound;
  };
  const std::vector<Step> steps = {
      {"file.open", {{"ok", false}, {"error", "no app opened the file"}}, 2000ms},
      {"file.reveal", kOk, 500ms},
      {"file.exists", {{"exists", true}, {"name", "clip.tbt"}}, 0ms},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.type);
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(host, step.type, "clip.tbt"), step.reply);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, step.bound + kSlack);
  }
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
}

// The GLib libraries mapped into the running process `pid`, by name, sorted.
std::vector<std::string> glibMappedInto(pid_t pid) {
  std::vector<std::string> mapped;
  for (const std::string& line : linesOf("/proc/" + std::to_string(pid) + "/maps")) {
    std::string file = fs::path(line.substr(line.rfind(' ') + 1)).filename();
    for (std::string name : {"libgio-2.0.so", "libglib-2.0.so", "libgobject-2.0.so"}) {
      bool known = std::find(mapped.begin(), mapped.end(), name) != mapped.end();
      if (file.starts_with(name) && !known) mapped.push_back(name);
    }
  }
  std::sort(mapped.begin(), mapped.end());
  return mapped;
}

// The processes that `pid` has started and that still run.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  std::istringstream in(readFile(path));
  std::vector<pid_t> children;
  for (pid_t child; in >> child;) children.push_back(child);
  return children;
}

// Neither the host nor its launcher ever loads GIO: opening is done in a process of its own
// that is gone once the request is answered.
TEST_F(DesktopTest, TheHostAndItsLauncherNeverLoadGio) {
#ifdef TAMBERLO_EMULATED
  GTEST_SKIP() << "an emulated host's mappings are the emulator's, which links GLib";
#endif
  make("clip.tbt", Kind::kFile);
  HostProcess host;
  HostWatchdog watchdog(host.pid());
  const std::vector<std::pair<std::string, boost::json::value>> steps = {
      {"file.exists", {{"exists", true}, {"name", "clip.tbt"}}},
      {"file.open", kOk},
  };
  for (const auto& [type, reply] : steps) {
    SCOPED_TRACE(type);
    EXPECT_EQ(ask(host, type, "clip.tbt"), reply);
    std::vector<pid_t> children = childrenOf(host.pid());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(glibMappedInto(host.pid()), std::vector<std::string>{});
    EXPECT_EQ(glibMappedInto(children.front()), std::vector<std::string>{});
  }
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(waitForLines(world_.opened, 1), std::vector<std::string>{world_.pathIn("clip.tbt")});
}

// With its launcher gone the host still answers: open as not opened, reveal as handed on.
TEST_F(DesktopTest, WithItsLauncherGoneTheHostStillAnswers) {
  make("clip.tbt", Kind::kFile);
  HostProcess host;
  HostWatchdog watchdog(host.pid());
  EXPECT_EQ(ask(host, "file.exists", "clip.tbt"),
            (boost::json::value{{"exists", true}, {"name", "clip.tbt"}}));
  std::vector<pid_t> children = childrenOf(host.pid());
  ASSERT_EQ(children.size(), 1u);
  ::kill(children.front(), SIGKILL);
  const boost::json::value kNotOpened = {{"ok", false}, {"error", "no app opened the file"}};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ask(host, "file.open", "clip.tbt"), kNotOpened);
    EXPECT_EQ(ask(host, "file.reveal", "clip.tbt"), kOk);
  }
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(launchesSettled(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tamberlo::testing
