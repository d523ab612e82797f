// The Windows side of the tests' support: folders under the user's temporary folder, the
// Downloads folder given to the tests' build of the host in its environment (and, under Wine
// only, the shell's known folder in the test prefix's registry), the host started with
// CreateProcessW on pipes.
// windows.h first: the other Win32 headers build on it.
#include <windows.h>
//
#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

#include "Platform/Streams.h"
#include "Platform/Windows/Utf16.h"
#include "support/TestSupport.h"

namespace tamberlo::testing {
namespace {

std::wstring wide(std::string_view text) {
  std::optional<std::wstring> converted = toUtf16(text);
  if (!converted) throw std::runtime_error("not UTF-8: " + std::string(text));
  return *converted;
}

std::string narrow(std::wstring_view text) {
  std::optional<std::string> converted = toUtf8(text);
  if (!converted) throw std::runtime_error("not UTF-16");
  return *converted;
}

// The user's shell folders; the shell reads them afresh for every question.
constexpr wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
// The value that names the known folder Downloads.
constexpr wchar_t kDownloadsValue[] = L"{374DE290-123F-4565-9164-39C4925E467B}";
constexpr char kDownloadsKey[] = "Downloads";

std::optional<std::string> readDownloadsValue() {
  wchar_t value[MAX_PATH * 4];
  DWORD bytes = sizeof(value);
  if (::RegGetValueW(HKEY_CURRENT_USER, kShellFolders, kDownloadsValue,
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                     &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return narrow(value);
}

void writeDownloadsValue(const std::optional<std::string>& path) {
  if (!path) {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kShellFolders, kDownloadsValue);
    return;
  }
  std::wstring value = wide(*path);
  LSTATUS status =
      ::RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolders, kDownloadsValue, REG_EXPAND_SZ,
                        value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) throw std::runtime_error("cannot set the Downloads folder");
}

// One argument as CommandLineToArgvW reads it back: quoted when it holds a space, a tab or a
// quote, with the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

// This process's environment with `changes` applied, as CreateProcessW takes it.
std::wstring environmentBlock(const std::map<std::string, std::string>& changes) {
  std::map<std::wstring, std::wstring> merged;
  if (wchar_t* strings = ::GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
      std::wstring_view text = entry;
      size_t eq = text.find(L'=', 1);  // "=C:=C:\..." entries begin with "=".
      if (eq != std::wstring_view::npos) {
        merged[std::wstring(text.substr(0, eq))] = std::wstring(text.substr(eq + 1));
      }
    }
    ::FreeEnvironmentStringsW(strings);
  }
  for (const auto& [key, value] : changes) merged[wide(key)] = wide(value);
  std::wstring block;
  for (const auto& [key, value] : merged) block += key + L"=" + value + L'\0';
  return block + L'\0';
}

}  // namespace

TempDir::TempDir() {
  std::filesystem::path base = std::filesystem::temp_directory_path();
  std::mt19937 random(std::random_device{}() ^ ::GetCurrentProcessId());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate =
        base / ("tamberlo-test-" + std::to_string(random() % 1000000));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = narrow(candidate.wstring());
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  const std::filesystem::path root(wide(path_));
  // Read-only files cannot be removed: make everything writable first.
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(root, ec);
}

std::array<int, 2> makePipe() {
  std::array<int, 2> ends{-1, -1};
  if (::_pipe(ends.data(), 1 << 16, _O_BINARY) != 0) throw std::runtime_error("_pipe failed");
  return ends;
}

// Wine's ntdll has an export of its own that Windows' lacks.
bool underWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void makeLink(const std::string& target, const std::string& link) {
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (std::filesystem::is_directory(pathFromUtf8(target))) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  if (!::CreateSymbolicLinkW(wide(link).c_str(), wide(target).c_str(), flags)) {
    throw std::runtime_error("CreateSymbolicLinkW failed: " + std::to_string(::GetLastError()));
  }
}

void setLastChange(const std::string& path, std::chrono::nanoseconds sinceEpoch) {
  // FILETIME counts 100-nanosecond ticks since 1601-01-01, 11644473600 s before 1970.
  const uint64_t ticks = static_cast<uint64_t>(sinceEpoch.count() / 100) + 116444736000000000ULL;
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  HANDLE file = ::CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  const bool set = ::SetFileTime(file, nullptr, nullptr, &time);
  ::CloseHandle(file);
  if (!set) throw std::runtime_error("SetFileTime failed");
}

uint64_t memoryKiB(pid_t pid, std::string_view field) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return 0;
  PROCESS_MEMORY_COUNTERS counters{};
  bool read = ::K32GetProcessMemoryInfo(process, &counters, sizeof(counters));
  ::CloseHandle(process);
  if (!read) return 0;
  if (field == "VmRSS") return counters.WorkingSetSize / 1024;
  if (field == "VmHWM") return counters.PeakWorkingSetSize / 1024;
  return 0;
}

// Read by the tests' build of the host only (TAMBERLO_TEST_DOWNLOADS_ENV).
std::map<std::string, std::string> homeAt(const TempDir& home) {
  return {{"TAMBERLO_TEST_DOWNLOADS", home / "Downloads"}};
}

DownloadsSetting::DownloadsSetting() {
  if (!underWine())
    throw std::logic_error("the registry of a real user is not the tests' to change");
  saved_[kDownloadsKey] = readDownloadsValue();
}

DownloadsSetting::~DownloadsSetting() {
  try {
    writeDownloadsValue(saved_[kDownloadsKey]);
  } catch (const std::runtime_error&) {
  }
}

void DownloadsSetting::point(const std::string& downloads) { writeDownloadsValue(downloads); }

HostProcess::HostProcess(const std::map<std::string, std::string>& env,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& launcher) {
  stderrPath_ = logDir_ / "stderr";
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childIn = nullptr, ourIn = nullptr, ourOut = nullptr, childOut = nullptr;
  if (!::CreatePipe(&childIn, &ourIn, &inheritable, 0) ||
      !::CreatePipe(&ourOut, &childOut, &inheritable, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
  // Our ends stay ours: a child that held one would keep the other side from seeing the end.
  ::SetHandleInformation(ourIn, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(ourOut, HANDLE_FLAG_INHERIT, 0);
  HANDLE childErr = ::CreateFileW(wide(stderrPath_).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (childErr == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot make the log file");

  // Only the three standard handles pass to the child.
  HANDLE inherited[] = {childIn, childOut, childErr};
  SIZE_T listBytes = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listBytes);
  std::vector<char> listStorage(listBytes);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listStorage.data());
  ::InitializeProcThreadAttributeList(list, 1, 0, &listBytes);
  ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                              sizeof(inherited), nullptr, nullptr);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = childIn;
  startup.StartupInfo.hStdOutput = childOut;
  startup.StartupInfo.hStdError = childErr;
  startup.lpAttributeList = list;

  std::vector<std::string> argStrings = launcher;
  argStrings.push_back(TAMBERLO_HOST);
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::wstring commandLine;
  for (const std::string& arg : argStrings) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += quoted(wide(arg));
  }
  std::wstring application = wide(argStrings.front());
  std::wstring environment = environmentBlock(env);

  PROCESS_INFORMATION process{};
  BOOL started =
      ::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW,
                       environment.data(), nullptr, &startup.StartupInfo, &process);
  DWORD startError = ::GetLastError();
  ::DeleteProcThreadAttributeList(list);
  ::CloseHandle(childIn);
  ::CloseHandle(childOut);
  ::CloseHandle(childErr);
  if (!started) {
    ::CloseHandle(ourIn);
    ::CloseHandle(ourOut);
    throw std::runtime_error("CreateProcessW failed: " + std::to_string(startError));
  }
  ::CloseHandle(process.hThread);
  process_ = process.hProcess;
  pid_ = static_cast<pid_t>(process.dwProcessId);
  in_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(ourIn), _O_WRONLY | _O_BINARY);
  out_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(ourOut), _O_RDONLY | _O_BINARY);
}

HostProcess::~HostProcess() {
  closeInput();
  closeOutput();
  if (process_ != nullptr) wait();
}

void HostProcess::sendRaw(std::string_view bytes) {
  if (!writeAll(in_, bytes)) throw std::runtime_error("write to host failed");
}

void HostProcess::closeInput() {
  if (in_ >= 0) ::_close(in_);
  in_ = -1;
}

void HostProcess::closeOutput() {
  if (out_ >= 0) ::_close(out_);
  out_ = -1;
}

int HostProcess::wait() {
  if (process_ == nullptr) return -1;
  ::WaitForSingleObject(process_, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  ::CloseHandle(process_);
  process_ = nullptr;
  pid_ = -1;
  return static_cast<int>(code);
}

}  // namespace tamberlo::testing
