// tamberlo-host: the native-messaging host that browsers start for the extension. Browsers pass
// arguments of their own (the caller's origin; a manifest path and an add-on ID); none of them
// changes what the host does. A browser never passes --version first: that alone prints the
// version and ends.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "Host/NativeHost.h"
#include "Platform/Confinement.h"
#include "Platform/Desktop.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"
#include "Platform/Streams.h"
#ifdef TAMBERLO_TEST_DOWNLOADS_ENV
#include <cstdlib>

#include "Platform/Windows/Utf16.h"
#endif

namespace {

// Confines the host to `downloads` (Platform/Confinement.h); where the OS lacks a part of the
// confinement, logs one info line naming it and goes on without it.
void confineHost(const std::optional<std::string>& downloads) {
  std::optional<std::string> missing = tamberlo::confineToDownloads(downloads);
  if (!missing) return;
  tamberlo::Logger log(std::string(tamberlo::kLogSubsystem), std::string(tamberlo::kLogCategory),
                       tamberlo::makeSystemSink());
  log.info("sandbox: %{public}s not available; the host runs without it", {*missing});
  log.flush();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("tamberlo-host " TAMBERLO_VERSION);
    return 0;
  }
  // First: the desktop may start a helper process that copies this one as it stands, before it
  // holds anything or gives up any right.
  std::unique_ptr<tamberlo::Desktop> desktop = tamberlo::makeSystemDesktop();
#ifdef SIGPIPE
  // A browser that has gone away closes the reply pipe: the host then ends quietly at the failed
  // write, not by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  int replies = tamberlo::takeReplyStream();
  std::unique_ptr<tamberlo::FileSystem> files = tamberlo::makeSystemFileSystem();
  // The one Downloads folder of this process: what the sandbox allows, and where every message
  // works. A change of the user's setting takes effect in the next host the browser starts.
  std::optional<std::string> downloads =
      tamberlo::SafariWebExtensionHandler::downloadsFolder(*files);
#ifdef TAMBERLO_TEST_DOWNLOADS_ENV
  // Only in the tests' own build of the host (tests/CMakeLists.txt), never in the one shipped:
  // there the folder comes from the environment, as the tests cannot give a host a Downloads
  // folder of its own through the user's settings without changing them.
  if (const wchar_t* folder = ::_wgetenv(L"TAMBERLO_TEST_DOWNLOADS"); folder != nullptr) {
    downloads = tamberlo::toUtf8(folder);
    if (downloads) downloads = files->resolveSymlinks(*downloads);
  }
#endif
  tamberlo::SafariWebExtensionHandler handler(*files, *desktop, downloads,
                                              tamberlo::makeSystemSink());
  confineHost(downloads);
  return tamberlo::serveNativeMessages(tamberlo::kStandardInput, replies, handler);
}
