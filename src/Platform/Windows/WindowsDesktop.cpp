// The Windows shell as the desktop: ShellExecuteExW to open, SHOpenFolderAndSelectItems to
// reveal, each run on a worker thread of its own and waited for a bounded time.
#include <windows.h>
// After windows.h:
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "Platform/Desktop.h"
#include "Platform/Windows/Utf16.h"
#include "Platform/Windows/WindowsDesktop.h"

namespace tamberlo {
namespace {

// How long open waits for the shell's answer before it answers false, and reveal before it
// returns: as long as the launcher of the Linux desktop is waited for.
constexpr std::chrono::milliseconds kOpenWait{2000};
constexpr std::chrono::milliseconds kRevealWait{500};

// Extensions of files that the shell runs, or that start a program of their choosing, when
// opened: programs, scripts of every host Windows ships, shortcuts, installers, control panel
// items, help and HTML applications, registry files and the like.
constexpr std::wstring_view kProgramExtensions[] = {
    L".ade",         L".adp",
    L".app",         L".appref-ms",
    L".application", L".appx",
    L".appxbundle",  L".bas",
    L".bat",         L".chm",
    L".cmd",         L".com",
    L".cpl",         L".crt",
    L".der",         L".diagcab",
    L".exe",         L".fxp",
    L".gadget",      L".grp",
    L".hlp",         L".hpj",
    L".hta",         L".inf",
    L".ins",         L".isp",
    L".jar",         L".js",
    L".jse",         L".ksh",
    L".library-ms",  L".lnk",
    L".mcf",         L".mda",
    L".mdb",         L".mde",
    L".msc",         L".msh",
    L".msi",         L".msix",
    L".msixbundle",  L".msp",
    L".mst",         L".pcd",
    L".pif",         L".plg",
    L".prf",         L".prg",
    L".ps1",         L".ps1xml",
    L".ps2",         L".ps2xml",
    L".psc1",        L".psc2",
    L".psd1",        L".psm1",
    L".reg",         L".scf",
    L".scr",         L".sct",
    L".search-ms",   L".settingcontent-ms",
    L".shb",         L".shs",
    L".url",         L".vb",
    L".vbe",         L".vbs",
    L".website",     L".ws",
    L".wsc",         L".wsf",
    L".wsh",
};

// Windows' PATHEXT where the variable is unset.
constexpr std::wstring_view kDefaultPathExt =
    L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC";

bool sameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The extensions that PATHEXT names, separated by ";".
std::wstring pathExt() {
  DWORD needed = ::GetEnvironmentVariableW(L"PATHEXT", nullptr, 0);
  if (needed == 0) return std::wstring(kDefaultPathExt);
  std::wstring value(needed, L'\0');
  DWORD length = ::GetEnvironmentVariableW(L"PATHEXT", value.data(), needed);
  if (length == 0 || length >= needed) return std::wstring(kDefaultPathExt);
  value.resize(length);
  return value;
}

bool inPathExt(std::wstring_view extension) {
  std::wstring list = pathExt();
  std::wstring_view rest = list;
  while (!rest.empty()) {
    size_t end = std::min(rest.find(L';'), rest.size());
    if (sameIgnoringCase(rest.substr(0, end), extension)) return true;
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return false;
}

// Runs `work` on a thread of its own, in a single-threaded COM apartment as the shell wants it,
// and gives its answer, or nothing when it has not answered within `wait` (or no thread could be
// made). A late answer is dropped; the thread still runs to its end.
std::optional<bool> answerWithin(std::chrono::milliseconds wait, std::function<bool()> work) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<bool> answer;
  };
  auto shared = std::make_shared<Shared>();
  try {
    std::thread([shared, work = std::move(work)] {
      HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
      bool answer = work();
      if (SUCCEEDED(com)) ::CoUninitialize();
      std::lock_guard lock(shared->mutex);
      shared->answer = answer;
      shared->answered.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  std::unique_lock lock(shared->mutex);
  shared->answered.wait_for(lock, wait, [&] { return shared->answer.has_value(); });
  return shared->answer;
}

// Opens `path` (a plain path, no long-path prefix) with the shell's "open" verb, without any
// dialog; true when the shell launched something for it.
bool shellOpen(const std::wstring& path) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  // NOASYNC: the launch is finished when the call returns, before the thread ends.
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = path.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ::ShellExecuteExW(&info) != FALSE;
}

// Shows `path` selected in an Explorer window; false when the shell could not.
bool showSelected(const std::wstring& path) {
  PIDLIST_ABSOLUTE item = ::ILCreateFromPathW(path.c_str());
  if (item == nullptr) return false;
  HRESULT shown = ::SHOpenFolderAndSelectItems(item, 0, nullptr, 0);
  ::ILFree(item);
  return SUCCEEDED(shown);
}

// The plain form of the UTF-8 `path` that the shell takes ("C:\Users\...\clip.mp4").
std::optional<std::wstring> shellPath(const std::string& path) {
  std::optional<std::wstring> native = toWindowsPath(path);
  if (!native) return std::nullopt;
  return withoutLongPrefix(*native);
}

class ShellDesktop : public Desktop {
 public:
  OpenOutcome open(const std::string& path) override {
    std::optional<std::wstring> file = shellPath(path);
    if (!file) return OpenOutcome::kNotOpened;
    std::wstring_view name = *file;
    name.remove_prefix(std::min(name.size(), name.find_last_of(L'\\') + 1));
    if (runsAsProgram(name)) return OpenOutcome::kRefusedProgram;
    bool opened = answerWithin(kOpenWait, [file = std::move(*file)] {
                    return shellOpen(file);
                  }).value_or(false);
    return opened ? OpenOutcome::kOpened : OpenOutcome::kNotOpened;
  }

  void reveal(const std::string& path) override {
    std::optional<std::wstring> file = shellPath(path);
    if (!file) return;
    answerWithin(kRevealWait, [file = std::move(*file)] {
      if (showSelected(file)) return true;
      size_t slash = file.find_last_of(L'\\');
      if (slash == std::wstring::npos) return false;
      std::wstring folder = file.substr(0, slash);
      // "C:" alone is the drive's current folder; its root is "C:\".
      if (folder.ends_with(L':')) folder += L'\\';
      return shellOpen(folder);
    });
  }
};

}  // namespace

bool runsAsProgram(std::wstring_view name) {
  size_t dot = name.find_last_of(L'.');
  if (dot == std::wstring_view::npos) return false;
  std::wstring extension(name.substr(dot));
  if (extension.size() > 1 && extension[1] == L'{') return true;
  for (std::wstring_view listed : kProgramExtensions) {
    if (sameIgnoringCase(listed, extension)) return true;
  }
  return inPathExt(extension) || ::AssocIsDangerous(extension.c_str()) != FALSE;
}

std::unique_ptr<Desktop> makeSystemDesktop() { return std::make_unique<ShellDesktop>(); }

}  // namespace tamberlo
