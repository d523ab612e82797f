// tamberlo-register for Windows: the manifests stand beside this program, one per browser
// (NAME.chrome.json, NAME.edge.json, NAME.chromium.json, NAME.firefox.json), and each browser's
// key HKCU\<its key>\NAME names its own. So each browser keeps its own callers, as on Linux.
//
// Writes never follow a link: the manifest is written into a new file of an unpredictable name
// (CREATE_NEW, never opening a reparse point) and moved over it, and a manifest that is a
// reparse point is refused. Removing deletes a key only when it names this folder's manifest.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <array>
#include <cstdio>
#include <filesystem>

#include "Install/Installer.h"
#include "Platform/Windows/Utf16.h"
#include "Platform/Windows/WindowsError.h"

namespace tamberlo::Install {
namespace {

namespace fs = std::filesystem;

struct Browser {
  std::string_view option;  // its --browser value
  std::string_view title;
  BrowserKind kind;
  std::string_view key;  // under HKEY_CURRENT_USER
};

constexpr Browser kBrowsers[] = {
    {"chrome", "Chrome", BrowserKind::kChromium, "Software\\Google\\Chrome\\NativeMessagingHosts"},
    {"edge", "Edge", BrowserKind::kChromium, "Software\\Microsoft\\Edge\\NativeMessagingHosts"},
    {"chromium", "Chromium", BrowserKind::kChromium, "Software\\Chromium\\NativeMessagingHosts"},
    {"firefox", "Firefox", BrowserKind::kFirefox, "Software\\Mozilla\\NativeMessagingHosts"},
};
constexpr std::array<std::string_view, 4> kOptions = {"chrome", "edge", "chromium", "firefox"};

constexpr std::string_view kUsage =
    "usage: tamberlo-register [--extension-id ID]... [--firefox-id ID]... [--host PATH]\n"
    "                         [--name NAME] [--browser {chrome,chromium,edge,firefox}]...\n"
    "                         [--remove | --list] [--version]\n"
    "\n"
    "Write, list or (with --remove) delete the native-messaging manifests of tamberlo-host\n"
    "beside this program and their registry keys, for the current user's browsers.\n"
    "\n"
    "  --extension-id ID  Chromium-based browsers' extension ID allowed to call the host\n"
    "                     (repeatable)\n"
    "  --firefox-id ID    Firefox add-on ID allowed to call the host (repeatable)\n"
    "  --host PATH        host program (default: tamberlo-host.exe beside this program); with\n"
    "                     --remove and no caller: delete the manifests naming PATH\n"
    "  --name NAME        host name the extensions connect to (default: tamberlo.host)\n"
    "  --browser NAME     only this browser (repeatable; default: all four)\n"
    "  --remove           delete the callers named, or with none named the whole registration\n"
    "  --list             show where the host is registered and for which callers\n"
    "  --version          show the version and exit\n";

constexpr std::string_view kReparse = "it is a reparse point (a link), which is never followed";

// Text from Windows in UTF-8, for messages; an unpaired surrogate (which no UTF-8 holds) shows
// as U+FFFD.
std::string utf8(std::wstring_view text) {
  if (std::optional<std::string> converted = toUtf8(text)) return *converted;
  std::wstring mended(text);
  auto isHigh = [](wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; };
  auto isLow = [](wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
  for (size_t i = 0; i < mended.size(); ++i) {
    if (isHigh(mended[i]) && i + 1 < mended.size() && isLow(mended[i + 1])) {
      ++i;
    } else if (isHigh(mended[i]) || isLow(mended[i])) {
      mended[i] = 0xFFFD;
    }
  }
  return toUtf8(mended).value_or("");
}

// UTF-8 text that is valid (arguments, and names that came through utf8 or a check).
std::wstring wide(std::string_view text) { return toUtf16(text).value_or(L""); }

std::string failure(DWORD code, std::string_view what) {
  return windowsError(code, what).description;
}

Error notRegular(std::string_view why) {
  Error error = failed(std::string(why));
  error.kind = ErrorKind::kNotRegularFile;
  return error;
}

// Closes a handle when it goes.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  void close() { reset(INVALID_HANDLE_VALUE); }
  void reset(HANDLE handle) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// --- The registry: one key per browser and host name, its default value a manifest's path.

std::string shownKey(const std::string& key) { return "HKCU\\" + key; }

// The key's default value, or nothing when the key or its value is missing or not text.
std::optional<std::wstring> readDefault(const std::string& key) {
  std::wstring name = wide(key);
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, name.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr,
                   &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::wstring value(bytes / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_CURRENT_USER, name.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value.data(),
                   &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.resize(bytes / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
}

Status writeDefault(const std::string& key, const std::wstring& value) {
  HKEY handle;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, wide(key).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status == ERROR_SUCCESS) {
    status =
        RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
  }
  if (status != ERROR_SUCCESS) return failed(failure(status, "cannot write " + shownKey(key)));
  return success();
}

bool isEmptyKey(const std::wstring& key) {
  HKEY handle;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) {
    return false;
  }
  DWORD subkeys = 1, values = 1;
  LSTATUS status = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                    &values, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(handle);
  return status == ERROR_SUCCESS && subkeys == 0 && values == 0;
}

// Deletes `key`, then each parent it leaves empty, up to but not including HKCU\Software.
Status deleteKey(const std::string& key) {
  std::wstring name = wide(key);
  LSTATUS status = RegDeleteKeyW(HKEY_CURRENT_USER, name.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    return failed(failure(status, "cannot remove " + shownKey(key)));
  }
  std::wstring parent = name.substr(0, name.rfind(L'\\'));
  while (parent.find(L'\\') != std::wstring::npos && isEmptyKey(parent)) {
    if (RegDeleteKeyW(HKEY_CURRENT_USER, parent.c_str()) != ERROR_SUCCESS) break;
    parent = parent.substr(0, parent.rfind(L'\\'));
  }
  return success();
}

bool samePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// --- Files.

fs::path programFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return fs::path(path).parent_path();
    }
    path.resize(path.size() * 2);
  }
}

// The file's text; nothing when there is none; never through a reparse point.
Result<std::optional<std::string>> readFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return std::optional<std::string>();
    }
    return failed(failure(error, "cannot read"));
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return notRegular(kReparse);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return notRegular("it is not a regular file");
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return failed(failure(GetLastError(), "cannot read"));
  std::string text;
  char buffer[8192];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return std::optional<std::string>(std::move(text));
}

// A name for a temporary file that no one can guess.
std::optional<std::wstring> randomSuffix() {
  unsigned char random[8];
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return std::nullopt;
  }
  wchar_t text[17];
  for (size_t i = 0; i < sizeof(random); ++i) {
    std::swprintf(text + 2 * i, 3, L"%02x", random[i]);
  }
  return std::wstring(text, 16);
}

class WindowsInstaller final : public Installer {
 public:
  std::span<const std::string_view> browsers() const override { return kOptions; }
  std::string_view usage() const override { return kUsage; }

  Result<std::vector<Place>> places(const Options& options) override {
    if (options.system || options.root || !options.userDataDirs.empty()) {
      return refused("--system, --root and --user-data-dir are for Linux only");
    }
    std::vector<Place> found;
    for (const Browser& browser : kBrowsers) {
      bool named = options.browsers.empty() ||
                   std::find(options.browsers.begin(), options.browsers.end(), browser.option) !=
                       options.browsers.end();
      if (!named) continue;
      Place place;
      place.title = browser.title;
      place.kind = browser.kind;
      place.folder = utf8(folder_.native());
      place.manifest = utf8(
          (folder_ / wide(options.name + "." + std::string(browser.option) + ".json")).native());
      place.base = place.folder;
      place.key = std::string(browser.key) + "\\" + options.name;
      place.shown = shownKey(place.key);
      found.push_back(std::move(place));
    }
    return found;
  }

  Result<std::string> host(const Options& options) override {
    std::error_code error;
    fs::path host =
        options.host ? fs::absolute(wide(*options.host), error) : folder_ / L"tamberlo-host.exe";
    if (!fs::is_regular_file(host, error)) {
      return refused("host program " + utf8(host.native()) + " does not exist or is not a file");
    }
    std::optional<std::string> text = toUtf8(host.native());
    if (!text) {
      return refused("host program " + utf8(host.native()) +
                     " has a path that a manifest cannot hold");
    }
    return *text;
  }

  Result<std::optional<std::string>> read(const Place& place) override {
    Result<std::optional<std::string>> text = readFile(wide(place.manifest));
    if (!text || *text || place.key.empty()) return text;
    // A browser registered before each had its own manifest names the one it shared with the
    // others: its callers are this browser's until its own manifest is written.
    std::optional<std::wstring> named = readDefault(place.key);
    if (named && samePath(*named, sharedManifest(place))) return readFile(*named);
    return text;
  }

  Status write(const Place& place, const std::string& text) override {
    std::wstring path = wide(place.manifest);
    auto cannot = [&](std::string_view why) {
      return failed("cannot write " + place.manifest + ": " + std::string(why));
    };
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return cannot(kReparse);
    }
    std::wstring temporary;
    Handle file(INVALID_HANDLE_VALUE);
    for (int attempt = 0; attempt < 8 && !file.valid(); ++attempt) {
      std::optional<std::wstring> suffix = randomSuffix();
      if (!suffix) return cannot("no random name for a temporary file");
      temporary = wide(place.folder) + L"\\." + fs::path(path).filename().native() + L"." +
                  *suffix + L".tmp";
      HANDLE made = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (made == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
        return failed(failure(GetLastError(), "cannot write " + place.manifest));
      }
      file.reset(made);
    }
    if (!file.valid()) return cannot("no free temporary name");
    auto fail = [&](DWORD error) {
      file.close();
      DeleteFileW(temporary.c_str());
      return failed(failure(error, "cannot write " + place.manifest));
    };
    DWORD wrote = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) ||
        wrote != text.size()) {
      return fail(GetLastError());
    }
    if (!FlushFileBuffers(file.get())) return fail(GetLastError());
    file.close();
    if (!MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return fail(GetLastError());
    }
    if (Status named = writeDefault(place.key, path); !named) return named;
    std::printf("registered for %s: %s\n", place.title.c_str(), place.shown.c_str());
    return dropSharedManifest(place);
  }

  Status remove(const Place& place) override {
    std::wstring path = wide(place.manifest);
    if (std::optional<std::wstring> named = readDefault(place.key)) {
      if (samePath(*named, path) || samePath(*named, sharedManifest(place))) {
        if (Status deleted = deleteKey(place.key); !deleted) return deleted;
        std::printf("removed %s\n", place.shown.c_str());
      } else {
        std::printf("left %s: it names %s\n", place.shown.c_str(), utf8(*named).c_str());
      }
    }
    if (DeleteFileW(path.c_str())) {
      std::printf("removed %s\n", place.manifest.c_str());
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      return failed(failure(GetLastError(), "cannot remove " + place.manifest));
    }
    return dropSharedManifest(place);
  }

  std::optional<Place> listed(const Place& place) override {
    std::optional<std::wstring> named = readDefault(place.key);
    if (!named) return std::nullopt;
    Place shown = place;
    shown.manifest = utf8(*named);
    shown.shown = shownKey(place.key) + "\n  manifest: " + shown.manifest;
    return shown;
  }

  std::vector<Place> everyManifest(const Place& place) override { return {place}; }

  HostState hostState(std::string_view path) override {
    if (!isAbsoluteHost(path)) return HostState::kNotAbsolute;
    std::error_code error;
    return fs::is_regular_file(fs::path(wide(path)), error) ? HostState::kExecutable
                                                            : HostState::kMissing;
  }

 private:
  // The manifest that Chrome, Edge and Chromium shared before each had its own.
  std::wstring sharedManifest(const Place& place) const {
    std::string name = place.key.substr(place.key.rfind('\\') + 1);
    return (folder_ / wide(name + ".json")).native();
  }

  // Deletes the shared manifest once no Chromium-based browser's key names it.
  Status dropSharedManifest(const Place& place) {
    if (place.kind != BrowserKind::kChromium) return success();
    std::wstring shared = sharedManifest(place);
    std::string name = place.key.substr(place.key.rfind('\\') + 1);
    for (const Browser& browser : kBrowsers) {
      if (browser.kind != BrowserKind::kChromium) continue;
      std::optional<std::wstring> named = readDefault(std::string(browser.key) + "\\" + name);
      if (named && samePath(*named, shared)) return success();
    }
    if (DeleteFileW(shared.c_str())) {
      std::printf("removed %s\n", utf8(shared).c_str());
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      return failed(failure(GetLastError(), "cannot remove " + utf8(shared)));
    }
    return success();
  }

  fs::path folder_ = programFolder();
};

}  // namespace
}  // namespace tamberlo::Install

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::optional<std::string> arg = tamberlo::toUtf8(argv[i]);
    if (!arg) {
      std::fprintf(stderr, "tamberlo-register: argument %d is not text; nothing written\n", i);
      return 2;
    }
    args.push_back(std::move(*arg));
  }
  tamberlo::Install::WindowsInstaller installer;
  return tamberlo::Install::runRegister(args, installer);
}
