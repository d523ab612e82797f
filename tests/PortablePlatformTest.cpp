// The portable parts of the boundary, on every OS: the log's rendering of public and private
// values, the UTF-8 check, and the text of Windows' mark of the web.
#include <gtest/gtest.h>

#include "Encoding/Utf8.h"
#include "Platform/Logger.h"
#include "Platform/ZoneIdentifier.h"
#include "support/CapturingSink.h"

namespace tamberlo {
namespace {

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

}  // namespace
}  // namespace tamberlo
