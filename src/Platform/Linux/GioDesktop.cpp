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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
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

// The content types that a desktop runs, or hands to a program runner, when asked to open a file
// of them: programs, shared libraries, scripts, launchers and AppImages, and Windows programs for
// desktops that run them through an emulator. A type is one of them when GIO counts it as one of
// these or a subtype (a Python script is an application/x-executable).
constexpr std::array<const char*, 10> kProgramTypes = {
    "application/x-executable",        "application/x-sharedlib",  "application/x-shellscript",
    "application/x-desktop",           "application/vnd.appimage", "application/x-msdownload",
    "application/x-ms-dos-executable", "application/x-msi",        "application/x-ms-shortcut",
    "application/x-java-archive",
};

// True when the object at `path` is a file whose content type, as GIO guesses it from the name
// and the first bytes (as GIO itself types a file it opens), is one of kProgramTypes. A folder
// never is; a file that cannot be read is typed by its name alone.
bool isProgram(const glib::Functions& g, const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  std::array<unsigned char, 4096> head;
  size_t length = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n = ::read(fd, head.data(), head.size());
    if (n > 0) length = static_cast<size_t>(n);
    ::close(fd);
  }
  glib::String type(
      g.content_type_guess(path.c_str(), length > 0 ? head.data() : nullptr, length, nullptr),
      {&g});
  if (!type) return false;
  for (const char* program : kProgramTypes) {
    if (g.content_type_is_a(type.get(), program)) return true;
  }
  return false;
}

class GioDesktop : public Desktop {
 public:
  // The desktop of the process's one system GIO.
  GioDesktop() : library_(&glib::systemGio()) {}
  // The desktop of a library of its own.
  explicit GioDesktop(const std::string& library)
      : own_(std::make_unique<glib::Library>(library)), library_(own_.get()) {}

  OpenOutcome open(const std::string& path) override {
    const glib::Functions* g = library_->functions();
    if (g == nullptr) return OpenOutcome::kNotOpened;
    if (isProgram(*g, path)) return OpenOutcome::kRefusedProgram;
    std::optional<std::string> uri = fileUri(*g, path);
    bool launched = uri && launchDefault(*g, *uri);
    return launched ? OpenOutcome::kOpened : OpenOutcome::kNotOpened;
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
