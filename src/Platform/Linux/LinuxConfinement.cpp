#include <fcntl.h>
#include <unistd.h>

#include "Platform/Confinement.h"
#include "Platform/Linux/JournalSink.h"
#include "Platform/Linux/LinuxFileSystem.h"
#include "Platform/Linux/Sandbox.h"

namespace tamberlo {
namespace {

// A terminal as standard error would let the process type into it (TIOCSTI, TIOCLINUX) or
// steer it: it is replaced with /dev/null. A browser never gives one.
void dropTerminalStandardError() {
  if (::isatty(STDERR_FILENO) == 0) return;
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) {
    ::close(STDERR_FILENO);
    return;
  }
  ::dup2(null, STDERR_FILENO);
  ::close(null);
}

}  // namespace

std::optional<std::string> confineToDownloads(const std::optional<std::string>& downloads,
                                              std::optional<int> listener) {
  dropTerminalStandardError();
  Sandbox::Grants grants;
  grants.readWrite = downloads;
  if (std::optional<std::string> userDirs = userDirsFile()) grants.readOnly.push_back(*userDirs);
  grants.journal = systemJournalDescriptor();
  grants.listener = listener;
  Sandbox::Outcome outcome = Sandbox::confine(grants);
  if (outcome.files && outcome.calls) return std::nullopt;
  return outcome.files ? "seccomp" : outcome.calls ? "Landlock" : "Landlock and seccomp";
}

}  // namespace tamberlo
