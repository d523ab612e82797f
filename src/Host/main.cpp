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
#include "Host/Confinement.h"
#include "Host/NativeHost.h"
#include "Platform/Desktop.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"
#include "Platform/Streams.h"

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
      listener = (*server)->descriptor();
      channel = std::move(*server);
    } else {
      channel = tamberlo::makeRefusingChannel(server.error().description);
    }
  }
  tamberlo::SafariWebExtensionHandler handler(*files, *desktop, downloads,
                                              tamberlo::makeSystemSink(), *channel);
  tamberlo::confineHost(downloads, listener);
  return tamberlo::serveNativeMessages(tamberlo::kStandardInput, replies, handler);
}
