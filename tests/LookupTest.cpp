// Finding a saved file against real folders: the Downloads listing narrowed to a name and its
// copies, with creation dates, and "file.exists" through the handler and through the real host.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "support/MemoryFileSystem.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
using testing::FakeHome;
using testing::HandlerUnderTest;
using testing::HostProcess;
using testing::TempDir;
using testing::writeFile;
using Line = CapturingSink::Line;

Instant at(double seconds) { return Instant(std::chrono::duration<double>(seconds)); }
double secondsOf(Instant instant) { return instant.time_since_epoch().count(); }

// The real disk, except that creation dates can be set per name: birth times cannot be made
// on demand. Records whose dates were read.
class DatedFileSystem : public FileSystemWrapper {
 public:
  DatedFileSystem() : FileSystemWrapper(makeSystemFileSystem()) {}
  std::optional<Instant> creationDate(const std::string& path) override {
    std::string name = path.substr(path.rfind('/') + 1);
    asked.push_back(name);
    if (unreadable.contains(name)) return std::nullopt;
    if (auto it = dates.find(name); it != dates.end()) return it->second;
    return FileSystemWrapper::creationDate(path);
  }
  std::map<std::string, Instant> dates;
  std::set<std::string> unreadable;
  std::vector<std::string> asked;
};

// The names of `folder` in the order the OS lists them, everything included.
std::vector<std::string> readdirOrder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  return names;
}

std::vector<std::string> namesOf(const std::vector<DownloadsFile::Entry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.name);
  return names;
}

// Every kind of entry a Downloads folder can hold, with the names that pass for "clip.mp4".
TEST(LookupTest, ListsEveryKindOfCopyInFolderOrderAndDatesOnlyThose) {
#ifdef _WIN32
  GTEST_SKIP() << "names that differ only in case or are not UTF-8 are files of their own on Linux";
#endif
  TempDir folder;
  for (const char* name : {"clip.mp4", "clip (1).mp4", "clip 2.mp4", "other.mp4", "clipboard.mp4",
                           "clip (2).mp4.part", "CLIP.MP4", ".clip (3).mp4"}) {
    writeFile(folder / name, "x");
  }
  std::filesystem::create_directory(folder / "clip-4.mp4");     // a folder is listed like a file
  testing::makeLink(folder / "gone", folder / "clip (7).mp4");  // so is a link
  writeFile(folder / "clip (5).mp4\xFF", "x");                  // not UTF-8: skipped
  writeFile(folder / "\xC0\xAF", "x");

  DatedFileSystem files;
  HandlerUnderTest t(files, folder.path());
  Result<std::vector<DownloadsFile::Entry>> listed = t.handler->entries(folder.path(), "clip.mp4");
  ASSERT_TRUE(listed) << listed.error().description;

  const std::set<std::string> copies = {"clip.mp4", "clip (1).mp4", "clip 2.mp4", "clip-4.mp4",
                                        "clip (7).mp4"};
  std::vector<std::string> expected;
  for (const std::string& name : readdirOrder(folder.path())) {
    if (copies.contains(name)) expected.push_back(name);
  }
  ASSERT_EQ(expected.size(), copies.size());
  EXPECT_EQ(namesOf(*listed), expected);
  EXPECT_EQ(files.asked, expected);
  for (const auto& entry : *listed) {
    EXPECT_GT(secondsOf(entry.created), 1.0e9) << entry.name << " has no real creation date";
  }

  // Without dates the same names come back and no file is asked for its date.
  files.asked.clear();
  Result<std::vector<DownloadsFile::Entry>> names =
      t.handler->entries(folder.path(), "clip.mp4", Dates::kSkip);
  ASSERT_TRUE(names);
  EXPECT_EQ(namesOf(*names), expected);
  EXPECT_TRUE(files.asked.empty());
}

TEST(LookupTest, ListingSkipsHiddenAndNonUtf8NamesWhateverTheyMatch) {
  TempDir folder;
  writeFile(folder / ".clip.mp4", "x");
  writeFile(folder / ".clip (1).mp4", "x");
  writeFile(folder / "visible", "x");
#ifndef _WIN32
  writeFile(folder / "caf\xE9.mp4", "x");  // Latin-1, not UTF-8
#endif

  std::vector<std::string> visited;
  std::unique_ptr<FileSystem> system = makeSystemFileSystem();
  ASSERT_TRUE(system->listDirectory(folder.path(),
                                    [&](std::string_view name) { visited.emplace_back(name); }));
  EXPECT_EQ(visited, std::vector<std::string>{"visible"});

  // Even asked for by a hidden name, a hidden entry is not listed.
  DatedFileSystem files;
  HandlerUnderTest t(files, folder.path());
  Result<std::vector<DownloadsFile::Entry>> listed = t.handler->entries(folder.path(), ".clip.mp4");
  ASSERT_TRUE(listed);
  EXPECT_TRUE(listed->empty());
  EXPECT_TRUE(files.asked.empty());
}

TEST(LookupTest, NoDateIsReadWhenNothingPasses) {
  struct Case {
    std::string label;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"empty folder", {}},
      {"nothing like the name", {"other.mp4", "clipboard.mp4", "clip (1).mov", "Clip.mp4"}},
  };
  for (const Case& c : cases) {
    TempDir folder;
    for (const std::string& name : c.names) writeFile(folder / name, "x");
    DatedFileSystem files;
    HandlerUnderTest t(files, folder.path());
    Result<std::vector<DownloadsFile::Entry>> listed =
        t.handler->entries(folder.path(), "clip.mp4");
    ASSERT_TRUE(listed) << c.label;
    EXPECT_TRUE(listed->empty()) << c.label;
    EXPECT_TRUE(files.asked.empty()) << c.label;
  }
}

TEST(LookupTest, AnUnreadableDateIsTheDistantPast) {
  TempDir folder;
  writeFile(folder / "clip.mp4", "x");
  writeFile(folder / "clip (1).mp4", "x");
  DatedFileSystem files;
  files.unreadable = {"clip (1).mp4"};
  HandlerUnderTest t(files, folder.path());
  Result<std::vector<DownloadsFile::Entry>> listed = t.handler->entries(folder.path(), "clip.mp4");
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 2u);
  for (const auto& entry : *listed) {
    if (entry.name == "clip (1).mp4") {
      EXPECT_EQ(entry.created, kDistantPast);
    } else {
      EXPECT_GT(secondsOf(entry.created), 1.0e9);
    }
  }
}

// Files made one after another have creation dates in that order, read from the file system
// (its birth time where it records one, else the status-change time), and the bound picks
// among them.
TEST(LookupTest, RealCreationDatesDecideUnderABound) {
  FakeHome home;
  const std::vector<std::string> order = {"clip (2).mp4", "clip.mp4", "clip-1.mp4"};
  for (const std::string& name : order) {
    writeFile(home / name, "x");
    // Well beyond the clock ticks that file times are taken at.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
#ifdef _WIN32
  if (testing::underWine()) GTEST_SKIP() << "Wine reports the last change as the creation time";
  const bool birthTimes = true;
  // A later change of the first file must not move its creation date.
  writeFile(home / order[0], "changed");
#else
  struct statx stx;
  ASSERT_EQ(::statx(AT_FDCWD, (home / order[0]).c_str(), 0, STATX_BTIME, &stx), 0);
  const bool birthTimes = (stx.stx_mask & STATX_BTIME) != 0;
  // A later change of the first file's status must not move its creation date.
  if (birthTimes) {
    ASSERT_EQ(::chmod((home / order[0]).c_str(), 0600), 0);
  }
#endif
  if (!birthTimes) {
    std::cout << "[ NOTE     ] no birth times here; the status-change time stands in\n";
  }

  HandlerUnderTest t(home.downloads());
  Result<std::vector<DownloadsFile::Entry>> listed =
      t.handler->entries(home.downloads(), "clip.mp4");
  ASSERT_TRUE(listed);
  std::map<std::string, double> created;
  for (const auto& entry : *listed) created[entry.name] = secondsOf(entry.created);
  ASSERT_EQ(created.size(), order.size());
  EXPECT_LT(created[order[0]] + 0.02, created[order[1]]);
  EXPECT_LT(created[order[1]] + 0.02, created[order[2]]);
#ifndef _WIN32
  if (birthTimes) {
    double birth = static_cast<double>(stx.stx_btime.tv_sec) + stx.stx_btime.tv_nsec / 1e9;
    EXPECT_NEAR(created[order[0]], birth, 1e-6);
  }
#endif

  // A bound in milliseconds that puts the threshold a few milliseconds around a file's date.
  auto around = [&](const std::string& name, double offsetMs) {
    return (created[name] + 120.0) * 1000.0 + offsetMs;
  };
  struct Case {
    double after;
    json::object reply;
  };
  const Case cases[] = {
      {around(order[0], -5), {{"exists", true}, {"name", order[0]}}},
      {around(order[1], -5), {{"exists", true}, {"name", order[1]}}},
      {around(order[1], +5), {{"exists", true}, {"name", order[2]}}},
      {around(order[2], +5), {{"exists", false}}},
  };
  for (const Case& c : cases) {
    json::object message = {{"type", "file.exists"}, {"name", "clip.mp4"}, {"after", c.after}};
    EXPECT_EQ(t.handler->answer(json::value(message)), c.reply) << json::serialize(message);
  }
}

// "file.exists" through the dispatcher against a Downloads folder in memory whose entries carry
// the dates given here: the rules of the bound and the copies, where a disk adds nothing.
// 10:00:00 stands for 1'700'000'000 s.
TEST(LookupTest, ExistsRepliesAndLogs) {
  constexpr double kTen = 1'700'000'000.0;
  const Line kFound{LogLevel::kInfo, "file.exists: found <private>"};
  const Line kNotFound{LogLevel::kInfo, "file.exists: not found <private>"};
  const std::map<std::string, Instant> copyFirst = {{"clip (1).mp4", at(kTen)},
                                                    {"clip.mp4", at(kTen + 300)}};
  const std::map<std::string, Instant> onlyCopy = {{"clip (1).mp4", at(kTen + 300.0004)}};
  const std::map<std::string, Instant> decomposed = {{"cafe\xCC\x81.mp4", at(kTen)},
                                                     {"cafe\xCC\x81 (1).mp4", at(kTen + 300)}};
  struct Case {
    std::string label;
    std::map<std::string, Instant> files;
    std::string message;
    std::string reply;
  };
  const Case cases[] = {
      {"exact name, no bound", copyFirst, R"({"type":"file.exists","name":"clip.mp4"})",
       R"({"exists":true,"name":"clip.mp4"})"},
      {"only a copy, no bound", onlyCopy, R"({"type":"file.exists","name":"clip.mp4"})",
       R"({"exists":false})"},
      {"text of digits is no bound", copyFirst,
       R"({"type":"file.exists","name":"clip.mp4","after":"1700000000000"})",
       R"({"exists":true,"name":"clip.mp4"})"},
      {"text is no bound", onlyCopy, R"({"type":"file.exists","name":"clip.mp4","after":"0"})",
       R"({"exists":false})"},
      {"true is no bound", onlyCopy, R"({"type":"file.exists","name":"clip.mp4","after":true})",
       R"({"exists":false})"},
      {"false is no bound", onlyCopy, R"({"type":"file.exists","name":"clip.mp4","after":false})",
       R"({"exists":false})"},
      {"null is no bound", onlyCopy, R"({"type":"file.exists","name":"clip.mp4","after":null})",
       R"({"exists":false})"},
      {"an array is no bound", onlyCopy, R"({"type":"file.exists","name":"clip.mp4","after":[0]})",
       R"({"exists":false})"},
      {"0 is 1970: the earliest copy", copyFirst,
       R"({"type":"file.exists","name":"clip.mp4","after":0})",
       R"({"exists":true,"name":"clip (1).mp4"})"},
      {"seconds instead of ms: January 1970", copyFirst,
       R"({"type":"file.exists","name":"clip.mp4","after":1700000400})",
       R"({"exists":true,"name":"clip (1).mp4"})"},
      {"a copy after the bound answers under its own name", onlyCopy,
       R"({"type":"file.exists","name":"clip.mp4","after":1700000400000})",
       R"({"exists":true,"name":"clip (1).mp4"})"},
      {"a negative integer", onlyCopy, R"({"type":"file.exists","name":"clip.mp4","after":-5})",
       R"({"exists":true,"name":"clip (1).mp4"})"},
      {"fractional ms: threshold just after the copy", onlyCopy,
       R"({"type":"file.exists","name":"clip.mp4","after":1700000420000.5})",
       R"({"exists":false})"},
      {"fractional ms: threshold just before the copy", onlyCopy,
       R"({"type":"file.exists","name":"clip.mp4","after":1700000420000.25})",
       R"({"exists":true,"name":"clip (1).mp4"})"},
      {"a bound far in the future", onlyCopy,
       R"({"type":"file.exists","name":"clip.mp4","after":1e300})", R"({"exists":false})"},
      {"the folder's spelling of the name", decomposed,
       R"({"type":"file.exists","name":"caf\u00e9.mp4"})",
       R"({"exists":true,"name":"cafe\u0301.mp4"})"},
      {"the folder's spelling of a copy", decomposed,
       R"({"type":"file.exists","name":"caf\u00e9.mp4","after":1700000400000})",
       R"({"exists":true,"name":"cafe\u0301 (1).mp4"})"},
      {"an empty folder",
       {},
       R"({"type":"file.exists","name":"clip.mp4","after":0})",
       R"({"exists":false})"},
  };
  const std::string downloads = "/home/user/Downloads";
  for (const Case& c : cases) {
    testing::MemoryFileSystem files;
    files.makeFolder(downloads);
    for (const auto& [name, date] : c.files) files.writeFile(downloads + "/" + name, "x", date);
    HandlerUnderTest t(files, downloads);
    json::object reply = t.answer(c.message);
    EXPECT_EQ(reply, json::parse(c.reply)) << c.label;
    bool found = reply.contains("name");
    EXPECT_EQ(t.lines(), std::vector<Line>{found ? kFound : kNotFound}) << c.label;
  }
}

TEST(LookupTest, ASubFolderNamedLikeACopyIsFound) {
  FakeHome home;
  std::filesystem::create_directory(home / "clip (1).mp4");
  HandlerUnderTest t(home.downloads());
  EXPECT_EQ(t.answer(R"({"type":"file.exists","name":"clip.mp4","after":0})"),
            json::parse(R"({"exists":true,"name":"clip (1).mp4"})"));
}

TEST(LookupTest, ADateThatCannotBeReadAnswersOnlyWithoutABound) {
  FakeHome home;
  writeFile(home / "clip.mp4", "x");
  DatedFileSystem files;
  files.unreadable = {"clip.mp4"};
  HandlerUnderTest t(files, home.downloads());
  EXPECT_EQ(t.answer(R"({"type":"file.exists","name":"clip.mp4"})"),
            json::parse(R"({"exists":true,"name":"clip.mp4"})"));
  EXPECT_EQ(t.answer(R"({"type":"file.exists","name":"clip.mp4","after":1700000000000})"),
            json::parse(R"({"exists":false})"));
}

// A Downloads folder that cannot be listed: the error reply and line, and nothing created.
// Root reads any folder whatever its mode, so the mode case runs only for other users; a
// missing folder and a file in the folder's place fail for everyone.
TEST(LookupTest, AnUnlistableFolderIsAnError) {
  struct Case {
    std::string label;
    std::function<void(const FakeHome&)> spoil;
    std::string description;
  };
  const Case cases[] = {
      {"missing", [](const FakeHome& h) { std::filesystem::remove(h.downloads()); },
       "Cannot list the folder: No such file or directory."},
      {"a file in its place",
       [](const FakeHome& h) {
         std::filesystem::remove(h.downloads());
         writeFile(h.downloads(), "not a folder");
       },
       "Cannot list the folder: Not a directory."},
      {"no permission", [](const FakeHome& h) { ::chmod(h.downloads().c_str(), 0); },
       "Cannot list the folder: Permission denied."},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    if (c.label == "no permission") continue;  // chmod cannot take a folder's access away.
#else
    if (c.label == "no permission" && ::geteuid() == 0) {
      std::cout << "[ SKIPPED  ] " << c.label << ": root reads any folder\n";
      continue;
    }
#endif
    FakeHome home;
    c.spoil(home);
    std::vector<std::string> before = testing::listNames(home.home());
    HandlerUnderTest t(home.downloads());
    json::object reply = t.answer(R"({"type":"file.exists","name":"clip.mp4","after":0})");
#ifdef _WIN32
    // The reason is the system's own text, which Wine words differently: only its start is
    // this program's.
    const std::string description(reply.at("error").as_string());
    EXPECT_TRUE(description.starts_with("Cannot list the folder: ")) << c.label << reply;
#else
    const std::string& description = c.description;
#endif
    EXPECT_EQ(reply, (json::object{{"error", description}})) << c.label;
    EXPECT_EQ(t.lines(), (std::vector<Line>{{LogLevel::kError,
                                             "file.exists: Downloads not "
                                             "readable: " +
                                                 description}}))
        << c.label;
    EXPECT_EQ(testing::listNames(home.home()), before) << c.label;
  }
}

TEST(LookupTest, ExistsThroughTheRealHost) {
  FakeHome home;
  std::string downloads = home.downloads();
  writeFile(downloads + "/clip.mp4", "x");
  writeFile(downloads + "/clip (1).mp4", "x");
  writeFile(downloads + "/cafe\xCC\x81 2.mp4", "x");
  HostProcess host(home.env());
  struct Case {
    std::string message, reply;
  };
  const Case cases[] = {
      {R"({"type":"file.exists","name":"clip.mp4"})", R"({"exists":true,"name":"clip.mp4"})"},
      {R"({"type":"file.exists","name":"clip (1).mp4"})",
       R"({"exists":true,"name":"clip (1).mp4"})"},
      {R"({"type":"file.exists","name":"clip.mov"})", R"({"exists":false})"},
      {R"({"type":"file.exists","name":"caf\u00e9.mp4","after":0})",
       R"({"exists":true,"name":"cafe\u0301 2.mp4"})"},
      {R"({"type":"file.exists","name":"clip.mp4","after":"0"})",
       R"({"exists":true,"name":"clip.mp4"})"},
      {R"({"type":"file.exists","name":"clip.mp4","after":1e300})", R"({"exists":false})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host.request(c.message), json::parse(c.reply)) << c.message;
  }
  std::filesystem::remove_all(pathFromUtf8(downloads));
  json::value missing = host.request(R"({"type":"file.exists","name":"clip.mp4"})");
#ifdef _WIN32
  // The reason is the system's own text, which Wine words differently.
  EXPECT_TRUE(missing.at("error").as_string().starts_with("Cannot list the folder: ")) << missing;
#else
  EXPECT_EQ(missing,
            json::parse(R"({"error":"Cannot list the folder: No such file or directory."})"));
#endif
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
}

}  // namespace
}  // namespace tamberlo
