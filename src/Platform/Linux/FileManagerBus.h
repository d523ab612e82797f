// The freedesktop file manager interface on the session bus: the one call that shows files
// selected in the user's file manager window.
#pragma once

#include <chrono>
#include <string>

namespace tamberlo::glib {
struct Functions;
}

namespace tamberlo::FileManagerBus {

inline constexpr char kBusName[] = "org.freedesktop.FileManager1";
inline constexpr char kObjectPath[] = "/org/freedesktop/FileManager1";
inline constexpr char kInterface[] = "org.freedesktop.FileManager1";

enum class Outcome {
  // The file manager answered: it is showing the file.
  kShown,
  // The request went to a file manager (running, or being started by the bus for the name)
  // that has not answered yet. It is not waited for: a cold start can outlast any sensible
  // wait, and showing the folder as well would open two windows.
  kUnanswered,
  // Nobody took the request: no session bus, no file manager running or startable for the
  // name, or the call failed. The caller shows the folder another way.
  kNotShown,
};

// Asks the file manager on the session bus to show the file at the file URI `uri` selected
// (ShowItems with the one URI and an empty startup id), calling GLib through `g`, a loaded
// table (GLibLibrary.h). REQUIRES: nothing else of the caller: the bus is found the way every
// GLib program finds it (DBUS_SESSION_BUS_ADDRESS, else the user's runtime folder) and a
// private connection is opened and dropped within the call. Returns within about `budget`
// whatever the bus and the file manager do, including a bus that never speaks; never runs or
// leaves anything in the caller's main context.
Outcome showItem(const glib::Functions& g, const std::string& uri,
                 std::chrono::milliseconds budget);

}  // namespace tamberlo::FileManagerBus
