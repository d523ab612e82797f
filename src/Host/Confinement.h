// The host's own confinement, applied once at start: the Downloads folder and what the host needs
// to keep serving, and nothing more.
#pragma once

#include <optional>
#include <string>

namespace tamberlo {

// Restricts the process for good to `downloads`, the folder the handler works in (read, write,
// create, remove, truncate, list) and to reading the user-dirs file that the folder's lookup
// reads, with the OS's other restrictions on top (Platform/Confinement.h). Where the OS lacks a
// part of it, logs one info line naming what is missing and goes on without it. Call after every
// library the host needs is loaded and every descriptor it keeps is open (the journal's library
// included), and before any message is read. `listener`, when given, is the channel's bound
// socket, which may later listen and accept (Platform/Confinement.h).
void confineHost(const std::optional<std::string>& downloads,
                 std::optional<int> listener = std::nullopt);

}  // namespace tamberlo
