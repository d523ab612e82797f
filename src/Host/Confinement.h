// The host's own confinement, applied once at start: what the app sandbox's entitlements grant,
// and nothing more.
#pragma once

#include "Extension/SafariWebExtensionHandler.h"

namespace tamberlo {

// Restricts the process for good to the Downloads folder that `handler` finds now (read, write,
// create, remove, truncate, list) and to reading the user-dirs file that the folder's lookup
// reads, with the OS's other restrictions on top (Platform/Confinement.h). Where the OS lacks a
// part of it, logs one info line naming what is missing and goes on without it. Call after every
// library the host needs is loaded and every descriptor it keeps is open (the journal's library
// included), and before any message is read.
void confineHost(SafariWebExtensionHandler& handler);

}  // namespace tamberlo
