// What only the Windows file system can get wrong: moves that never replace, names taken in
// another case, links and junctions under a part name, long paths, and a full volume.
#include <gtest/gtest.h>
#include <windows.h>

#include <boost/json.hpp>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Extension/SafariWebExtensionHandler.h"
#include "Platform/Windows/Utf16.h"
#include "Platform/Windows/WindowsDesktop.h"
#include "Platform/Windows/WindowsFileSystem.h"
#include "Platform/ZoneIdentifier.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

fs::path widePath(const std::string& utf8) { return fs::path(toUtf16(utf8).value()); }

// Removes the folder `native` (a long path) with everything in it, links taken away and never
// followed (the C++ library takes no "\\?\" path apart).
void removeTree(const std::wstring& native) {
  WIN32_FIND_DATAW entry;
  HANDLE found = ::FindFirstFileW((native + L"\\*").c_str(), &entry);
  if (found != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = native + L"\\" + name;
      bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if (folder && !link)
        removeTree(child);
      else if (folder)
        ::RemoveDirectoryW(child.c_str());
      else
        ::DeleteFileW(child.c_str());
    } while (::FindNextFileW(found, &entry));
    ::FindClose(found);
  }
  ::RemoveDirectoryW(native.c_str());
}

// A fresh folder under the system's temporary folder (or under `parent`), removed with
// everything in it. Its path is UTF-8 with "\" between names, as the shell gives folders.
class Folder {
 public:
  explicit Folder(std::string parent = "") {
    if (parent.empty()) {
      wchar_t temp[MAX_PATH + 1];
      DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
      parent = fromWindowsPath(std::wstring_view(temp, length)).value();
    }
    if (parent.back() != '\\') parent += '\\';
    static int made = 0;
    path_ = parent + "tamberlo-" + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(++made);
    // Each missing folder of a long path in turn (the C++ library takes no "\\?\" path apart).
    std::wstring native = toWindowsPath(path_).value();
    for (size_t slash = native.find(L'\\', 4); slash != std::wstring::npos;
         slash = native.find(L'\\', slash + 1)) {
      ::CreateDirectoryW(native.substr(0, slash).c_str(), nullptr);
    }
    EXPECT_TRUE(::CreateDirectoryW(native.c_str(), nullptr)) << ::GetLastError();
  }
  ~Folder() { removeTree(toWindowsPath(path_).value()); }
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(fs::path(toWindowsPath(path).value()), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(fs::path(toWindowsPath(path).value()), std::ios::binary);
  out << bytes;
}

// The real Windows file system with `folder` as the Downloads folder.
class DownloadsIn : public FileSystemWrapper {
 public:
  DownloadsIn(FileSystem& files, std::string folder)
      : FileSystemWrapper(files), folder_(std::move(folder)) {}
  std::optional<std::string> downloadsDirectory() override { return folder_; }

 private:
  std::string folder_;
};

// A handler over the real file system, with `folder` as Downloads.
struct Handler {
  explicit Handler(const std::string& folder) : files(system, folder), t(files, folder) {}
  json::object answer(const json::object& message) { return t.answer(json::serialize(message)); }

  WindowsFileSystem system;
  DownloadsIn files;
  testing::HandlerUnderTest t;
};

json::object beginMessage(std::string_view name) {
  return {{"type", "file.write.begin"}, {"name", name}};
}
// "abc" in base64.
json::object chunkAbc(std::string_view part) {
  return {{"type", "file.write.chunk"}, {"part", part}, {"offset", 0}, {"data", "YWJj"}};
}
json::object endMessage(std::string_view part, std::string_view name, uint64_t size) {
  return {{"type", "file.write.end"}, {"part", part}, {"name", name}, {"size", size}};
}

// The shell's answer for Downloads stands unless it is the profile folder or one above it, in
// whatever spelling (case, a trailing separator, an environment variable).
TEST(WindowsFileSystemTest, DownloadsIsNothingWhenTheShellNamesTheProfileOrAbove) {
  if (!testing::underWine()) GTEST_SKIP() << "changes the shell's folders: in a Wine prefix only";
  WindowsFileSystem files;
  testing::DownloadsSetting setting;
  wchar_t expanded[MAX_PATH];
  ASSERT_GT(::ExpandEnvironmentStringsW(L"%USERPROFILE%", expanded, MAX_PATH), 0u);
  const std::string home = fromWindowsPath(expanded).value();
  const std::string parent = home.substr(0, home.find_last_of('\\'));
  std::string upper = home;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    std::string setting;
    std::optional<std::string> downloads;
  };
  const Case cases[] = {
      {home, std::nullopt},
      {home + "\\", std::nullopt},
      {upper, std::nullopt},
      {"%USERPROFILE%", std::nullopt},
      {parent, std::nullopt},
      {home.substr(0, 3), std::nullopt},
      {home + "\\Downloads", home + "\\Downloads"},
      {"%USERPROFILE%\\Saved", home + "\\Saved"},
      {home + "x", home + "x"},
      // A setting spelled with "." and ".." names the folder they lead to.
      {home + "\\Downloads\\..\\Downloads", home + "\\Downloads"},
      {home + "\\Downloads\\.", home + "\\Downloads"},
      {home + "\\Downloads\\..", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    setting.point(c.setting);
    EXPECT_EQ(files.downloadsDirectory(), c.downloads);
  }
}

TEST(WindowsFileSystemTest, EveryCallOnAMissingNameFailsAsNotFound) {
  Folder folder;
  const std::string missing = folder / "missing";
  const std::string inMissing = folder / "missing/clip.mp4";
  WindowsFileSystem files;
  struct Case {
    const char* call;
    Status status;
  };
  auto status = [](auto result) -> Status {
    if (result.ok()) return success();
    return result.error();
  };
  const Case cases[] = {
      {"createExclusive", files.createExclusive(inMissing)},
      {"openForWriting", status(files.openForWriting(missing))},
      {"openForReading", status(files.openForReading(missing))},
      {"moveNoReplace", files.moveNoReplace(missing, folder / "clip.mp4", {})},
      {"removeFile", files.removeFile(missing)},
      {"syncDirectory", files.syncDirectory(missing)},
      {"listDirectory", files.listDirectory(missing, [](std::string_view) {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    ASSERT_FALSE(c.status.ok());
    EXPECT_EQ(c.status.error().kind, ErrorKind::kNotFound) << c.status.error().description;
  }
  EXPECT_FALSE(fs::exists(widePath(folder / "clip.mp4")));
}

TEST(WindowsFileSystemTest, MoveNeverReplacesAndKeepsTheExistingFile) {
  Folder folder;
  WindowsFileSystem files;
  writeFile(folder / "clip.mp4.part", "new");
  writeFile(folder / "clip.mp4", "old");
  Result<std::unique_ptr<OpenFile>> part = files.openForReading(folder / "clip.mp4.part");
  ASSERT_TRUE(part.ok()) << part.error().description;
  FileIdentity identity = (*part)->identity();
  part->reset();

  for (std::string taken : {"clip.mp4", "CLIP.MP4"}) {
    SCOPED_TRACE(taken);
    Status moved = files.moveNoReplace(folder / "clip.mp4.part", folder / taken, identity);
    ASSERT_FALSE(moved.ok());
    EXPECT_EQ(moved.error().description, "Cannot move the file: a file of that name exists.");
    EXPECT_EQ(moved.error().kind, ErrorKind::kExists);
    EXPECT_EQ(readFile(folder / "clip.mp4"), "old");
    EXPECT_EQ(readFile(folder / "clip.mp4.part"), "new");
  }
  ASSERT_TRUE(
      files.moveNoReplace(folder / "clip.mp4.part", folder / "clip (1).mp4", identity).ok());
  EXPECT_EQ(readFile(folder / "clip (1).mp4"), "new");
}

TEST(WindowsFileSystemTest, ANameTakenInAnotherCaseIsTaken) {
  struct Case {
    const char* existing;
    json::object message;
    json::object reply;
  };
  const Case cases[] = {
      {"clip.mp4.part", beginMessage("Clip.mp4"), {{"ok", true}, {"part", "Clip.mp4 (1).part"}}},
      {"CLIP.MP4",
       endMessage("clip.mp4.part", "clip.mp4", 3),
       {{"ok", true}, {"name", "clip (1).mp4"}}},
      // Yet a name is found only as the folder spells it: exists, open and reveal agree.
      {"clip.mp4", {{"type", "file.exists"}, {"name", "clip.MP4"}}, {{"exists", false}}},
      {"clip.mp4",
       {{"type", "file.open"}, {"name", "clip.MP4"}},
       {{"ok", false}, {"error", "not found"}}},
      {"clip.mp4",
       {{"type", "file.reveal"}, {"name", "CLIP.mp4"}},
       {{"ok", false}, {"error", "not found"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(json::serialize(c.message));
    Folder folder;
    Handler t(folder.path());
    writeFile(folder / "clip.mp4.part", "abc");
    writeFile(folder / c.existing, "taken");
    EXPECT_EQ(t.answer(c.message), c.reply);
    EXPECT_EQ(readFile(folder / c.existing), "taken");
  }
}

TEST(WindowsFileSystemTest, LinksUnderAPartNameAreRefusedAndAbortTakesOnlyTheLink) {
  // Each makes the long path `link` lead to `target`, a file or, for a junction, a folder; false
  // when this system will not make one.
  using Make = bool (*)(const std::wstring& link, const std::wstring& target);
  struct Case {
    const char* kind;
    bool wineGetsItRight;
    bool targetIsFolder;
    Make make;
  };
  const Case cases[] = {
      {"hard link", true, false,
       [](const std::wstring& link, const std::wstring& target) {
         return ::CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE;
       }},
      {"symbolic link", false, false,
       [](const std::wstring& link, const std::wstring& target) {
         return ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                      SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != FALSE;
       }},
      {"junction", false, true,
       [](const std::wstring& link, const std::wstring& target) {
         std::wstring command = L"cmd /c mklink /J \"" + withoutLongPrefix(link) + L"\" \"" +
                                withoutLongPrefix(target) + L"\" >NUL";
         return _wsystem(command.c_str()) == 0;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    if (!c.wineGetsItRight && testing::underWine()) continue;
    Folder downloads;
    Folder outside;
    std::string secret = outside / "secret";
    writeFile(secret, "abc");
    std::string target = c.targetIsFolder ? outside.path() : secret;
    if (!c.make(toWindowsPath(downloads / "clip.mp4.part").value(),
                toWindowsPath(target).value())) {
      ADD_FAILURE() << "cannot make a " << c.kind << " here: " << ::GetLastError();
      continue;
    }
    Handler t(downloads.path());
    json::object chunk = t.answer(chunkAbc("clip.mp4.part"));
    EXPECT_EQ(chunk["ok"], false) << json::serialize(chunk);
    json::object ended = t.answer(endMessage("clip.mp4.part", "clip.mp4", 3));
    EXPECT_EQ(ended["ok"], false) << json::serialize(ended);
    EXPECT_FALSE(fs::exists(widePath(downloads / "clip.mp4")));
    EXPECT_EQ(t.answer({{"type", "file.write.abort"}, {"part", "clip.mp4.part"}}),
              (json::object{{"ok", true}}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(widePath(downloads / "clip.mp4.part"))));
    EXPECT_EQ(readFile(secret), "abc");
  }
}

TEST(WindowsFileSystemTest, OpenAndRevealHandTheDesktopTheFileBeyondAscii) {
  Folder folder;
  const std::string name = "vid\xc3\xa9o \xd0\x81.mp4";
  writeFile(folder / name, "abc");
  for (std::string type : {"file.open", "file.reveal"}) {
    SCOPED_TRACE(type);
    Handler t(folder.path());
    EXPECT_EQ(t.answer({{"type", type}, {"name", name}}), (json::object{{"ok", true}}));
    const std::vector<std::string>& asked =
        type == "file.open" ? t.t.desktop.opened : t.t.desktop.revealed;
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(readFile(asked[0]), "abc") << asked[0];
  }
}

// A page that has the extension save a program, a script or a shortcut and then open it gets
// nothing run: open refuses it before the shell sees it (a batch file that would leave a mark
// leaves none). Other files are not refused, and every saved file
// carries the mark of the web where the volume keeps streams.
TEST(WindowsFileSystemTest, OpenNeverRunsAProgramSavedFromTheWeb) {
  struct Case {
    std::string name;
    bool program;
  };
  const Case cases[] = {
      {"x.bat", true},
      {"x.cmd", true},
      {"x.exe", true},
      {"x.lnk", true},
      {"x.js", true},
      {"x.hta", true},
      {"x.ps1", true},
      {"Y.BAT", true},
      {"x.scf", true},
      {"x.url", true},
      {"x.msi", true},
      {"x.vbs", true},
      {"x.{20D04FE0-3AEA-1069-A2D8-08002B30309D}", true},
      {"x.mp4", false},
      {"x.txt", false},
      {"x", false},
      {"x.bat.txt", false},
  };
  const json::object refused{{"ok", false}, {"error", "file.open: refused to run a program"}};
  const std::string url = "https://a.example/x";
  Folder folder;
  const std::string marker = folder / "ran";
  const std::string script = "@echo off\r\necho ran> \"" + marker + "\"\r\n";
  WindowsFileSystem system;
  DownloadsIn files(system, folder.path());
  std::unique_ptr<Desktop> desktop = makeSystemDesktop();
  auto sink = std::make_unique<CapturingSink>();
  SafariWebExtensionHandler handler(files, *desktop, folder.path(), std::move(sink));
  auto answer = [&](const json::object& message) { return handler.answer(json::value(message)); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(runsAsProgram(toUtf16(c.name).value()), c.program);
    const std::string part = c.name + ".part";
    json::object begin = beginMessage(c.name);
    begin["url"] = url;
    ASSERT_EQ(answer(begin), (json::object{{"ok", true}, {"part", part}}));
    ASSERT_EQ(answer({{"type", "file.write.chunk"},
                      {"part", part},
                      {"offset", 0},
                      {"data", testing::base64(script)}})["ok"],
              true);
    ASSERT_EQ(answer(endMessage(part, c.name, script.size())),
              (json::object{{"ok", true}, {"name", c.name}}));
    std::string mark = readFile(folder / c.name + ":Zone.Identifier");
    if (!mark.empty() || !testing::underWine()) {
      EXPECT_EQ(mark, ZoneIdentifier::text({url, ""}));
    }
    // Other files go on to ShellExecuteExW as before, and reveal to Explorer, which would hold
    // this test's output open: the table's answer for them is the check.
    if (!c.program) continue;
    EXPECT_EQ(answer({{"type", "file.open"}, {"name", c.name}}), refused);
  }
  EXPECT_FALSE(fs::exists(widePath(marker)));
}

TEST(WindowsFileSystemTest, NamesThatClimbOutOfDownloadsThroughBackslashesReachNothing) {
  const std::string names[] = {"..\\escape.mp4", "a\\..\\..\\escape.mp4", "a\\.. \\..\\escape.mp4",
                               "..\\..\\escape.mp4"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Folder outside;
    Folder downloads(outside.path());
    writeFile(outside / "escape.mp4", "outside");
    writeFile(outside / "escape.mp4.part", "abc");
    Handler t(downloads.path());
    EXPECT_EQ(t.answer(beginMessage(name))["ok"], false);
    EXPECT_EQ(t.answer(chunkAbc(name + ".part"))["ok"], false);
    EXPECT_EQ(t.answer(endMessage(name + ".part", "moved.mp4", 3))["ok"], false);
    EXPECT_EQ(t.answer({{"type", "file.write.abort"}, {"part", name + ".part"}})["ok"], false);
    EXPECT_EQ(t.answer({{"type", "file.open"}, {"name", name}})["ok"], false);
    EXPECT_TRUE(t.t.desktop.opened.empty());
    EXPECT_EQ(readFile(outside / "escape.mp4"), "outside");
    EXPECT_EQ(readFile(outside / "escape.mp4.part"), "abc");
  }
}

TEST(WindowsFileSystemTest, LongPathsAndNamesBeyondAsciiAreSaved) {
  Folder top;
  std::string deep = top.path();
  while (deep.size() < 300) deep += "\\" + std::string(40, 'd');
  Folder downloads(deep);
  ASSERT_GT(downloads.path().size(), size_t{MAX_PATH});
  Handler t(downloads.path());
  const std::string name =
      "\xc3\xbcnic\xc3\xb8"
      "de \xd0\xba\xd0\xbb\xd0\xb8\xd0\xbf.mp4";
  const std::string part = name + ".part";
  EXPECT_EQ(t.answer(beginMessage(name)), (json::object{{"ok", true}, {"part", part}}));
  EXPECT_EQ(t.answer(chunkAbc(part)), (json::object{{"ok", true}, {"size", 3}}));
  EXPECT_EQ(t.answer(endMessage(part, name, 3)), (json::object{{"ok", true}, {"name", name}}));
  EXPECT_EQ(readFile(downloads / name), "abc");
}

// A write to a volume with no room left fails as the out-of-space error, with the system's code.
// Needs TAMBERLO_SMALL_VOLUME: a folder on a volume of a few MiB that the test may fill (under
// Wine, a small tmpfs seen through drive Z:).
TEST(WindowsFileSystemTest, AFullVolumeGivesTheOutOfSpaceError) {
  const char* small = std::getenv("TAMBERLO_SMALL_VOLUME");
  if (small == nullptr || *small == '\0') {
    GTEST_SKIP() << "set TAMBERLO_SMALL_VOLUME to a folder on a small volume to run this";
  }
  ULARGE_INTEGER free;
  ASSERT_TRUE(::GetDiskFreeSpaceExW(toWindowsPath(small).value().c_str(), &free, nullptr, nullptr));
  if (free.QuadPart > 64u << 20) GTEST_SKIP() << "TAMBERLO_SMALL_VOLUME has more than 64 MiB free";
  Folder folder(small);
  WindowsFileSystem files;
  ASSERT_TRUE(files.createExclusive(folder / "clip.mp4.part").ok());
  Result<std::unique_ptr<WritableFile>> file = files.openForWriting(folder / "clip.mp4.part");
  ASSERT_TRUE(file.ok()) << file.error().description;
  const std::vector<uint8_t> block(256 * 1024, 0x5a);
  uint64_t offset = 0;
  Status written = success();
  while (written.ok() && offset <= free.QuadPart) {
    written = (*file)->writeAt(offset, block);
    offset += block.size();
  }
  ASSERT_FALSE(written.ok()) << "the volume took more than it had free";
  const Error& error = written.error();
  EXPECT_EQ(error.description, "Cannot write the file: the volume is out of space.");
  EXPECT_TRUE(SafariWebExtensionHandler::isDiskFull(error));
  EXPECT_TRUE(error.osCode == ERROR_DISK_FULL || error.osCode == ERROR_HANDLE_DISK_FULL)
      << error.osCode;
}

}  // namespace
}  // namespace tamberlo
