// The desktop of a freedesktop session: GIO for opening, the file manager's D-Bus interface for
// revealing.
#pragma once

#include <memory>
#include <string>

#include "Platform/Desktop.h"

namespace tamberlo {

// The GIO/D-Bus desktop of a freedesktop session. Making it costs nothing: the system's GIO is
// loaded by the first open or reveal of any such desktop in the process, and stays loaded.
// Where GIO cannot be loaded there is no desktop to ask: open answers kNotOpened and reveal shows
// nothing, and both return at once.
std::unique_ptr<Desktop> makeGioDesktop();

// The same desktop, with GLib and GIO taken from the shared library `library` (a name or a path,
// as dlopen takes it), loaded by this desktop's first open or reveal. For running the desktop
// against a GIO other than the system's, or against none.
std::unique_ptr<Desktop> makeGioDesktop(const std::string& library);

// The GIO desktop run by a launcher process that this call forks (Launcher.h): the caller never
// loads GIO, and the applications started get /dev/null for standard input, output and error
// and none of the caller's descriptors. Open waits at most 2 s for the launcher's answer and
// answers kNotOpened without one; reveal waits at most half a second. When the launcher cannot be
// made or has ended, open answers kNotOpened and reveal shows nothing, at once. Call it first thing
// in a single-threaded process: the launcher is a copy of the process as it stands, and keeps
// whatever rights the process gives up later.
std::unique_ptr<Desktop> startLauncherDesktop();

}  // namespace tamberlo
