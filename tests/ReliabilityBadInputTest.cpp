// Malformed and hostile input sent to the real host over a pipe: every whole frame gets exactly
// the reply it should, a frame cut short ends the host cleanly, and no name of any kind reaches
// a file outside Downloads or breaks a reply.
#include <gtest/gtest.h>

#include <filesystem>

#include "Extension/DownloadsFile.h"
#include "support/TestSupport.h"
#include "support/TreeSnapshot.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
using testing::FakeHome;
using testing::HostProcess;
using testing::TreeSnapshot;

std::string header(uint32_t length) {
  return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// The reply as text, parsed back: a reply that is not valid JSON fails the test here.
json::value receiveJson(HostProcess& host) {
  std::optional<std::string> reply = host.receive();
  if (!reply) return json::value("no reply");
  boost::system::error_code ec;
  json::value parsed = json::parse(*reply, ec);
  if (ec) return json::value("reply is not JSON: " + *reply);
  return parsed;
}

// Something outside Downloads that the host must never touch, next to the folder.
struct Home {
  Home() {
    testing::writeFile(home.home() + "/secret.txt", "keep me");
    std::filesystem::create_directory(home.home() + "/.config");
    before = TreeSnapshot::of(home.home()).without("Downloads");
  }
  std::vector<std::string> changedOutsideDownloads() const {
    return TreeSnapshot::of(home.home()).without("Downloads").changedFrom(before);
  }
  std::map<std::string, std::string> env() const { return home.env(); }
  FakeHome home;
  TreeSnapshot before;
};

TEST(ReliabilityBadInputTest, MalformedFramesAreAnsweredOneByOne) {
  struct Row {
    const char* what;
    std::string bytes;  // sent as they are: a frame, or a header and what follows it
    const char* reply;
  };
  const std::string hugeString = "\"" + std::string((64u << 20) - 2, 'a') + "\"";
  const std::string overLimit = header((64u << 20) + 1) + std::string((64u << 20) + 1, '{');
  const Row rows[] = {
      {"frame of length zero", testing::frame(""), R"({"echo":null})"},
      {"only whitespace", testing::frame(" \t\r\n"), R"({"echo":null})"},
      {"not JSON", testing::frame("{\"type\":"), R"({"echo":null})"},
      {"two JSON values in one frame", testing::frame("1 2"), R"({"echo":null})"},
      {"invalid UTF-8 in a name",
       testing::frame("{\"type\":\"file.write.begin\",\"name\":\"a\xff.bin\"}"),
       R"({"echo":null})"},
      {"overlong UTF-8 slash in a name",
       testing::frame("{\"type\":\"file.write.begin\",\"name\":\"..\xc0\xaf"
                      "x\"}"),
       R"({"echo":null})"},
      {"UTF-8-encoded surrogate", testing::frame("\"\xed\xa0\x80\""), R"({"echo":null})"},
      {"lone surrogate escape", testing::frame(R"({"type":"file.exists","name":"\ud800"})"),
       R"({"echo":null})"},
      {"truncated UTF-8 at the end of a frame", testing::frame("\"\xe2\x82\""), R"({"echo":null})"},
      {"arrays nested 100000 deep", testing::frame(nested(100000)), R"({"echo":null})"},
      {"objects nested 100000 deep", testing::frame([] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "{\"a\":";
         return s + "1" + std::string(100000, '}');
       }()),
       R"({"echo":null})"},
      {"deep nesting beside a valid begin",
       testing::frame(R"({"type":"file.write.begin","name":"deep.bin","x":)" + nested(5000) + "}"),
       R"({"echo":null})"},
      {"nesting within the limit beside a valid begin",
       testing::frame(R"({"type":"file.write.begin","name":"deep.bin","x":)" + nested(500) + "}"),
       R"({"ok":true,"part":"deep.bin.part"})"},
      {"a number beyond the range of a double", testing::frame(R"({"x":1e400})"),
       R"({"echo":null})"},
      {"a negative number beyond the range", testing::frame("[-1e400]"), R"({"echo":null})"},
      {"a type that is a number", testing::frame(R"({"type":7,"name":"a"})"),
       R"({"echo":{"type":7,"name":"a"}})"},
      {"a type with a NUL", testing::frame(R"({"type":"file.write.begin\u0000","name":"a"})"),
       "{\"ok\":false,\"error\":\"unknown message file.write.begin\\u0000\"}"},
      {"frame of exactly 64 MiB whose echo would pass 1 MiB", testing::frame(hugeString),
       R"({"ok":false,"error":"reply too large"})"},
      {"frame over 64 MiB", overLimit, R"({"ok":false,"error":"message too large"})"},
      {"the next frame after all that", testing::frame(R"({"type":"ping"})"),
       R"({"echo":{"type":"ping"}})"},
  };
  Home home;
  HostProcess host(home.env());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    host.sendRaw(row.bytes);
    EXPECT_EQ(receiveJson(host), json::parse(row.reply));
  }
  EXPECT_EQ(testing::listNames(home.home.downloads()), std::vector<std::string>{"deep.bin.part"});
  EXPECT_EQ(home.changedOutsideDownloads(), std::vector<std::string>{});
  host.closeInput();
  EXPECT_EQ(host.receive(), std::nullopt);
  EXPECT_EQ(host.wait(), 0);
}

// Whatever a frame holds, one message takes at most about twice its frame's length and 32 MiB:
// one whose parsed form would need more is answered as too large, and the next is answered.
TEST(ReliabilityBadInputTest, MessagesOfEveryShapeStayWithinTheirMemoryBound) {
  // A message of `length` bytes: `open`, then `item` repeated with commas, then `close`.
  auto repeated = [](size_t length, std::string_view open, auto item, std::string_view close) {
    std::string text(open);
    for (uint64_t i = 0;; ++i) {
      std::string next = item(i);
      if (text.size() + next.size() + 1 + close.size() > length) break;
      if (i > 0) text += ',';
      text += next;
    }
    return text + std::string(close);
  };
  constexpr std::string_view kTooLarge = R"({"ok":false,"error":"message too large"})";
  // The resident size is the host's own only in a plain build: AddressSanitizer shadows and
  // keeps memory, and an emulator's is the emulator's. The replies are checked everywhere.
#if defined(__SANITIZE_ADDRESS__) || defined(TAMBERLO_EMULATED)
  constexpr bool kMeasured = false;
#else
  constexpr bool kMeasured = true;
#endif
  for (size_t length : {size_t{4} << 20, (size_t{64} << 20) - 64}) {
    SCOPED_TRACE(length);
    struct Row {
      const char* what;
      std::string message;
      std::string reply;
    };
    const std::string data = std::string(length - 80, 'A');
    const Row rows[] = {
        {"numbers",
         repeated(
             length, "[", [](uint64_t) { return "0"; }, "]"),
         std::string(kTooLarge)},
        {"distinct keys",
         repeated(
             length, "{", [](uint64_t i) { return "\"" + std::to_string(i) + "\":0"; }, "}"),
         std::string(kTooLarge)},
        {"empty strings",
         repeated(
             length, "[", [](uint64_t) { return "\"\""; }, "]"),
         std::string(kTooLarge)},
        {"nested empty arrays",
         repeated(
             length, "[", [](uint64_t) { return "[[]]"; }, "]"),
         std::string(kTooLarge)},
        {"a chunk of the largest size",
         R"({"type":"file.write.chunk","part":"big.part","offset":0,"data":")" + data + "\"}",
         R"({"ok":true,"size":)" + std::to_string(data.size() / 4 * 3) + "}"},
    };
    Home home;
    HostProcess host(home.env());
    EXPECT_EQ(host.request(R"({"type":"file.write.begin","name":"big"})"),
              json::parse(R"({"ok":true,"part":"big.part"})"));
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      host.send(row.message);
      EXPECT_EQ(receiveJson(host), json::parse(row.reply));
      EXPECT_EQ(host.request("7"), json::parse(R"({"echo":7})"));
      if (kMeasured) {
        EXPECT_LE(testing::memoryKiB(host.pid(), "VmHWM"), (2 * length + (32 << 20)) / 1024);
      }
    }
    host.closeInput();
    EXPECT_EQ(host.wait(), 0);
  }
}

TEST(ReliabilityBadInputTest, FramesCutShortEndTheHostWithoutAReply) {
  const std::string begin = testing::frame(R"({"type":"file.write.begin","name":"cut.bin"})");
  const struct {
    const char* what;
    std::string bytes;
  } rows[] = {
      {"two bytes of a header", std::string("\x05\x00", 2)},
      {"a header and part of its frame", begin.substr(0, begin.size() - 1)},
      {"a header and nothing else", header(40)},
      {"a header over 64 MiB and a little", header(0xFFFFFFFFu) + "{}"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Home home;
    HostProcess host(home.env());
    EXPECT_EQ(host.request("1"), json::parse(R"({"echo":1})"));
    host.sendRaw(row.bytes);
    host.closeInput();
    EXPECT_EQ(host.receive(), std::nullopt);
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(testing::listNames(home.home.downloads()), std::vector<std::string>{});
    EXPECT_EQ(home.changedOutsideDownloads(), std::vector<std::string>{});
  }
}

// Every odd kind of number where "offset", "size" and "after" go. Only whole numbers from 0 to
// 2^64-1 are byte counts; any number at all is a time bound; nothing else is.
TEST(ReliabilityBadInputTest, OddNumbers) {
  struct Row {
    const char* number;  // JSON text of the value
    const char* chunk;   // reply to a chunk of one byte at this offset into a 4-byte part file
    const char* end;     // reply to an end with this size for a 4-byte part file
    const char* exists;  // reply to file.exists for a file made just now, with this "after"
  };
  constexpr const char* kBadChunk = R"({"ok":false,"error":"bad chunk"})";
  constexpr const char* kBadEnd = R"({"ok":false,"error":"bad end"})";
  constexpr const char* kOkChunk1 = R"({"ok":true,"size":1})";
  constexpr const char* kOkChunk5 = R"({"ok":true,"size":5})";
  constexpr const char* kSaved = R"({"ok":true,"name":"num.bin"})";
  constexpr const char* kFound = R"({"exists":true,"name":"recent.mp4"})";
  constexpr const char* kNotFound = R"({"exists":false})";
  constexpr const char* kNoMessage = R"({"echo":null})";
  const Row rows[] = {
      {"0", kOkChunk1, R"({"ok":false,"error":"written 4 of 0 bytes"})", kFound},
      {"-0", kOkChunk1, R"({"ok":false,"error":"written 4 of 0 bytes"})", kFound},
      {"-0.0", kOkChunk1, R"({"ok":false,"error":"written 4 of 0 bytes"})", kFound},
      {"4", kOkChunk5, kSaved, kFound},
      {"4.0", kOkChunk5, kSaved, kFound},
      {"4e0", kOkChunk5, kSaved, kFound},
      {"0.4e1", kOkChunk5, kSaved, kFound},
      {"-1", kBadChunk, kBadEnd, kFound},
      {"-4", kBadChunk, kBadEnd, kFound},
      {"0.5", kBadChunk, kBadEnd, kFound},
      {"2.5", kBadChunk, kBadEnd, kFound},
      {"4.000000000000001", kBadChunk, kBadEnd, kFound},
      {"1e-7", kBadChunk, kBadEnd, kFound},
      // Below the smallest double: the parser reads it as 0, and 0 is a whole number.
      {"1e-400", kOkChunk1, R"({"ok":false,"error":"written 4 of 0 bytes"})", kFound},
      {"5", R"({"ok":false,"error":"offset 5 past the end 4"})",
       R"({"ok":false,"error":"written 4 of 5 bytes"})", kFound},
      {"1e19", R"({"ok":false,"error":"offset 10000000000000000000 past the end 4"})",
       R"({"ok":false,"error":"written 4 of 10000000000000000000 bytes"})", kNotFound},
      {"9007199254740993", R"({"ok":false,"error":"offset 9007199254740993 past the end 4"})",
       R"({"ok":false,"error":"written 4 of 9007199254740993 bytes"})", kNotFound},
      {"18446744073709551615",
       R"({"ok":false,"error":"offset 18446744073709551615 past the end 4"})",
       R"({"ok":false,"error":"written 4 of 18446744073709551615 bytes"})", kNotFound},
      {"18446744073709551616", kBadChunk, kBadEnd, kNotFound},
      {"-9223372036854775808", kBadChunk, kBadEnd, kFound},
      {"-9223372036854775809", kBadChunk, kBadEnd, kFound},
      {"1e300", kBadChunk, kBadEnd, kNotFound},
      {"1e400", kNoMessage, kNoMessage, kNoMessage},
      {"-1e400", kNoMessage, kNoMessage, kNoMessage},
      {"\"0\"", kBadChunk, kBadEnd, kFound},
      {"\"4\"", kBadChunk, kBadEnd, kFound},
      {"\"99999999999999\"", kBadChunk, kBadEnd, kFound},
      {"true", kBadChunk, kBadEnd, kFound},
      {"false", kBadChunk, kBadEnd, kFound},
      {"null", kBadChunk, kBadEnd, kFound},
      {"[4]", kBadChunk, kBadEnd, kFound},
      {"{\"n\":4}", kBadChunk, kBadEnd, kFound},
  };
  Home home;
  const std::string downloads = home.home.downloads();
  testing::writeFile(downloads + "/recent.mp4", "video");
  HostProcess host(home.env());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.number);
    testing::writeFile(downloads + "/num.bin.part", "abcd");
    host.send(std::string(R"({"type":"file.write.chunk","part":"num.bin.part","data":"QQ==",)") +
              R"("offset":)" + row.number + "}");
    EXPECT_EQ(receiveJson(host), json::parse(row.chunk));
    testing::writeFile(downloads + "/num.bin.part", "abcd");
    host.send(std::string(R"({"type":"file.write.end","part":"num.bin.part","name":"num.bin",)") +
              R"("size":)" + row.number + "}");
    EXPECT_EQ(receiveJson(host), json::parse(row.end));
    std::filesystem::remove(downloads + "/num.bin");
    host.send(std::string(R"({"type":"file.exists","name":"recent.mp4","after":)") + row.number +
              "}");
    EXPECT_EQ(receiveJson(host), json::parse(row.exists));
  }
  EXPECT_EQ(home.changedOutsideDownloads(), std::vector<std::string>{});
}

// Every class of character the name rule lets through, saved whole and found again; and the
// names it refuses, refused before any file is made. On Windows the rule also refuses what its
// file system cannot store under the same name (a ":" opens a stream of another file, a "\"
// divides folders, device names answer in every folder, a dot or space at the end is dropped).
TEST(ReliabilityBadInputTest, NamesOfEveryKindStayInDownloads) {
  const std::string ascii250(250, 'n');
  std::string euro85;
  for (int i = 0; i < 85; ++i) euro85 += "\xe2\x82\xac";  // 255 bytes
  std::string zalgo = "a";
  for (int i = 0; i < 100; ++i) zalgo += "\xcc\x81";  // 100 combining acute accents
  // What a Windows host answers for a name the rule lets through elsewhere.
  enum class OnWindows {
    kSaved,
    kRefused,              // and with ".part" added it is still no part file
    kRefusedButNotAsPart,  // only its end is wrong, which ".part" mends
  };
  struct Row {
    const char* what;
    std::string name;
    OnWindows onWindows = OnWindows::kSaved;
  };
  using enum OnWindows;
  const Row accepted[] = {
      {"start of heading",
       "a\x01"
       "b.bin",
       kRefused},
      {"tab, line feed, carriage return", "t\tl\nc\r\n.bin", kRefused},
      {"escape sequence", "\x1b[31mred\x1b[0m.bin", kRefused},
      {"unit separator", "a\x1f.bin", kRefused},
      {"delete", "del\x7f.bin"},
      {"right-to-left override", "\xe2\x80\xaegnp.exe"},
      {"right-to-left mark", "\xe2\x80\x8fmark.mp4"},
      {"isolates", "a\xe2\x81\xa6isolated\xe2\x81\xa9.mp4"},
      {"combining mark after a letter",
       "e\xcc\x81t\xcc\x81"
       ".mp4"},
      {"combining mark first", "\xcc\x81lead.mp4"},
      {"a letter with 100 combining marks", zalgo},
      {"byte order mark",
       "\xef\xbb\xbf"
       "bom.bin"},
      {"no-break and zero-width space",
       "a\xc2\xa0"
       "b\xe2\x80\x8b"
       "c.bin"},
      {"ends in a prepended character", "clip\xd8\x80"},
      {"extension ends in a prepended character", "clip.mp4\xf0\x91\x82\xbd"},
      {"emoji with joiners", "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb clip.mp4"},
      {"fullwidth solidus",
       "a\xef\xbc\x8f"
       "b.bin"},
      {"division slash",
       "a\xe2\x88\x95"
       "b.bin"},
      {"fullwidth colon and reverse solidus",
       "a\xef\xbc\x9a"
       "b\xef\xbc\xbc"
       "c.bin"},
      {"backslash, colon and wildcards", "a\\b:c*?<>|.bin", kRefused},
      {"parent folders with backslashes", "clip\\..\\..\\escaped.bin", kRefused},
      {"drive and backslash", "C:\\escaped.bin", kRefused},
      {"a stream of another file", "clip.mp4:hidden", kRefused},
      {"the unnamed data stream", "clip.mp4::$DATA", kRefused},
      {"a lone star", "*", kRefused},
      {"a question mark", "clip?.mp4", kRefused},
      {"a quote", "say \"hi\".mp4", kRefused},
      {"angle brackets", "<clip>.mp4", kRefused},
      {"a bar", "a|b.mp4", kRefused},
      {"a device", "CON", kRefused},
      {"a device with an extension", "nul.txt", kRefused},
      {"a numbered device", "COM1.mp4", kRefused},
      {"a numbered device in lower case", "lpt9", kRefused},
      {"a device with a superscript digit", "COM\xc2\xb9.mp4", kRefused},
      {"a device and spaces before the extension", "aux  .tar.gz", kRefused},
      {"a device's name inside a longer one", "CONSOLE.mp4"},
      {"a device's name with a number too large", "COM10"},
      {"looks like a path", "~root"},
      {"looks like a variable", "$HOME"},
      {"percent-encoded dots", "%2e%2e%2fx"},
      {"a lone space", " ", kRefusedButNotAsPart},
      {"trailing dot", "name.", kRefusedButNotAsPart},
      {"trailing space", "clip.mp4 ", kRefusedButNotAsPart},
      {"dots inside", "a..b"},
      {"ends in .part", "x.part"},
      {"250 bytes", ascii250},
  };
  const Row refused[] = {
      {"empty", ""},
      {"a slash", "a/b"},
      {"parent folder", "../escaped.bin"},
      {"absolute path", "/tmp/escaped.bin"},
      {"dot", "."},
      {"dot dot", ".."},
      {"hidden", ".bashrc"},
      {"NUL", std::string("a\0b", 3)},
      {"256 bytes", std::string(256, 'n')},
      {"86 three-byte characters", euro85 + "\xe2\x82\xac"},
  };
  auto savedHere = [](const Row& row) {
    return !DownloadsFile::kBuiltForWindows || row.onWindows == kSaved;
  };

  Home home;
  const std::string downloads = home.home.downloads();
  HostProcess host(home.env());
  int saved = 0;
  for (const Row& row : accepted) {
    if (!savedHere(row)) continue;
    SCOPED_TRACE(row.what);
    const std::string data = "bytes of " + std::string(row.what);
    host.send(json::serialize(json::object{{"type", "file.write.begin"}, {"name", row.name}}));
    std::string part = row.name + ".part";
    EXPECT_EQ(receiveJson(host), json::value(json::object{{"ok", true}, {"part", part}}));
    host.send(json::serialize(json::object{{"type", "file.write.chunk"},
                                           {"part", part},
                                           {"offset", 0},
                                           {"data", testing::base64(data)}}));
    EXPECT_EQ(receiveJson(host), json::value(json::object{{"ok", true}, {"size", data.size()}}));
    host.send(json::serialize(json::object{
        {"type", "file.write.end"}, {"part", part}, {"name", row.name}, {"size", data.size()}}));
    EXPECT_EQ(receiveJson(host), json::value(json::object{{"ok", true}, {"name", row.name}}));
    host.send(json::serialize(json::object{{"type", "file.exists"}, {"name", row.name}}));
    EXPECT_EQ(receiveJson(host), json::value(json::object{{"exists", true}, {"name", row.name}}));
    EXPECT_EQ(testing::readFile(downloads + "/" + row.name), data);
    ++saved;
  }

  // A name at the limit is accepted, but its part file would pass the limit of the file system:
  // 255 bytes on Linux (and under Wine, which keeps its files there), 255 UTF-16 units on
  // Windows, where the part file of the three-byte characters fits.
  const bool limitInBytes = !DownloadsFile::kBuiltForWindows || testing::underWine();
  for (const std::string& name : {std::string(255, 'n'), euro85}) {
    host.send(json::serialize(json::object{{"type", "file.write.begin"}, {"name", name}}));
    if (name == euro85 && !limitInBytes) {
      EXPECT_EQ(receiveJson(host),
                json::value(json::object{{"ok", true}, {"part", name + ".part"}}));
      host.send(
          json::serialize(json::object{{"type", "file.write.abort"}, {"part", name + ".part"}}));
      EXPECT_EQ(receiveJson(host), json::parse(R"({"ok":true})"));
    } else {
      EXPECT_EQ(receiveJson(host),
                json::parse(
                    R"({"ok":false,"error":"cannot create a file in Downloads","storage":false})"));
    }
    // As a final name it fits.
    testing::writeFile(downloads + "/long.part", "L");
    host.send(json::serialize(json::object{
        {"type", "file.write.end"}, {"part", "long.part"}, {"name", name}, {"size", 1}}));
    EXPECT_EQ(receiveJson(host), json::value(json::object{{"ok", true}, {"name", name}}));
    EXPECT_EQ(testing::readFile(downloads + "/" + name), "L");
    ++saved;
  }

  auto expectRefused = [&](const Row& row, bool asPartToo) {
    SCOPED_TRACE(row.what);
    host.send(json::serialize(json::object{{"type", "file.write.begin"}, {"name", row.name}}));
    EXPECT_EQ(receiveJson(host), json::parse(R"({"ok":false,"error":"not a file name"})"));
    host.send(json::serialize(json::object{
        {"type", "file.write.end"}, {"part", "x.part"}, {"name", row.name}, {"size", 0}}));
    EXPECT_EQ(receiveJson(host), json::parse(R"({"ok":false,"error":"bad end"})"));
    host.send(json::serialize(json::object{{"type", "file.exists"}, {"name", row.name}}));
    EXPECT_EQ(receiveJson(host), json::parse(R"({"error":"not a file name"})"));
    if (!asPartToo) return;
    // With ".part" added, the name is still refused as a part file.
    host.send(json::serialize(json::object{
        {"type", "file.write.chunk"}, {"part", row.name + ".part"}, {"offset", 0}, {"data", ""}}));
    EXPECT_EQ(receiveJson(host), json::parse(R"({"ok":false,"error":"bad chunk"})"));
    host.send(
        json::serialize(json::object{{"type", "file.write.abort"}, {"part", row.name + ".part"}}));
    EXPECT_EQ(receiveJson(host), json::parse(R"({"ok":false,"error":"not a part file"})"));
  };
  for (const Row& row : refused) expectRefused(row, true);
  for (const Row& row : accepted) {
    if (!savedHere(row)) expectRefused(row, row.onWindows == kRefused);
  }

  EXPECT_EQ(testing::listNames(downloads).size(), static_cast<size_t>(saved));
  EXPECT_EQ(home.changedOutsideDownloads(), std::vector<std::string>{});
  // No name and no content reaches the log.
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  std::string log = host.log();
  EXPECT_NE(log.find("file.write.end: saved"), std::string::npos);
  for (const Row& row : accepted) {
    if (row.name.size() < 4) continue;  // too short to tell from the log's own words
    EXPECT_EQ(log.find(row.name), std::string::npos) << row.what;
    EXPECT_EQ(log.find("bytes of " + std::string(row.what)), std::string::npos) << row.what;
  }
}

}  // namespace
}  // namespace tamberlo
