#include "Host/Confinement.h"

#include "Extension/SafariWebExtensionHandler.h"
#include "Platform/Confinement.h"

namespace tamberlo {

void confineHost(const std::optional<std::string>& downloads, std::optional<int> listener) {
  std::optional<std::string> missing = confineToDownloads(downloads, listener);
  if (!missing) return;
  Logger log(std::string(kLogSubsystem), std::string(kLogCategory), makeSystemSink());
  log.info("sandbox: %{public}s not available; the host runs without it", {*missing});
  log.flush();
}

}  // namespace tamberlo
