#include "Host/Confinement.h"

#include "Platform/Confinement.h"

namespace tamberlo {

void confineHost(SafariWebExtensionHandler& handler) {
  std::optional<std::string> missing = confineToDownloads(handler.downloadsFolder());
  if (!missing) return;
  Logger log(std::string(kLogSubsystem), std::string(kLogCategory), makeSystemSink());
  log.info("sandbox: %{public}s not available; the host runs without it", {*missing});
  log.flush();
}

}  // namespace tamberlo
