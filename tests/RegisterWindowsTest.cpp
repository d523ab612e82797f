// tamberlo-register for Windows, run as a user runs it: copied with a host program into a
// folder of its own, under a host name of this test's own, read back from the registry and
// the manifests it writes (one per browser, so that each keeps its own callers).
#include <gtest/gtest.h>
#include <windows.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Encoding/Utf8.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace fs = std::filesystem;

const std::string kChromiumId = "kdpkkgplnmfjaebhnbbaajgkjakjeefi";
const std::string kOtherChromiumId = "abcdefghijklmnopabcdefghijklmnop";
const std::string kFirefoxId = "host-test@tamberlo.example";
const std::string kOrigin = "chrome-extension://" + kChromiumId + "/";
const std::string kOtherOrigin = "chrome-extension://" + kOtherChromiumId + "/";

struct Browser {
  std::string option;
  std::wstring key;
  bool firefox;
};
const Browser kBrowsers[] = {
    {"chrome", L"Software\\Google\\Chrome\\NativeMessagingHosts", false},
    {"edge", L"Software\\Microsoft\\Edge\\NativeMessagingHosts", false},
    {"chromium", L"Software\\Chromium\\NativeMessagingHosts", false},
    {"firefox", L"Software\\Mozilla\\NativeMessagingHosts", true},
};

bool keyExists(const std::wstring& key) {
  HKEY handle;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

std::optional<fs::path> defaultValue(const std::wstring& key) {
  wchar_t value[2048];
  DWORD bytes = sizeof(value);
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                   &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return fs::path(value);
}

void setDefaultValue(const std::wstring& key, const std::wstring& value) {
  HKEY handle;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &handle, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
}

// The callers a manifest lists, after checking the rest of it; nothing when there is no file.
std::optional<std::vector<std::string>> callersIn(const fs::path& manifest, bool firefox,
                                                  const fs::path& host, const std::string& name) {
  std::ifstream in(manifest, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  boost::json::object content = boost::json::parse(text.str()).as_object();
  EXPECT_EQ(content.at("name").as_string(), name);
  EXPECT_EQ(content.at("type").as_string(), "stdio");
  EXPECT_EQ(pathFromUtf8(content.at("path").as_string()), host);
  std::vector<std::string> callers;
  for (const auto& caller :
       content.at(firefox ? "allowed_extensions" : "allowed_origins").as_array()) {
    callers.emplace_back(caller.as_string());
  }
  return callers;
}

class RegisterWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The browsers' keys are shared by every process of the user: cases run one at a time, also
    // when ctest starts them in parallel.
    lock_ = CreateMutexW(nullptr, FALSE, L"Local\\tamberlo-register-windows-test");
    ASSERT_NE(lock_, nullptr);
    WaitForSingleObject(lock_, INFINITE);
    std::wstring unique =
        std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64());
    name_ = "tamberlo.test_" + std::string(unique.begin(), unique.end());
    // A space and a non-ASCII letter: every path must go through UTF-16 whole.
    folder_ = fs::temp_directory_path() / (L"tamberlo register \u00e9 " + unique);
    fs::create_directories(folder_);
    fs::copy_file(TAMBERLO_REGISTER, folder_ / L"tamberlo-register.exe");
    std::ofstream(folder_ / L"tamberlo-host.exe") << "stands in for the host";
    for (const Browser& browser : kBrowsers) {
      std::wstring parent = browser.key.substr(0, browser.key.rfind(L'\\'));
      if (!keyExists(parent)) absentParents_.push_back(parent);
    }
  }

  void TearDown() override {
    for (const Browser& browser : kBrowsers) RegDeleteKeyW(HKEY_CURRENT_USER, key(browser).c_str());
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    if (lock_ != nullptr) {
      ReleaseMutex(lock_);
      CloseHandle(lock_);
    }
  }

  // Runs the copied command with `args`; its exit code.
  DWORD run(const std::vector<std::string>& args) {
    std::wstring command = L"\"" + (folder_ / L"tamberlo-register.exe").wstring() + L"\"";
    for (const std::string& arg : args) command += L" \"" + fs::path(arg).wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      ADD_FAILURE() << "cannot start tamberlo-register: " << GetLastError();
      return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
  }

  std::wstring key(const Browser& browser) const {
    return browser.key + L"\\" + fs::path(name_).wstring();
  }
  fs::path manifest(const Browser& browser) const {
    return folder_ / fs::path(name_ + "." + browser.option + ".json");
  }
  // The manifest Chrome, Edge and Chromium shared before each had its own.
  fs::path sharedManifest() const { return folder_ / fs::path(name_ + ".json"); }
  std::optional<std::vector<std::string>> callers(const Browser& browser) const {
    return callersIn(manifest(browser), browser.firefox, folder_ / L"tamberlo-host.exe", name_);
  }

  std::string name_;
  fs::path folder_;
  std::vector<std::wstring> absentParents_;  // browser keys missing before the test
  HANDLE lock_ = nullptr;
};

TEST_F(RegisterWindowsTest, RegistersEveryBrowserAndRemovesItAll) {
  ASSERT_EQ(run({"--name", name_, "--extension-id", kChromiumId, "--firefox-id", kFirefoxId}), 0u);
  for (const Browser& browser : kBrowsers) {
    EXPECT_EQ(defaultValue(key(browser)), manifest(browser));
    EXPECT_EQ(callers(browser), std::vector<std::string>{browser.firefox ? kFirefoxId : kOrigin});
  }

  ASSERT_EQ(run({"--name", name_, "--remove"}), 0u);
  for (const Browser& browser : kBrowsers) {
    EXPECT_FALSE(keyExists(key(browser)));
    EXPECT_FALSE(fs::exists(manifest(browser)));
  }
  for (const std::wstring& parent : absentParents_) {
    EXPECT_FALSE(keyExists(parent)) << "left behind: " << fs::path(parent).string();
  }
}

TEST_F(RegisterWindowsTest, RunsLeaveTheseCallersPerBrowser) {
  using Args = std::vector<std::string>;
  using Callers = std::vector<std::string>;
  struct Case {
    std::string why;
    std::optional<Callers> shared;  // a manifest of the old layout, named by Chrome and Edge
    std::vector<Args> runs;
    std::map<std::string, Callers> left;  // by browser, the callers of the manifest its key names
  };
  const Case cases[] = {
      {"callers added for different browsers stay apart",
       std::nullopt,
       {{"--extension-id", kChromiumId, "--browser", "chrome"},
        {"--extension-id=" + kOtherChromiumId, "--browser", "edge"}},
       {{"chrome", {kOrigin}}, {"edge", {kOtherOrigin}}}},
      {"removing a caller takes out the browsers it alone was registered for",
       std::nullopt,
       {{"--extension-id", kChromiumId, "--browser", "chrome"},
        {"--extension-id", kOtherChromiumId, "--browser", "edge"},
        {"--remove", "--extension-id", kChromiumId}},
       {{"edge", {kOtherOrigin}}}},
      {"removing the last caller removes everything",
       std::nullopt,
       {{"--extension-id", kChromiumId, "--browser", "chrome"},
        {"--extension-id", kOtherChromiumId, "--browser", "edge"},
        {"--remove", "--extension-id", kChromiumId},
        {"--remove", "--extension-id", kOtherChromiumId}},
       {}},
      {"callers are kept per browser",
       std::nullopt,
       {{"--browser", "chrome", "--browser", "edge", "--browser", "chromium", "--extension-id",
         kOtherChromiumId},
        {"--browser", "edge", "--extension-id", kChromiumId},
        {"--remove", "--browser", "chrome", "--extension-id", kOtherChromiumId}},
       {{"edge", {kOtherOrigin, kOrigin}}, {"chromium", {kOtherOrigin}}}},
      {"a browser of the shared manifest takes its callers along",
       Callers{kOrigin, kOtherOrigin},
       {{"--remove", "--browser", "chrome", "--extension-id", kChromiumId}},
       {{"chrome", {kOtherOrigin}}, {"edge", {kOrigin, kOtherOrigin}}}},
      {"the shared manifest goes with the last key naming it",
       Callers{kOrigin},
       {{"--remove", "--browser", "chrome"},
        {"--extension-id", kOtherChromiumId, "--browser", "edge"}},
       {{"edge", {kOrigin, kOtherOrigin}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    for (const Browser& browser : kBrowsers) {
      RegDeleteKeyW(HKEY_CURRENT_USER, key(browser).c_str());
      fs::remove(manifest(browser));
    }
    fs::remove(sharedManifest());
    if (c.shared) {
      boost::json::array listed;
      for (const std::string& caller : *c.shared) listed.emplace_back(caller);
      boost::json::object content{{"name", name_},
                                  {"path", utf8Of(folder_ / L"tamberlo-host.exe")},
                                  {"type", "stdio"},
                                  {"allowed_origins", listed}};
      std::ofstream(sharedManifest(), std::ios::binary) << boost::json::serialize(content);
      for (const Browser& browser : {kBrowsers[0], kBrowsers[1]}) {
        setDefaultValue(key(browser), sharedManifest().wstring());
      }
    }
    for (Args args : c.runs) {
      args.insert(args.begin(), {"--name", name_});
      ASSERT_EQ(run(args), 0u);
    }
    std::set<fs::path> named;
    for (const Browser& browser : kBrowsers) {
      SCOPED_TRACE(browser.option);
      std::optional<fs::path> path = defaultValue(key(browser));
      auto wanted = c.left.find(browser.option);
      ASSERT_EQ(path.has_value(), wanted != c.left.end());
      if (!path) continue;
      named.insert(*path);
      EXPECT_EQ(callersIn(*path, browser.firefox, folder_ / L"tamberlo-host.exe", name_),
                wanted->second);
    }
    // Nothing else in the folder: no manifest that no key names, no temporary file.
    std::set<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      if (entry.path().extension() != L".exe") files.insert(entry.path());
    }
    EXPECT_EQ(files, named);
  }
}

TEST_F(RegisterWindowsTest, RemovingLeavesAKeyThatNamesAnotherFolder) {
  fs::path elsewhere = L"C:\\elsewhere\\tamberlo.json";
  setDefaultValue(key(kBrowsers[2]), elsewhere.wstring());
  ASSERT_EQ(run({"--name", name_, "--extension-id", kChromiumId, "--browser", "chrome"}), 0u);
  ASSERT_EQ(run({"--name", name_, "--remove"}), 0u);
  EXPECT_FALSE(keyExists(key(kBrowsers[0])));
  EXPECT_FALSE(fs::exists(manifest(kBrowsers[0])));
  EXPECT_EQ(defaultValue(key(kBrowsers[2])), elsewhere);
}

TEST_F(RegisterWindowsTest, BadInputWritesNothing) {
  const std::vector<std::string> cases[] = {
      {"--name", name_},
      {"--name", name_, "--extension-id", "not-an-id"},
      {"--name", name_, "--firefox-id", "no at sign"},
      {"--name", "Not.A.Host.Name", "--extension-id", kChromiumId},
      {"--name", "..\\escape", "--extension-id", kChromiumId},
      {"--name", name_, "--firefox-id", kFirefoxId, "--browser", "chrome"},
      {"--name", name_, "--extension-id", kChromiumId, "--browser", "opera"},
      {"--name", name_, "--extension-id", kChromiumId, "--host", "C:\\missing\\host.exe"},
      {"--name", name_, "--extension-id", kChromiumId, "--unknown"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(run(args), 2u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);
    for (const Browser& browser : kBrowsers) EXPECT_FALSE(keyExists(key(browser)));
  }
}

// An attacker who can write into the program's folder plants a link at a browser's manifest,
// pointing at another file; the command must refuse it and leave that file as it was.
TEST_F(RegisterWindowsTest, ALinkAtTheManifestIsNeverWrittenThrough) {
  if (testing::underWine()) GTEST_SKIP() << "Wine's links are not Windows' reparse points";
  fs::path victim = folder_ / L"victim.txt";
  std::ofstream(victim, std::ios::binary) << "someone else's";
  try {
    testing::makeLink(utf8Of(victim), utf8Of(manifest(kBrowsers[0])));
  } catch (const std::exception& error) {
    GTEST_SKIP() << "no link can be made here: " << error.what();
  }
  EXPECT_EQ(run({"--name", name_, "--extension-id", kChromiumId, "--browser", "chrome"}), 1u);
  EXPECT_EQ(testing::textOf(victim), "someone else's");
  EXPECT_FALSE(keyExists(key(kBrowsers[0])));
}

}  // namespace
}  // namespace tamberlo
