// tamberlo-host: the native-messaging host that browsers start for the extension. Browsers pass
// arguments of their own (the caller's origin; a manifest path and an add-on ID); none of them
// changes what the host does.
#include <unistd.h>

#include <csignal>

#include "Host/Confinement.h"
#include "Host/NativeHost.h"
#include "Platform/Desktop.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

int main() {
  // First of all: the launcher is a copy of the process as it stands, before it holds anything
  // or gives up any right.
  std::unique_ptr<tamberlo::Desktop> desktop = tamberlo::startLauncherDesktop();
  // A browser that has gone away closes our output; that ends us quietly, not by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  int replies = tamberlo::takeReplyStream();
  tamberlo::PosixFileSystem files;
  tamberlo::SafariWebExtensionHandler handler(files, *desktop, tamberlo::makeSystemSink());
  tamberlo::confineHost(handler);
  return tamberlo::serveNativeMessages(STDIN_FILENO, replies, handler);
}
