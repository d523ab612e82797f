#include <gtest/gtest.h>

#include <filesystem>

#include "Encoding/Base64.h"
#include "Encoding/Utf8.h"
#include "Platform/Linux/LinuxFileSystem.h"
#include "Platform/Logger.h"
#include "Platform/ZoneIdentifier.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

using testing::TempDir;

TEST(Base64Test, DecodesOnlyStrictBase64) {
  struct Case {
    std::string text;
    std::optional<std::string> bytes;
  };
  const Case cases[] = {
      {"", ""},
      {"YQ==", "a"},
      {"YWI=", "ab"},
      {"YWJj", "abc"},
      {"YWJjZA==", "abcd"},
      {"+/+/", "\xfb\xff\xbf"},
      {"YQ", std::nullopt},        // no padding
      {"YQ=", std::nullopt},       // length not a multiple of 4
      {"YQ==YQ==", std::nullopt},  // data after padding
      {"Y===", std::nullopt},
      {"=YQ=", std::nullopt},
      {"YW=j", std::nullopt},
      {"YWJj\n", std::nullopt},  // whitespace
      {"YW Jj", std::nullopt},
      {"YWJ-", std::nullopt},  // URL-safe alphabet
      {"YWJ_", std::nullopt},
      {"YWJ\xC3", std::nullopt},
  };
  Base64Decoder decoder;
  for (const Case& c : cases) {
    auto decoded = decoder.decode(c.text);
    ASSERT_EQ(decoded.has_value(), c.bytes.has_value()) << c.text;
    if (decoded) {
      EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *c.bytes) << c.text;
    }
  }
}

TEST(Base64Test, DecodesInPlaceAndRoundTripsEveryByte) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>((i * 7919) & 0xFF);
  for (size_t length : {0u, 1u, 2u, 3u, 4u, 255u, 1000u}) {
    std::string text = testing::base64(std::string_view(bytes).substr(0, length));
    auto size = decodeBase64(text, reinterpret_cast<uint8_t*>(text.data()));
    ASSERT_TRUE(size) << length;
    EXPECT_EQ(text.substr(0, *size), bytes.substr(0, length));
  }
}

TEST(LoggerTest, RendersPublicValuesAndHidesPrivateOnes) {
  struct Case {
    std::string format;
    std::vector<std::string> args;
    std::string line;
  };
  const Case cases[] = {
      {"Native message: %{private}s", {"secret"}, "Native message: <private>"},
      {"%{public}s: no Downloads folder", {"file.exists"}, "file.exists: no Downloads folder"},
      {"%{public}s failed%{public}s: %{public}s",
       {"file.write.chunk", " (disk full)", "No space."},
       "file.write.chunk failed (disk full): No space."},
      {"file.write.end: saved %{public}llu bytes as %{private}s",
       {"7", "clip.mp4"},
       "file.write.end: saved 7 bytes as <private>"},
      {"100% sure", {}, "100% sure"},
  };
  for (const Case& c : cases) {
    CapturingSink sink;
    std::string line;
    switch (c.args.size()) {
      case 0:
        line = Logger::render(c.format, {});
        break;
      case 1:
        line = Logger::render(c.format, {c.args[0]});
        break;
      case 2:
        line = Logger::render(c.format, {c.args[0], c.args[1]});
        break;
      default:
        line = Logger::render(c.format, {c.args[0], c.args[1], c.args[2]});
        break;
    }
    EXPECT_EQ(line, c.line) << c.format;
  }
  EXPECT_EQ(Logger::render("%{public}llu", {uint64_t{18446744073709551615ULL}}),
            "18446744073709551615");
}

TEST(LoggerTest, APrivateValueGivenAsAFunctionIsNeverMade) {
  int made = 0;
  auto make = [&] {
    ++made;
    return std::string("{\"type\":\"ping\"}");
  };
  EXPECT_EQ(Logger::render("Native message: %{private}s", {make}), "Native message: <private>");
  EXPECT_EQ(made, 0);
  EXPECT_EQ(Logger::render("Native message: %{public}s", {make}),
            "Native message: {\"type\":\"ping\"}");
  EXPECT_EQ(made, 1);
}

TEST(Utf8Test, TellsValidFromInvalid) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"plain ascii name.mp4", true},
      {"caf\xC3\xA9", true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC3", false},
      {"\x80", false},
      {"\xC0\xAF", false},
      {"\xE0\x80\xAF", false},
      {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false},
      {"abcdefgh\xFFijklmnop", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << c.text;
}

// The Zone.Identifier text that marks a saved file on Windows; an address never adds a line.
TEST(ZoneIdentifierTest, MarksTheInternetZoneAndTheAddressesGiven) {
  struct Case {
    OriginMark mark;
    std::string text;
  };
  const std::string head = "[ZoneTransfer]\r\nZoneId=3\r\n";
  const Case cases[] = {
      {{"", ""}, head},
      {{"https://a.example/v.mp4", ""}, head + "HostUrl=https://a.example/v.mp4\r\n"},
      {{"https://a.example/v.mp4", "https://a.example/watch?v=1"},
       head + "ReferrerUrl=https://a.example/watch?v=1\r\nHostUrl=https://a.example/v.mp4\r\n"},
      {{"", "https://a.example/"}, head + "ReferrerUrl=https://a.example/\r\n"},
      {{"https://a.example/x\r\nZoneId=0", ""},
       head + "HostUrl=https://a.example/x%0D%0AZoneId=0\r\n"},
      {{"https://a.example/\n[ZoneTransfer]\nZoneId=0", ""},
       head + "HostUrl=https://a.example/%0A[ZoneTransfer]%0AZoneId=0\r\n"},
      {{"https://\xC3\xA9.example/a b\x7f", ""},
       head + "HostUrl=https://%C3%A9.example/a%20b%7F\r\n"},
      {{std::string("https://a.example/\0x", 20), ""}, head + "HostUrl=https://a.example/%00x\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZoneIdentifier::text(c.mark), c.text) << c.mark.url << " " << c.mark.referrer;
  }
}

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
