// Transfers into Downloads folders of real file systems mounted over it: a 1 MiB tmpfs that
// really fills up, and a ramfs that keeps no user attributes.
#include <sys/mount.h>
#include <sys/xattr.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "TransferSteps.h"

namespace tamberlo {
namespace {

using testing::FakeHome;
using testing::HandlerUnderTest;

// A tmpfs (or another memory file system, `type`) mounted over a folder for as long as it lives;
// unmounted on every way out.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& folder, const char* options, const char* type = "tmpfs") {
    if (::mount(type, folder.c_str(), type, 0, options) == 0) {
      folder_ = folder;
    } else {
      reason_ = std::strerror(errno);
    }
  }
  ~TmpfsMount() {
    if (!folder_.empty()) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return !folder_.empty(); }
  const std::string& reason() const { return reason_; }

 private:
  std::string folder_;
  std::string reason_;
};

TEST(DiskFullTest, FullDiskIsReportedAndTheTransferContinuesOnceSpaceIsFreed) {
  FakeHome home;
  TmpfsMount tmpfs(home.downloads(), "size=1m,mode=0755");
  if (!tmpfs.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs over the Downloads folder (" << tmpfs.reason()
                 << "); this test needs root, as in CI";
  }
  testing::writeFile(home / "filler", std::string(512 * 1024, 'f'));
  ASSERT_EQ(std::filesystem::file_size(home / "filler"), 512u * 1024);

  std::string content(768 * 1024, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
  const std::string part = "clip.mp4.part";
  constexpr size_t kChunk = 64 * 1024;
  HandlerUnderTest t(home.downloads());
  ASSERT_EQ(t.answer(writeBegin("clip.mp4")), (json::object{{"ok", true}, {"part", part}}));

  // Send chunks until the folder is full, then free space and go on from the part file's
  // length, as a script would after being told "storage".
  auto sendFrom = [&](uint64_t offset) {
    json::object reply;
    while (offset < content.size()) {
      t.log->clear();
      reply = t.answer(writeChunk(part, offset, std::string_view(content).substr(offset, kChunk)));
      if (!reply.contains("size")) break;
      offset = reply["size"].to_number<uint64_t>();
    }
    return reply;
  };
  const std::string full = "Cannot write the file: the volume is out of space.";
  EXPECT_EQ(sendFrom(0), failed(full, true));
  EXPECT_EQ(t.lines(), std::vector<Line>{failedLine("file.write.chunk", full, true)});
  uint64_t stored = std::filesystem::file_size(home / part);
  EXPECT_GT(stored, 0u);
  EXPECT_LT(stored, content.size());
  EXPECT_EQ(testing::readFile(home / part), content.substr(0, stored));

  std::filesystem::remove(home / "filler");
  EXPECT_EQ(sendFrom(stored), (json::object{{"ok", true}, {"size", content.size()}}));
  EXPECT_EQ(t.answer(writeEnd(part, "clip.mp4", content.size())),
            (json::object{{"ok", true}, {"name", "clip.mp4"}}));
  EXPECT_TRUE(testing::readFile(home / "clip.mp4") == content);
}

// A volume with no inode left: begin cannot make the part file and says the storage is full,
// with the reason in the log.
TEST(DiskFullTest, BeginOnAVolumeWithoutAFreeInodeTellsStorage) {
  FakeHome home;
  TmpfsMount tmpfs(home.downloads(), "size=1m,nr_inodes=16,mode=0755");
  if (!tmpfs.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs over the Downloads folder (" << tmpfs.reason()
                 << "); this test needs root, as in CI";
  }
  int made = 0;
  for (std::ofstream file; made < 100; ++made) {
    file.open(home / ("filler" + std::to_string(made)));
    if (!file.is_open()) break;
    file.close();
  }
  ASSERT_LT(made, 100) << "the inodes did not run out";
  HandlerUnderTest t(home.downloads());
  const std::string full = "Cannot create the file: No space left on device.";
  EXPECT_EQ(t.answer(writeBegin("clip.mp4")),
            (json::object{
                {"ok", false}, {"error", "cannot create a file in Downloads"}, {"storage", true}}));
  EXPECT_EQ(
      t.lines(),
      std::vector<Line>{error("file.write.begin: cannot create the file in Downloads: " + full)});
}

// The origin attributes of the saved file at `path`: user.xdg.origin.url, then
// user.xdg.referrer.url, each empty when missing.
std::vector<std::string> originOf(const std::string& path) {
  std::vector<std::string> values;
  for (const char* name : {"user.xdg.origin.url", "user.xdg.referrer.url"}) {
    char value[256];
    ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
    values.emplace_back(value, n > 0 ? static_cast<size_t>(n) : 0);
  }
  return values;
}

// The page's addresses go on the part file at begin, and a rename keeps them; a file system
// without user attributes saves the file all the same and says so once.
TEST(DiskFullTest, TheSavedFileCarriesItsOriginWhereTheFileSystemKeepsIt) {
  const std::string url = "https://a.example/v.mp4";
  const std::string referrer = "https://a.example/watch";
  struct Case {
    const char* type;  // of the file system mounted over Downloads
    std::vector<std::string> origin;
    std::vector<Line> beginLines;
  };
  const Case cases[] = {
      {"tmpfs", {url, referrer}, {info("file.write.begin <private>")}},
      {"ramfs",
       {"", ""},
       {info("file.write.begin <private>"),
        error("file.write.begin: the file's origin is not marked: Cannot mark the file's "
              "origin: the file system keeps no such mark.")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    FakeHome home;
    TmpfsMount mount(home.downloads(), "mode=0755", c.type);
    if (!mount.mounted())
      GTEST_SKIP() << "cannot mount a " << c.type << " (" << mount.reason() << ")";
    HandlerUnderTest t(home.downloads());
    play(t, {{json::serialize(json::object{{"type", "file.write.begin"},
                                           {"name", "clip.mp4"},
                                           {"url", url},
                                           {"referrer", referrer}}),
              {{"ok", true}, {"part", "clip.mp4.part"}},
              c.beginLines},
             {writeChunk("clip.mp4.part", 0, "abc"), {{"ok", true}, {"size", 3}}},
             {writeEnd("clip.mp4.part", "clip.mp4", 3),
              {{"ok", true}, {"name", "clip.mp4"}},
              {info("file.write.end: saved 3 bytes as <private>")}}});
    EXPECT_EQ(testing::readFile(home / "clip.mp4"), "abc");
    EXPECT_EQ(originOf(home / "clip.mp4"), c.origin);
  }
}

}  // namespace
}  // namespace tamberlo
