// The Linux side of the tests' support: folders from mkdtemp, homes in the environment, the host
// started with posix_spawn.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/TestSupport.h"

extern char** environ;

namespace tamberlo::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tamberlo-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again, whatever a test did to the permissions.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

std::array<int, 2> makePipe() {
  std::array<int, 2> ends{-1, -1};
  if (::pipe(ends.data()) != 0) throw std::runtime_error("pipe failed");
  return ends;
}

bool underWine() { return false; }

void makeLink(const std::string& target, const std::string& link) {
  std::filesystem::create_symlink(target, link);
}

void setLastChange(const std::string& path, std::chrono::nanoseconds sinceEpoch) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const timespec time{static_cast<time_t>(seconds.count()), (sinceEpoch - seconds).count()};
  const timespec times[2] = {time, time};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("utimensat failed");
  }
}

uint64_t memoryKiB(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return 0;
}

std::map<std::string, std::string> homeAt(const TempDir& home) {
  return {{"HOME", home.path()}, {"XDG_CONFIG_HOME", home / ".config"}};
}

HostProcess::HostProcess(const std::map<std::string, std::string>& env,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& launcher) {
  // A host that ends early must not take the test with it through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  stderrPath_ = logDir_ / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : env) merged[key] = value;
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : merged) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStrings = launcher;
  argStrings.push_back(TAMBERLO_HOST);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  const std::string program = argStrings.front();
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  int rc = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (rc != 0) throw std::runtime_error("posix_spawn failed: " + std::string(strerror(rc)));
  in_ = toChild[1];
  out_ = fromChild[0];
}

HostProcess::~HostProcess() {
  closeInput();
  closeOutput();
  if (pid_ > 0) wait();
}

void HostProcess::sendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to host failed");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void HostProcess::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void HostProcess::closeOutput() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

int HostProcess::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace tamberlo::testing
