// The desktop of a freedesktop session. Opening goes through GIO's default application for the
// file's type, so the user's own associations (mimeapps.list, .desktop files) decide; showing
// goes to the file manager over the session bus, and falls back to opening the folder.
//
// Threads and main contexts: the host runs no main loop. GIO starts helper threads of its own
// (the D-Bus worker, the folder watches of its application index); they are never joined, so
// they cannot hold up the end of the process. Nothing here waits on the global default main
// context; the one asynchronous step (connecting to the bus) runs in a private context.
#include <gio/gio.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "Platform/Desktop.h"
#include "Platform/FileManagerBus.h"
#include "Platform/GLibHandles.h"

namespace tamberlo {
namespace {

// The longest the file manager is given before reveal moves on. Together with the launch of
// a fallback it keeps a reply well within a second.
constexpr std::chrono::milliseconds kFileManagerBudget{500};

// The file URI of the absolute `path`, escaped by GLib (spaces, "#", "%" and non-ASCII bytes
// all survive the trip), or nothing for a path GLib refuses (a relative one).
std::optional<std::string> fileUri(const std::string& path) {
  GError* rawError = nullptr;
  glib::String uri(g_filename_to_uri(path.c_str(), nullptr, &rawError));
  glib::ErrorPtr error(rawError);
  if (!uri) return std::nullopt;
  return std::string(uri.get());
}

// Launches the default application for what `uri` names. True when a launch happened; false
// when no application is registered for its type or the launch failed. The application is
// not waited for: GIO spawns it detached.
bool launchDefault(const std::string& uri) {
  GError* rawError = nullptr;
  bool launched = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &rawError);
  glib::ErrorPtr error(rawError);
  return launched;
}

class GioDesktop : public Desktop {
 public:
  bool open(const std::string& path) override {
    std::optional<std::string> uri = fileUri(path);
    return uri && launchDefault(*uri);
  }

  void reveal(const std::string& path) override {
    std::optional<std::string> uri = fileUri(path);
    if (!uri) return;
    if (FileManagerBus::showItem(*uri, kFileManagerBudget) != FileManagerBus::Outcome::kNotShown) {
      return;
    }
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (std::optional<std::string> folderUri = fileUri(folder)) launchDefault(*folderUri);
  }
};

}  // namespace

std::unique_ptr<Desktop> makeGioDesktop() { return std::make_unique<GioDesktop>(); }

}  // namespace tamberlo
