// tamberlo-host: the native-messaging host that browsers start for the extension. Browsers pass
// arguments of their own (the caller's origin; a manifest path and an add-on ID); none of them
// changes what the host does. A browser never passes --version first: that alone prints the
// version and ends.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "Host/Confinement.h"
#include "Host/NativeHost.h"
#include "Platform/Desktop.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("tamberlo-host " TAMBERLO_VERSION);
    return 0;
  }
  // Next: the launcher is a copy of the process as it stands, before it holds anything or gives
  // up any right.
  std::unique_ptr<tamberlo::Desktop> desktop = tamberlo::startLauncherDesktop();
  // A browser that has gone away closes our output; that ends us quietly, not by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  int replies = tamberlo::takeReplyStream();
  tamberlo::PosixFileSystem files;
  tamberlo::SafariWebExtensionHandler handler(files, *desktop, tamberlo::makeSystemSink());
  tamberlo::confineHost(handler);
  return tamberlo::serveNativeMessages(STDIN_FILENO, replies, handler);
}
