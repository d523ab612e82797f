#include "Platform/Confinement.h"
#include "Platform/Linux/LinuxFileSystem.h"
#include "Platform/Linux/Sandbox.h"

namespace tamberlo {

std::optional<std::string> confineToDownloads(const std::optional<std::string>& downloads) {
  Sandbox::Grants grants;
  grants.readWrite = downloads;
  if (std::optional<std::string> userDirs = userDirsFile()) grants.readOnly.push_back(*userDirs);
  Sandbox::Outcome outcome = Sandbox::confine(grants);
  if (outcome.files && outcome.calls) return std::nullopt;
  return outcome.files ? "seccomp" : outcome.calls ? "Landlock" : "Landlock and seccomp";
}

}  // namespace tamberlo
