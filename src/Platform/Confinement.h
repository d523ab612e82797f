// The process's confinement: what it may still reach once it has restricted itself, fixed for
// the rest of its life and for every process it starts afterwards.
#pragma once

#include <optional>
#include <string>

namespace tamberlo {

// Restricts this process for good to `downloads` (read, write, create, remove, truncate, list;
// nothing when absent, or when no folder stands there now) and to what the OS needs to find that
// folder again, with whatever else the OS offers to keep a process from running programs or
// reaching other processes. The host calls it once at start, with the folder its handler works
// in, before it reads any message. REQUIRES: a single-threaded process with every library and
// descriptor it keeps already loaded and open; where the system log is a socket, that socket
// connected already (a system sink made) to stay usable. Returns nothing when every restriction
// is in force, else a short public text naming what the OS lacks (the process then runs without
// it; nothing here ever stops the process). `listener`, when given, is a TCP socket already
// bound (to a loopback port) that may later listen and accept connections, served by an event
// loop; no other socket can. A terminal as standard error is replaced with the null device
// first.
std::optional<std::string> confineToDownloads(const std::optional<std::string>& downloads,
                                              std::optional<int> listener = std::nullopt);

}  // namespace tamberlo
