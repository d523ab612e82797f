// The Windows shell as the desktop: ShellExecuteExW to open, SHOpenFolderAndSelectItems to
// reveal, each run on a worker thread of its own and waited for a bounded time.
#include <windows.h>
// After windows.h:
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "Platform/Desktop.h"
#include "Platform/Windows/Utf16.h"

namespace tamberlo {
namespace {

// How long open waits for the shell's answer before it answers false, and reveal before it
// returns: as long as the launcher of the Linux desktop is waited for.
constexpr std::chrono::milliseconds kOpenWait{2000};
constexpr std::chrono::milliseconds kRevealWait{500};

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
  bool open(const std::string& path) override {
    std::optional<std::wstring> file = shellPath(path);
    if (!file) return false;
    return answerWithin(kOpenWait, [file = std::move(*file)] { return shellOpen(file); })
        .value_or(false);
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

std::unique_ptr<Desktop> makeSystemDesktop() { return std::make_unique<ShellDesktop>(); }

}  // namespace tamberlo
