#include "Host/Confinement.h"

#include "Platform/Sandbox.h"

namespace tamberlo {

void confineHost(SafariWebExtensionHandler& handler) {
  Sandbox::Grants grants;
  grants.readWrite = handler.downloadsFolder();
  if (std::optional<std::string> userDirs = userDirsFile()) grants.readOnly.push_back(*userDirs);
  Sandbox::Outcome outcome = Sandbox::confine(grants);
  if (outcome.files && outcome.calls) return;
  const char* missing = outcome.files   ? "seccomp"
                        : outcome.calls ? "Landlock"
                                        : "Landlock and seccomp";
  Logger log(std::string(kLogSubsystem), std::string(kLogCategory), makeSystemSink());
  log.info("sandbox: %{public}s not available; the host runs without it", {missing});
  log.flush();
}

}  // namespace tamberlo
