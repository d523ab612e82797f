#include <gtest/gtest.h>

#include <filesystem>

#include "Encoding/Utf8.h"
#include "Platform/Linux/LinuxFileSystem.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

using testing::TempDir;

TEST(FileSystemTest, DownloadsFolderFollowsTheUserDirsFile) {
  TempDir home;
  std::filesystem::create_directories(home / ".config");
  std::filesystem::create_directories(home / "cfg");
  std::filesystem::create_directories(home / "Downloads");
  struct Case {
    std::string label;
    std::optional<std::string> configHome;
    std::string userDirs;  // written to <config>/user-dirs.dirs when not empty
    std::optional<std::string> expected;
  };
  std::filesystem::create_directory_symlink(home.path(), home / "home again");
  const Case cases[] = {
      {"no file", std::nullopt, "", home / "Downloads"},
      {"$HOME value", std::nullopt, "XDG_DOWNLOAD_DIR=\"$HOME/Saved Files\"\n",
       home / "Saved Files"},
      {"absolute value", std::nullopt, "# comment\nXDG_DOWNLOAD_DIR=\"/srv/dl\"\n", "/srv/dl"},
      {"relative value ignored", std::nullopt, "XDG_DOWNLOAD_DIR=\"dl\"\n", home / "Downloads"},
      {"XDG_CONFIG_HOME", home / "cfg", "XDG_DOWNLOAD_DIR=\"$HOME/cfgdl\"\n", home / "cfgdl"},
      // No Downloads folder: the home folder, as the desktop writes it when the folder is gone,
      // and every way of reaching it or a folder above it.
      {"home, disabled", std::nullopt, "XDG_DOWNLOAD_DIR=\"$HOME/\"\n", std::nullopt},
      {"home", std::nullopt, "XDG_DOWNLOAD_DIR=\"$HOME\"\n", std::nullopt},
      {"home spelled absolutely", std::nullopt, "XDG_DOWNLOAD_DIR=\"" + home.path() + "/.\"\n",
       std::nullopt},
      {"home through a link", std::nullopt, "XDG_DOWNLOAD_DIR=\"$HOME/home again\"\n",
       std::nullopt},
      {"above home", std::nullopt, "XDG_DOWNLOAD_DIR=\"$HOME/..\"\n", std::nullopt},
      {"root", std::nullopt, "XDG_DOWNLOAD_DIR=\"/\"\n", std::nullopt},
  };
  LinuxFileSystem files;
  for (const Case& c : cases) {
    std::string config = c.configHome.value_or(home / ".config");
    std::filesystem::remove(config + "/user-dirs.dirs");
    if (!c.userDirs.empty()) testing::writeFile(config + "/user-dirs.dirs", c.userDirs);
    ::setenv("HOME", home.path().c_str(), 1);
    if (c.configHome) {
      ::setenv("XDG_CONFIG_HOME", c.configHome->c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(files.downloadsDirectory(), c.expected) << c.label;
  }
  ::setenv("HOME", "", 1);
  EXPECT_EQ(files.downloadsDirectory(), std::nullopt);
  ::unsetenv("HOME");
  EXPECT_EQ(files.downloadsDirectory(), std::nullopt);
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(FileSystemTest, AWritableFileKnowsItsLengthAfterEveryChange) {
  TempDir dir;
  testing::writeFile(dir / "f.part", "abc");
  LinuxFileSystem files;
  Result<std::unique_ptr<WritableFile>> file = files.openForWriting(dir / "f.part");
  ASSERT_TRUE(file);
  auto bytes = [](std::string_view text) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  EXPECT_EQ((*file)->size().value(), 3u);
  ASSERT_TRUE((*file)->writeAt(3, bytes("defg")));
  EXPECT_EQ((*file)->size().value(), 7u);
  EXPECT_EQ((*file)->size().value(), 7u);
  ASSERT_TRUE((*file)->truncate(2));
  EXPECT_EQ((*file)->size().value(), 2u);
  ASSERT_TRUE((*file)->writeAt(5, bytes("z")));
  EXPECT_EQ((*file)->size().value(), 6u);
  EXPECT_EQ(testing::readFile(dir / "f.part"), std::string("ab\0\0\0z", 6));
}

TEST(FileSystemTest, ResolvesLinksAsFarAsTheyExist) {
  TempDir dir;
  std::filesystem::create_directory(dir / "real");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  LinuxFileSystem files;
  std::string real = files.resolveSymlinks(dir / "real");
  EXPECT_EQ(files.resolveSymlinks(dir / "link"), real);
  EXPECT_EQ(files.resolveSymlinks(dir / "link/missing/deeper"), real + "/missing/deeper");
}

}  // namespace
}  // namespace tamberlo
