// The desktop of a freedesktop session. Opening goes through GIO's default application for the
// file's type, so the user's own associations (mimeapps.list, .desktop files) decide; showing
// goes to the file manager over the session bus, and falls back to opening the folder.
//
// Threads and main contexts: the host runs no main loop. GIO starts helper threads of its own
// (the D-Bus worker, the folder watches of its application index); they are never joined, so
// they cannot hold up the end of the process. Nothing here waits on the global default main
// context; the one asynchronous step (connecting to the bus) runs in a private context.
//
// GIO is not linked: it is loaded with the first request that needs it (see GLibLibrary.h), and
// every GLib call goes through the loaded table.
#include "Platform/Linux/GioDesktop.h"

#include <chrono>
#include <filesystem>
#include <optional>

#include "Platform/Linux/FileManagerBus.h"
#include "Platform/Linux/GLibHandles.h"
#include "Platform/Linux/GLibLibrary.h"

namespace tamberlo {
namespace {

// The longest the file manager is given before reveal moves on. Together with the launch of
// a fallback it keeps a reply well within a second.
constexpr std::chrono::milliseconds kFileManagerBudget{500};

// The file URI of the absolute `path`, escaped by GLib (spaces, "#", "%" and non-ASCII bytes
// all survive the trip), or nothing for a path GLib refuses (a relative one).
std::optional<std::string> fileUri(const glib::Functions& g, const std::string& path) {
  GError* rawError = nullptr;
  glib::String uri(g.filename_to_uri(path.c_str(), nullptr, &rawError), {&g});
  glib::ErrorPtr error(rawError, {&g});
  if (!uri) return std::nullopt;
  return std::string(uri.get());
}

// Sends whatever GIO has queued on its shared session bus connection. A launch leaves messages
// there for GIO's worker thread to send later: the file itself for an application that the bus
// starts (DBusActivatable), and the launch's announcement. The launcher's child ends right after
// its answer, which would drop them. The connection is the one the launch made (GIO gets it
// for every launch); where there is no bus, nothing is sent. A bus that stops reading holds the
// flush until the launcher ends the child at its bound (kOpenWait).
void flushSessionBus(const glib::Functions& g) {
  GError* rawError = nullptr;
  glib::Object<GDBusConnection> bus(g.bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError), {&g});
  glib::ErrorPtr error(rawError, {&g});
  if (!bus) return;
  GError* rawFlushError = nullptr;
  g.dbus_connection_flush_sync(bus.get(), nullptr, &rawFlushError);
  glib::ErrorPtr flushError(rawFlushError, {&g});
}

// Launches the default application for what `uri` names. True when a launch happened; false
// when no application is registered for its type or the launch failed. The application is
// not waited for: GIO spawns it detached, or hands the file to it over the bus, which has
// the message by the time this returns.
bool launchDefault(const glib::Functions& g, const std::string& uri) {
  GError* rawError = nullptr;
  bool launched = g.app_info_launch_default_for_uri(uri.c_str(), nullptr, &rawError);
  glib::ErrorPtr error(rawError, {&g});
  if (launched) flushSessionBus(g);
  return launched;
}

class GioDesktop : public Desktop {
 public:
  // The desktop of the process's one system GIO.
  GioDesktop() : library_(&glib::systemGio()) {}
  // The desktop of a library of its own.
  explicit GioDesktop(const std::string& library)
      : own_(std::make_unique<glib::Library>(library)), library_(own_.get()) {}

  bool open(const std::string& path) override {
    const glib::Functions* g = library_->functions();
    if (g == nullptr) return false;
    std::optional<std::string> uri = fileUri(*g, path);
    return uri && launchDefault(*g, *uri);
  }

  void reveal(const std::string& path) override {
    const glib::Functions* g = library_->functions();
    if (g == nullptr) return;
    std::optional<std::string> uri = fileUri(*g, path);
    if (!uri) return;
    if (FileManagerBus::showItem(*g, *uri, kFileManagerBudget) !=
        FileManagerBus::Outcome::kNotShown) {
      return;
    }
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (std::optional<std::string> folderUri = fileUri(*g, folder)) launchDefault(*g, *folderUri);
  }

 private:
  std::unique_ptr<glib::Library> own_;  // none for the system GIO
  glib::Library* library_;
};

}  // namespace

std::unique_ptr<Desktop> makeGioDesktop() { return std::make_unique<GioDesktop>(); }

std::unique_ptr<Desktop> makeGioDesktop(const std::string& library) {
  return std::make_unique<GioDesktop>(library);
}

}  // namespace tamberlo
