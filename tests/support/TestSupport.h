// What the tests share: temporary folders, a handler wired to a real file system and a
// capturing log, and the real host binary driven over a pipe.
#pragma once

#include <sys/types.h>

#include <array>
#include <boost/json.hpp>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Encoding/Utf8.h"
#include "Extension/SafariWebExtensionHandler.h"
#include "Platform/Desktop.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"
#include "support/CapturingSink.h"

namespace tamberlo::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// The UTF-8 text of `path` with "/" between its parts, on every OS.
std::string textOf(const std::filesystem::path& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, std::string_view content);
// The names in a folder, hidden ones included, sorted.
std::vector<std::string> listNames(const std::string& folder);
std::string base64(std::string_view bytes);
// A new pipe as two descriptors of the C runtime: [0] its reading end, [1] its writing end.
std::array<int, 2> makePipe();
// True under Wine, which gets some of Windows' guarantees wrong (symbolic links, junctions,
// creation times, alternate data streams, case-only renames, long paths): the tests of those run
// on real Windows only.
bool underWine();
// Makes a symbolic link at `link` to `target` (on Windows a folder link when `target` is a
// folder); throws when it cannot.
void makeLink(const std::string& target, const std::string& link);
// Sets the last change of the file at `path` (links not followed) to `sinceEpoch` after
// 1970-01-01 00:00:00 UTC, to the file system's precision; throws when it cannot.
void setLastChange(const std::string& path, std::chrono::nanoseconds sinceEpoch);
// A memory figure of a running process from /proc (`field` "VmRSS" for its resident size,
// "VmHWM" for the peak of it), in KiB; 0 when it cannot be read.
uint64_t memoryKiB(pid_t pid, std::string_view field);

// The environment that gives a host process `home` as its home, whatever the machine's own is,
// and `home`/Downloads as its Downloads folder. On Linux HOME and XDG_CONFIG_HOME; on Windows the
// variable that only the tests' build of the host reads (TAMBERLO_TEST_DOWNLOADS_ENV in
// tests/CMakeLists.txt), as the shipped host asks the shell and the shell asks the user's
// registry, which no test may change. It is the child's environment: this process's own, and
// the user's settings, stay as they are.
std::map<std::string, std::string> homeAt(const TempDir& home);

// A temporary home with an empty Downloads folder in it. It changes no setting of this process
// or of the user: a handler is given downloads(), a host process env().
class FakeHome {
 public:
  FakeHome();
  const std::string& home() const { return home_.path(); }
  std::string downloads() const { return home_ / "Downloads"; }
  std::string operator/(std::string_view name) const {
    return downloads() + "/" + std::string(name);
  }
  // The environment of a host process that finds downloads() as its Downloads folder.
  std::map<std::string, std::string> env() const { return homeAt(home_); }

 private:
  TempDir home_;
};

#ifdef _WIN32
// The shell's Downloads folder in the registry, for the tests of its lookup. Under Wine only,
// where the registry is the test prefix's own (scripts/wine-run): made anywhere else it throws,
// so a real user's setting is never changed. What it changes is put back when it ends.
class DownloadsSetting {
 public:
  DownloadsSetting();
  ~DownloadsSetting();
  DownloadsSetting(const DownloadsSetting&) = delete;
  DownloadsSetting& operator=(const DownloadsSetting&) = delete;
  // Names `downloads` as the shell's Downloads folder.
  void point(const std::string& downloads);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};
#endif

// Records what the handler asked of the desktop.
class RecordingDesktop : public Desktop {
 public:
  OpenOutcome open(const std::string& path) override {
    opened.push_back(path);
    return openAnswer;
  }
  void reveal(const std::string& path) override { revealed.push_back(path); }
  OpenOutcome openAnswer = OpenOutcome::kOpened;
  std::vector<std::string> opened;
  std::vector<std::string> revealed;
};

// A handler with a capturing log, working in `downloads` as the host works in the Downloads
// folder it finds at start (links resolved), or without a Downloads folder when given nothing.
// Over the system's file system unless given another.
struct HandlerUnderTest {
  HandlerUnderTest(FileSystem& files, std::optional<std::string> downloads);
  explicit HandlerUnderTest(std::optional<std::string> downloads);
  boost::json::object answer(std::string_view messageJson);
  const std::vector<CapturingSink::Line>& lines() const { return log->lines(); }

  RecordingDesktop desktop;
  CapturingSink* log;
  std::unique_ptr<SafariWebExtensionHandler> handler;
};

// The real tamberlo-host, started with pipes for its input and output.
class HostProcess {
 public:
  // `env` entries replace or add to this process's environment for the child: give it a
  // FakeHome's env() before it touches a file. A `launcher`
  // command (for example one that runs it as another user) starts the host when given.
  explicit HostProcess(const std::map<std::string, std::string>& env = {},
                       const std::vector<std::string>& args = {},
                       const std::vector<std::string>& launcher = {});
  ~HostProcess();

  void send(std::string_view payload);
  void sendRaw(std::string_view bytes);
  // The next reply frame, or nothing at end of output.
  std::optional<std::string> receive();
  boost::json::value request(std::string_view messageJson);
  void closeInput();
  // Stops reading replies: the host's next write meets a closed pipe.
  void closeOutput();
  // Waits for the process and gives its exit status (or 128 + signal).
  int wait();
  pid_t pid() const { return pid_; }
  // Our end of the pipe on the host's standard input.
  int inputFd() const { return in_; }
  const std::string& stderrPath() const { return stderrPath_; }
  // What the host has written to standard error so far. Under an emulator, which offers neither
  // Landlock nor seccomp, without the one line at start that says so.
  std::string log() const;

 private:
  pid_t pid_ = -1;
  // The process's handle, where the OS has one (Windows).
  void* process_ = nullptr;
  int in_ = -1;
  int out_ = -1;
  TempDir logDir_;
  std::string stderrPath_;
};

std::string frame(std::string_view payload);

}  // namespace tamberlo::testing
