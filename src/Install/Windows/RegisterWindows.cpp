// tamberlo-register for Windows: writes the native-messaging manifests beside the host and
// names them to the current user's browsers in the registry, lists where the host is
// registered, or (with --remove) undoes that.
//
// A browser on Windows starts a native-messaging host when the default value of
// HKCU\<its key>\<host name> is the path of a manifest that names the host program and lists
// the calling extension. Chromium-based browsers share one manifest (<name>.json), Firefox
// has its own (<name>.firefox.json): they list their callers under different keys.
//
// Registering adds the callers named to those a manifest already lists; removing with callers
// named takes out only those, and deletes a manifest (and the keys that name it) only when it
// has no caller left. Removing without callers deletes the keys that name this folder's
// manifests, and a manifest once no key names it; keys left empty by that go too. Every
// argument is checked before anything is written: bad input writes nothing.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "Install/Windows/Manifest.h"
#include "Platform/Windows/Utf16.h"
#include "Platform/Windows/WindowsError.h"

namespace tamberlo::Install {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDefaultName = "tamberlo.host";

struct Browser {
  std::string_view option;  // its --browser value
  std::string_view title;
  BrowserKind kind;
  std::wstring_view key;  // under HKEY_CURRENT_USER
};

constexpr Browser kBrowsers[] = {
    {"chrome", "Chrome", BrowserKind::kChromium, L"Software\\Google\\Chrome\\NativeMessagingHosts"},
    {"edge", "Edge", BrowserKind::kChromium, L"Software\\Microsoft\\Edge\\NativeMessagingHosts"},
    {"chromium", "Chromium", BrowserKind::kChromium, L"Software\\Chromium\\NativeMessagingHosts"},
    {"firefox", "Firefox", BrowserKind::kFirefox, L"Software\\Mozilla\\NativeMessagingHosts"},
};

// Input that cannot be acted on; the text is shown to the user as it is.
struct Refused {
  std::string why;
};

// A Windows call that failed; the text names what was being done and why it failed.
struct Failed {
  std::string what;
};

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

std::string pathText(const fs::path& path) { return utf8(path.native()); }

// UTF-8 text that is valid (arguments and names that came through utf8 or a check).
std::wstring wide(std::string_view text) { return toUtf16(text).value_or(L""); }

// What failed and why, in the system's words.
std::string failure(DWORD code, std::string_view what) {
  return windowsError(code, what).description;
}

// --- The registry: one key per browser and host name, its default value a manifest's path.

std::wstring hostKey(const Browser& browser, std::string_view name) {
  return std::wstring(browser.key) + L"\\" + wide(name);
}

std::string shownKey(const std::wstring& key) { return "HKCU\\" + utf8(key); }

// The key's default value, or nothing when the key or its value is missing or not text.
std::optional<std::wstring> readDefault(const std::wstring& key) {
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr,
                   &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::wstring value(bytes / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value.data(),
                   &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.resize(bytes / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
}

// Creates `key` as needed and sets its default value; Failed when Windows refuses.
void writeDefault(const std::wstring& key, const std::wstring& value) {
  HKEY handle;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, &handle, nullptr);
  if (status == ERROR_SUCCESS) {
    status =
        RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
  }
  if (status != ERROR_SUCCESS) throw Failed{failure(status, "cannot write " + shownKey(key))};
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
void deleteKey(const std::wstring& key) {
  LSTATUS status = RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    throw Failed{failure(status, "cannot remove " + shownKey(key))};
  }
  std::wstring parent = key.substr(0, key.rfind(L'\\'));
  while (parent.find(L'\\') != std::wstring::npos && isEmptyKey(parent)) {
    if (RegDeleteKeyW(HKEY_CURRENT_USER, parent.c_str()) != ERROR_SUCCESS) return;
    parent = parent.substr(0, parent.rfind(L'\\'));
  }
}

// --- Manifests: files beside this program.

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

fs::path manifestPath(const fs::path& folder, std::string_view name, BrowserKind kind) {
  std::string file(name);
  file += kind == BrowserKind::kChromium ? ".json" : ".firefox.json";
  return folder / wide(file);
}

bool samePath(const std::wstring& a, const fs::path& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The file's text, or nothing when there is no such file.
std::optional<std::string> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes the whole file or leaves the old one: a browser never reads half a manifest.
void writeAtomically(const fs::path& path, const std::string& text) {
  fs::path temporary = path;
  temporary += L".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw Failed{"cannot write " + pathText(temporary)};
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    throw Failed{failure(error, "cannot write " + pathText(path))};
  }
}

void removeFile(const fs::path& path) {
  if (!DeleteFileW(path.c_str())) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    throw Failed{failure(error, "cannot remove " + pathText(path))};
  }
  std::printf("removed %s\n", pathText(path).c_str());
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? "none" : text;
}

// --- Options.

struct Options {
  std::vector<std::string> extensionIds;
  std::vector<std::string> firefoxIds;
  std::optional<std::string> host;
  std::string name{kDefaultName};
  std::vector<const Browser*> browsers;  // the browsers named, or empty for all
  bool remove = false;
  bool list = false;

  std::vector<std::string> callersNamed(BrowserKind kind) const {
    if (kind == BrowserKind::kFirefox) return firefoxIds;
    std::vector<std::string> origins;
    for (const std::string& id : extensionIds) origins.push_back("chrome-extension://" + id + "/");
    return origins;
  }
};

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
    "  --host PATH        host program (default: tamberlo-host.exe beside this program)\n"
    "  --name NAME        host name the extensions connect to (default: tamberlo.host)\n"
    "  --browser NAME     only this browser (repeatable; default: all four)\n"
    "  --remove           delete the callers named, or with none named the whole registration\n"
    "  --list             show where the host is registered and for which callers\n";

void check(const std::vector<std::string>& ids, const std::regex& pattern, std::string_view kind,
           std::string_view example) {
  for (const std::string& id : ids) {
    if (!std::regex_match(id, pattern)) {
      throw Refused{"'" + id + "' is not a " + std::string(kind) + " (expected " +
                    std::string(example) + ")"};
    }
  }
}

// The options, checked; Refused on bad input. Exits for --help and --version.
Options parse(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> value;
    if (size_t equals = option.find('='); option.starts_with("--") && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    }
    auto takeValue = [&]() -> std::string {
      if (value) return *value;
      if (i + 1 == args.size()) throw Refused{option + " needs a value"};
      return args[++i];
    };
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage.data(), stdout);
      std::exit(0);
    } else if (option == "--version") {
      std::printf("tamberlo-register %s\n", TAMBERLO_VERSION);
      std::exit(0);
    } else if (option == "--extension-id") {
      options.extensionIds.push_back(takeValue());
    } else if (option == "--firefox-id") {
      options.firefoxIds.push_back(takeValue());
    } else if (option == "--host") {
      options.host = takeValue();
    } else if (option == "--name") {
      options.name = takeValue();
    } else if (option == "--browser") {
      std::string wanted = takeValue();
      auto found = std::find_if(std::begin(kBrowsers), std::end(kBrowsers),
                                [&](const Browser& b) { return b.option == wanted; });
      if (found == std::end(kBrowsers)) {
        throw Refused{"'" + wanted + "' is not a browser (chrome, chromium, edge or firefox)"};
      }
      if (std::find(options.browsers.begin(), options.browsers.end(), found) ==
          options.browsers.end()) {
        options.browsers.push_back(found);
      }
    } else if (option == "--remove") {
      options.remove = true;
    } else if (option == "--list") {
      options.list = true;
    } else {
      throw Refused{"unknown argument '" + args[i] + "'"};
    }
  }
  if (options.remove && options.list) throw Refused{"--remove does not go with --list"};
  // A host name as browsers accept it, in pieces joined by single dots. It is also the
  // manifests' file name, so it can never leave the folder.
  static const std::regex kHostName("[a-z0-9_]+(\\.[a-z0-9_]+)*");
  if (!std::regex_match(options.name, kHostName)) {
    throw Refused{"'" + options.name +
                  "' is not a host name (expected lower-case letters, digits and underscores, "
                  "in pieces joined by single dots)"};
  }
  // A Chromium extension ID is 32 letters a-p; a Firefox add-on ID an e-mail-like name or a
  // GUID in braces.
  static const std::regex kChromiumId("[a-p]{32}");
  static const std::regex kFirefoxId(
      "[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+"
      "|\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}");
  check(options.extensionIds, kChromiumId, "Chromium extension ID", "32 letters a-p");
  check(options.firefoxIds, kFirefoxId, "Firefox add-on ID", "name@domain or {GUID}");
  return options;
}

std::vector<const Browser*> chosen(const Options& options) {
  if (!options.browsers.empty()) return options.browsers;
  std::vector<const Browser*> all;
  for (const Browser& browser : kBrowsers) all.push_back(&browser);
  return all;
}

// The absolute path of the host program, a regular file; Refused otherwise.
fs::path checkedHost(const Options& options, const fs::path& folder) {
  fs::path host = options.host ? fs::absolute(wide(*options.host)) : folder / L"tamberlo-host.exe";
  std::error_code error;
  if (!fs::is_regular_file(host, error)) {
    throw Refused{"host program " + pathText(host) + " does not exist or is not a file"};
  }
  if (!toUtf8(host.native())) {
    throw Refused{"host program " + pathText(host) + " has a path that a manifest cannot hold"};
  }
  return host;
}

// --- What the command does.

void registerHost(const Options& options, const fs::path& folder) {
  std::vector<const Browser*> browsers;
  for (const Browser* browser : chosen(options)) {
    if (!options.callersNamed(browser->kind).empty()) browsers.push_back(browser);
  }
  if (options.extensionIds.empty() && options.firefoxIds.empty()) {
    throw Refused{"name at least one caller: --extension-id ID or --firefox-id ID"};
  }
  if (browsers.empty()) {
    throw Refused{
        "no browser named takes these callers: --extension-id is for "
        "Chromium-based browsers, --firefox-id for Firefox"};
  }
  fs::path host = checkedHost(options, folder);
  for (BrowserKind kind : {BrowserKind::kChromium, BrowserKind::kFirefox}) {
    if (std::none_of(browsers.begin(), browsers.end(),
                     [&](const Browser* b) { return b->kind == kind; })) {
      continue;
    }
    fs::path path = manifestPath(folder, options.name, kind);
    std::vector<std::string> callers;
    if (std::optional<std::string> text = readFile(path)) {
      if (std::optional<boost::json::object> old = parseManifest(*text)) {
        callers = callersOf(*old, kind);
      } else {
        std::fprintf(stderr, "tamberlo-register: replacing %s, which is no manifest\n",
                     pathText(path).c_str());
      }
    }
    for (std::string& caller : options.callersNamed(kind)) {
      if (std::find(callers.begin(), callers.end(), caller) == callers.end()) {
        callers.push_back(std::move(caller));
      }
    }
    writeAtomically(path, manifestText(makeManifest(options.name, kind, pathText(host), callers)));
    std::printf("wrote %s for %s\n", pathText(path).c_str(), joined(callers).c_str());
  }
  for (const Browser* browser : browsers) {
    std::wstring key = hostKey(*browser, options.name);
    writeDefault(key, manifestPath(folder, options.name, browser->kind).native());
    std::printf("registered for %s: %s\n", browser->title.data(), shownKey(key).c_str());
  }
}

// Deletes the keys of `browsers` that name `manifest`.
void unregisterKeys(const std::vector<const Browser*>& browsers, std::string_view name,
                    const fs::path& manifest) {
  for (const Browser* browser : browsers) {
    std::wstring key = hostKey(*browser, name);
    std::optional<std::wstring> named = readDefault(key);
    if (!named) continue;
    if (!samePath(*named, manifest)) {
      std::printf("left %s: it names %s\n", shownKey(key).c_str(), utf8(*named).c_str());
      continue;
    }
    deleteKey(key);
    std::printf("removed %s\n", shownKey(key).c_str());
  }
}

bool anyKeyNames(std::string_view name, BrowserKind kind, const fs::path& manifest) {
  for (const Browser& browser : kBrowsers) {
    if (browser.kind != kind) continue;
    std::optional<std::wstring> named = readDefault(hostKey(browser, name));
    if (named && samePath(*named, manifest)) return true;
  }
  return false;
}

std::vector<const Browser*> ofKind(BrowserKind kind) {
  std::vector<const Browser*> found;
  for (const Browser& browser : kBrowsers) {
    if (browser.kind == kind) found.push_back(&browser);
  }
  return found;
}

void unregisterHost(const Options& options, const fs::path& folder) {
  bool callersNamed = !options.extensionIds.empty() || !options.firefoxIds.empty();
  if (!callersNamed) {
    std::vector<const Browser*> browsers = chosen(options);
    for (BrowserKind kind : {BrowserKind::kChromium, BrowserKind::kFirefox}) {
      fs::path path = manifestPath(folder, options.name, kind);
      std::vector<const Browser*> mine;
      for (const Browser* browser : browsers) {
        if (browser->kind == kind) mine.push_back(browser);
      }
      unregisterKeys(mine, options.name, path);
      if (!anyKeyNames(options.name, kind, path)) removeFile(path);
    }
    return;
  }
  for (BrowserKind kind : {BrowserKind::kChromium, BrowserKind::kFirefox}) {
    std::vector<std::string> gone = options.callersNamed(kind);
    if (gone.empty()) continue;
    fs::path path = manifestPath(folder, options.name, kind);
    std::optional<std::string> text = readFile(path);
    std::optional<boost::json::object> manifest = text ? parseManifest(*text) : std::nullopt;
    if (!manifest) continue;  // lists no caller that could be taken out
    std::vector<std::string> callers = callersOf(*manifest, kind), left;
    for (const std::string& caller : callers) {
      if (std::find(gone.begin(), gone.end(), caller) == gone.end()) left.push_back(caller);
    }
    if (left.size() == callers.size()) continue;
    if (!left.empty()) {
      boost::json::array listed;
      for (const std::string& caller : left) listed.emplace_back(caller);
      (*manifest)[callersKey(kind)] = std::move(listed);
      writeAtomically(path, manifestText(*manifest));
      std::printf("kept %s for %s\n", pathText(path).c_str(), joined(left).c_str());
      continue;
    }
    unregisterKeys(ofKind(kind), options.name, path);
    removeFile(path);
  }
}

void show(const Options& options) {
  int count = 0;
  for (const Browser* browser : chosen(options)) {
    std::wstring key = hostKey(*browser, options.name);
    std::optional<std::wstring> named = readDefault(key);
    if (!named) continue;
    ++count;
    std::printf("%s: %s\n  manifest: %s\n", browser->title.data(), shownKey(key).c_str(),
                utf8(*named).c_str());
    std::optional<std::string> text = readFile(fs::path(*named));
    std::optional<boost::json::object> manifest = text ? parseManifest(*text) : std::nullopt;
    if (!manifest) {
      std::printf("  %s\n", text ? "not a manifest" : "missing");
      continue;
    }
    const boost::json::value* host = manifest->if_contains("path");
    std::string state = "not a path";
    std::string hostText;
    if (host != nullptr && host->is_string()) {
      hostText = std::string(host->as_string());
      std::error_code error;
      state = fs::is_regular_file(fs::path(wide(hostText)), error) ? "present" : "missing";
    }
    std::printf("  host: %s (%s)\n  callers: %s\n", hostText.c_str(), state.c_str(),
                joined(callersOf(*manifest, browser->kind)).c_str());
  }
  if (count == 0)
    std::printf("%s is registered nowhere that was looked at\n", options.name.c_str());
}

int run(const std::vector<std::string>& args) {
  Options options;
  fs::path folder = programFolder();
  try {
    options = parse(args);
    if (options.list) {
      show(options);
      return 0;
    }
    if (options.remove) {
      unregisterHost(options, folder);
    } else {
      registerHost(options, folder);
    }
  } catch (const Refused& refusal) {
    std::fprintf(stderr, "tamberlo-register: %s; nothing written\n", refusal.why.c_str());
    return 2;
  } catch (const Failed& failure) {
    // What was already done stays: run again once the cause is mended.
    std::fprintf(stderr, "tamberlo-register: %s\n", failure.what.c_str());
    return 1;
  }
  return 0;
}

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
  return tamberlo::Install::run(args);
}
