// The host's confinement: what a process may still reach once it has restricted itself, fixed for
// the rest of its life and for every process it starts afterwards.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tamberlo::Sandbox {

// The places a confined process keeps. Paths are taken as they stand when confine() runs: a
// rule holds the object found there then, so a folder or file made, replaced or moved in later
// is not covered by it.
struct Grants {
  // Read, write, create and remove regular files, truncate and list folders beneath it.
  std::optional<std::string> readWrite;
  // Read only (files) and list (folders).
  std::vector<std::string> readOnly;
  // The journal's local datagram socket, connected before confine(): sends on it without an
  // address only, so nothing else is reached through it.
  std::optional<int> journal;
  // A TCP socket bound before confine(): it may be put into listen() later and accept
  // connections, which are then read and written, with an event loop (epoll, eventfd, timerfd)
  // to serve them. No other socket can listen or accept.
  std::optional<int> listener;
};

// Which restrictions are in force.
struct Outcome {
  // File access limited to the grants (Landlock), TCP and UDP ports and signals to processes
  // outside the sandbox included where the kernel can limit them.
  bool files = false;
  // The system-call filter (seccomp): only the calls the host makes once confined, some of them
  // with their arguments checked (Sandbox.cpp's table); every other call fails with ENOSYS;
  // no_new_privs set.
  bool calls = false;
};

// Restricts this process, for good, to `grants` and the call filter. A grant whose path does not
// exist is left out. Each restriction that the kernel does not offer is skipped and the process
// runs without it; nothing here ever stops the process. REQUIRES: a single-threaded process (the
// restriction applies to the calling thread and the threads and processes it makes later).
// Promises: where an outcome member is true, that restriction is in force.
Outcome confine(const Grants& grants);

}  // namespace tamberlo::Sandbox
