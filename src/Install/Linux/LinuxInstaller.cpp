// tamberlo-register for Linux: the manifests stand in the browsers' own folders, for the
// current user (under XDG_CONFIG_HOME or HOME) or for all users (--system, under --root), or in
// a Chromium profile's folder (--user-data-dir).
//
// Writes never follow a link: folders below the browser's own folder (for all users: below the
// root), or below a --user-data-dir, are opened one by one with O_NOFOLLOW, the manifest is written
// into a new file of an unpredictable name made with O_EXCL and renamed over it, and a manifest
// that is a link is refused.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Install/Installer.h"

namespace tamberlo::Install {
namespace {

namespace fs = std::filesystem;

struct Browser {
  std::string_view option;
  std::string_view title;
  BrowserKind kind;
  bool inConfig;                // its own folder is under XDG_CONFIG_HOME (else under HOME)
  std::string_view folder;      // its own folder, relative to XDG_CONFIG_HOME or HOME
  std::string_view systemPath;  // where it looks for all users, relative to /; empty if nowhere
};

constexpr Browser kBrowsers[] = {
    {"chromium", "Chromium", BrowserKind::kChromium, true, "chromium",
     "etc/chromium/native-messaging-hosts"},
    {"chrome", "Chrome", BrowserKind::kChromium, true, "google-chrome",
     "etc/opt/chrome/native-messaging-hosts"},
    {"edge", "Edge", BrowserKind::kChromium, true, "microsoft-edge",
     "etc/opt/edge/native-messaging-hosts"},
    {"brave", "Brave", BrowserKind::kChromium, true, "BraveSoftware/Brave-Browser", ""},
    {"vivaldi", "Vivaldi", BrowserKind::kChromium, true, "vivaldi", ""},
    {"firefox", "Firefox", BrowserKind::kFirefox, false, ".mozilla",
     "usr/lib/mozilla/native-messaging-hosts"},
    {"librewolf", "LibreWolf", BrowserKind::kFirefox, false, ".librewolf", ""},
};
constexpr std::array<std::string_view, 7> kOptions = {"chromium", "chrome",  "edge",     "brave",
                                                      "vivaldi",  "firefox", "librewolf"};
// Folders a removal never removes, even when empty, relative to the system root.
constexpr std::string_view kSystemStops[] = {"", "etc", "etc/opt", "usr", "usr/lib"};

constexpr std::string_view kUsage =
    "usage: tamberlo-register [-h] [--version] [--extension-id ID] [--firefox-id ID]\n"
    "                         [--host PATH] [--name NAME] [--browser BROWSER]\n"
    "                         [--user-data-dir DIR] [--system] [--root DIR]\n"
    "                         [--remove | --list]\n"
    "\n"
    "Write, list or (with --remove) delete the native-messaging manifests of tamberlo-host,\n"
    "for the current user's browsers or (with --system) for all users.\n"
    "\n"
    "  --extension-id ID   Chromium-based browsers' extension ID allowed to call the host\n"
    "                      (repeatable)\n"
    "  --firefox-id ID     Firefox add-on ID allowed to call the host (repeatable)\n"
    "  --host PATH         host program (default: tamberlo-host beside this command); with\n"
    "                      --remove and no caller: delete every manifest naming PATH\n"
    "  --name NAME         host name the extensions connect to (default: tamberlo.host)\n"
    "  --browser BROWSER   only this browser, even if its folder does not exist yet: brave,\n"
    "                      chrome, chromium, edge, firefox, librewolf or vivaldi (repeatable;\n"
    "                      default: every browser whose folder exists)\n"
    "  --user-data-dir DIR write into this Chromium profile folder's NativeMessagingHosts/\n"
    "                      instead of the user's browser folders (repeatable)\n"
    "  --system            the folders browsers read for all users (needs root)\n"
    "  --root DIR          with --system: a staging root standing in for / (default: /)\n"
    "  --remove            delete the callers named, or with none named the whole manifests\n"
    "  --list              show where the host is registered and for which callers\n"
    "  --version           show the version and exit\n";

// Like Python's os.path.abspath: absolute, without "." and "..", and no slash at the end.
std::string absolute(const std::string& path) {
  std::error_code ignored;
  std::string text = fs::absolute(path, ignored).lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string join(const std::string& folder, std::string_view name) {
  if (name.empty()) return folder;
  return folder.ends_with('/') ? folder + std::string(name) : folder + "/" + std::string(name);
}

// Where an absolute path of the system stands when `root` stands in for /.
std::string under(const std::string& root, const std::string& path) {
  return absolute(join(root, path.substr(path.find_first_not_of('/') == std::string::npos
                                             ? path.size()
                                             : path.find_first_not_of('/'))));
}

std::string_view subfolder(BrowserKind kind) {
  return kind == BrowserKind::kChromium ? "NativeMessagingHosts" : "native-messaging-hosts";
}

bool isFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Closes a descriptor when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

constexpr std::string_view kLink = "it is a symbolic link, which is never followed";

class LinuxInstaller final : public Installer {
 public:
  std::span<const std::string_view> browsers() const override { return kOptions; }
  std::string_view usage() const override { return kUsage; }

  Result<std::vector<Place>> places(const Options& options) override {
    root_ = absolute(options.root.value_or("/"));
    if (options.system && !options.list && root_ == "/" && geteuid() != 0) {
      return refused("--system writes where every user's browsers look: run it as root");
    }
    std::vector<Place> found;
    if (!options.userDataDirs.empty()) {
      for (const std::string& dir : options.userDataDirs) {
        std::string folder = join(absolute(dir), "NativeMessagingHosts");
        std::string parent = fs::path(absolute(dir)).parent_path().string();
        found.push_back(place("Chromium profile " + dir, BrowserKind::kChromium, false, folder,
                              folder, absolute(dir), {parent}, options.name));
      }
      return found;
    }
    std::vector<const Browser*> named;
    for (const std::string& option : options.browsers) {
      for (const Browser& browser : kBrowsers) {
        if (browser.option == option) named.push_back(&browser);
      }
    }
    if (named.empty()) {
      for (const Browser& browser : kBrowsers) named.push_back(&browser);
    }
    if (!options.system) {
      const char* home = std::getenv("HOME");
      if (home == nullptr || *home == '\0') {
        return refused("HOME is not set: there is no user to register for");
      }
      const char* xdg = std::getenv("XDG_CONFIG_HOME");
      std::string config = xdg != nullptr && *xdg != '\0' ? xdg : join(home, ".config");
      for (const Browser* browser : named) {
        std::string base = browser->inConfig ? config : std::string(home);
        std::string own = join(base, browser->folder);
        found.push_back(place(std::string(browser->title) + " (user)", browser->kind, false,
                              join(own, subfolder(browser->kind)), own, own, {base, home},
                              options.name));
      }
    }
    if (options.system || options.list) {
      std::vector<std::string> stops;
      for (std::string_view stop : kSystemStops)
        stops.push_back(under(root_, std::string("/").append(stop)));
      for (const Browser* browser : named) {
        if (browser->systemPath.empty()) {
          if (options.system && !options.browsers.empty()) {
            return refused(std::string(browser->title) + " has no folder known for all users");
          }
          continue;
        }
        std::string folder = join(root_, browser->systemPath);
        found.push_back(place(std::string(browser->title) + " (system)", browser->kind, true,
                              folder, folder, root_, stops, options.name));
      }
    }
    return found;
  }

  Result<std::string> host(const Options& options) override {
    std::string path = options.host ? *options.host : besideThisProgram();
    std::string host = absolute(path);
    std::string inside = under(root_, host);
    struct stat status;
    if (stat(inside.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      return refused("host program " + inside + " does not exist or is not a file");
    }
    if (access(inside.c_str(), X_OK) != 0) {
      return refused("host program " + inside + " is not executable");
    }
    return host;
  }

  Result<std::optional<std::string>> read(const Place& place) override {
    Descriptor file(open(place.manifest.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return std::optional<std::string>();
      if (errno == ELOOP) return notRegular(kLink);
      return failed(std::strerror(errno));
    }
    struct stat status;
    if (fstat(file.get(), &status) != 0) return failed(std::strerror(errno));
    if (!S_ISREG(status.st_mode)) return notRegular("it is not a regular file");
    std::string text;
    char buffer[8192];
    for (;;) {
      ssize_t got = ::read(file.get(), buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return failed(std::strerror(errno));
      if (got == 0) break;
      text.append(buffer, static_cast<size_t>(got));
    }
    return std::optional<std::string>(std::move(text));
  }

  Status write(const Place& place, const std::string& text) override {
    auto cannot = [&](std::string_view why) {
      return failed("cannot write " + place.manifest + ": " + std::string(why));
    };
    Result<Descriptor> folder = openFolder(place);
    if (!folder) return cannot(folder.error().description);
    std::string name = fs::path(place.manifest).filename().string();
    struct stat status;
    if (fstatat(folder->get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(status.st_mode)) return cannot(kLink);
      if (!S_ISREG(status.st_mode)) return cannot("it is not a regular file");
    }
    // A name no one can guess, made here and now: nothing planted can stand at it.
    std::string temporary;
    Descriptor file;
    for (int attempt = 0; attempt < 8 && file.get() < 0; ++attempt) {
      unsigned char random[8];
      if (getrandom(random, sizeof(random), 0) != sizeof(random))
        return cannot(std::strerror(errno));
      char suffix[17];
      for (size_t i = 0; i < sizeof(random); ++i)
        std::snprintf(suffix + 2 * i, 3, "%02x", random[i]);
      temporary = std::string(".").append(name).append(".").append(suffix);
      file = Descriptor(openat(folder->get(), temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (file.get() < 0 && errno != EEXIST) return cannot(std::strerror(errno));
    }
    if (file.get() < 0) return cannot(std::strerror(errno));
    auto fail = [&](int error) {
      unlinkat(folder->get(), temporary.c_str(), 0);
      return cannot(std::strerror(error));
    };
    // Browsers of other users read system-wide manifests.
    if (fchmod(file.get(), 0644) != 0) return fail(errno);
    for (size_t done = 0; done < text.size();) {
      ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0) return fail(errno);
      done += static_cast<size_t>(wrote);
    }
    if (fsync(file.get()) != 0) return fail(errno);
    if (renameat(folder->get(), temporary.c_str(), folder->get(), name.c_str()) != 0) {
      return fail(errno);
    }
    fsync(folder->get());
    return success();
  }

  Status remove(const Place& place) override {
    if (unlink(place.manifest.c_str()) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return success();
      return failed("cannot remove " + place.manifest + ": " + std::strerror(errno));
    }
    std::printf("removed %s\n", place.manifest.c_str());
    // The folders left empty, up to the one the browser's own folder stands in.
    std::string folder = absolute(place.folder);
    for (;;) {
      if (folder == "/" ||
          std::find(place.stops.begin(), place.stops.end(), folder) != place.stops.end()) {
        break;
      }
      if (rmdir(folder.c_str()) != 0) break;
      folder = fs::path(folder).parent_path().string();
    }
    return success();
  }

  std::optional<Place> listed(const Place& place) override { return place; }

  std::vector<Place> everyManifest(const Place& place) override {
    std::vector<Place> found;
    DIR* folder = opendir(place.folder.c_str());
    if (folder == nullptr) return found;
    while (const dirent* entry = readdir(folder)) {
      std::string name = entry->d_name;
      if (name.starts_with(".") || !name.ends_with(".json")) continue;
      Place other = place;
      other.manifest = join(place.folder, name);
      other.shown = other.manifest;
      found.push_back(std::move(other));
    }
    closedir(folder);
    return found;
  }

  HostState hostState(std::string_view path) override {
    if (!path.starts_with("/")) return HostState::kNotAbsolute;
    std::string inside = under(root_, std::string(path));
    struct stat status;
    if (stat(inside.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return HostState::kMissing;
    return access(inside.c_str(), X_OK) == 0 ? HostState::kExecutable : HostState::kNotExecutable;
  }

 private:
  static Error notRegular(std::string_view why) {
    Error error = failed(std::string(why));
    error.kind = ErrorKind::kNotRegularFile;
    return error;
  }

  static Place place(std::string title, BrowserKind kind, bool system, std::string folder,
                     std::string own, std::string base, std::vector<std::string> stops,
                     const std::string& name) {
    Place place;
    place.title = std::move(title);
    place.kind = kind;
    place.system = system;
    place.present = isFolder(own);
    place.ownFolder = std::move(own);
    place.manifest = join(folder, name + ".json");
    place.shown = place.manifest;
    place.folder = std::move(folder);
    place.base = absolute(base);
    for (std::string& stop : stops) stop = absolute(stop);
    place.stops = std::move(stops);
    return place;
  }

  // tamberlo-host beside this program: where the build and `cmake --install` put both.
  static std::string besideThisProgram() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "tamberlo-host").string();
  }

  // The manifest's folder, made as needed. Folders down to place.base may be links (a HOME
  // that is one); below it a link is refused, never followed.
  static Result<Descriptor> openFolder(const Place& place) {
    std::string folder = absolute(place.folder);
    Descriptor at(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (at.get() < 0) return failed(std::strerror(errno));
    std::string walked;
    for (const fs::path& piece : fs::path(folder).relative_path()) {
      walked += "/";
      walked += piece.string();
      bool follow = place.base == walked || place.base.starts_with(walked + "/");
      int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
      Descriptor next(openat(at.get(), piece.c_str(), flags));
      if (next.get() < 0 && errno == ENOENT) {
        if (mkdirat(at.get(), piece.c_str(), 0755) != 0 && errno != EEXIST) {
          return failed(std::strerror(errno));
        }
        next = Descriptor(openat(at.get(), piece.c_str(), flags));
      }
      if (next.get() < 0 && !follow && (errno == ELOOP || errno == ENOTDIR)) {
        int error = errno;
        struct stat status;
        if (fstatat(at.get(), piece.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(status.st_mode)) {
          return failed(walked + " is a symbolic link, which is never followed");
        }
        errno = error;
      }
      if (next.get() < 0) return failed(std::strerror(errno));
      at = std::move(next);
    }
    return at;
  }

  std::string root_ = "/";
};

}  // namespace
}  // namespace tamberlo::Install

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  tamberlo::Install::LinuxInstaller installer;
  return tamberlo::Install::runRegister(args, installer);
}
