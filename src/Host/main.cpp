// tamberlo-host: the native-messaging host that browsers start for the extension. Browsers pass
// arguments of their own (the caller's origin; a manifest path and an add-on ID): they only say
// which origins may use the channel (ChannelRules::callersFrom). A browser never passes --version
// first: that alone prints the version and ends.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "Host/ChannelServer.h"
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

// Confines the host to `downloads`, with `listener` (the channel's bound socket) allowed to
// listen and accept (Platform/Confinement.h); where the OS lacks a part of the confinement, logs
// one info line naming it and goes on without it.
void confineHost(const std::optional<std::string>& downloads, std::optional<int> listener) {
  std::optional<std::string> missing = tamberlo::confineToDownloads(downloads, listener);
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
  // The channel's socket is made and bound now, before the confinement, which lets it listen
  // later and makes no other; it listens only once the caller asks for it.
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  tamberlo::ChannelRules::Callers callers = tamberlo::ChannelRules::callersFrom(arguments);
  std::unique_ptr<tamberlo::BulkChannel> channel;
  std::optional<int> listener;
  if (!callers.known()) {
    channel = tamberlo::makeRefusingChannel("no channel for this caller");
  } else if (!downloads) {
    channel = tamberlo::makeRefusingChannel("no Downloads folder");
  } else {
    auto server = tamberlo::ChannelServer::make(*files, *downloads, std::move(callers),
                                                tamberlo::makeSystemSink());
    if (server) {
      if (int descriptor = (*server)->descriptor(); descriptor >= 0) listener = descriptor;
      channel = std::move(*server);
    } else {
      channel = tamberlo::makeRefusingChannel(server.error().description);
    }
  }
  tamberlo::SafariWebExtensionHandler handler(*files, *desktop, downloads,
                                              tamberlo::makeSystemSink(), *channel);
  confineHost(downloads, listener);
  return tamberlo::serveNativeMessages(tamberlo::kStandardInput, replies, handler);
}
