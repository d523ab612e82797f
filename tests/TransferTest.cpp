// The four transfer messages through answer(), on real files in a temporary Downloads folder:
// every reply and log line, the offset rule, the free names, and what stands under a part name
// when it is not a regular file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "TransferSteps.h"
#include "support/FaultInjectingFileSystem.h"

namespace tamberlo {
namespace {

using testing::FakeHome;
using testing::HandlerUnderTest;
using testing::listNames;
using testing::readFile;
using testing::writeFile;

TEST(TransferTest, BeginCreatesAnEmptyPartFileUnderAFreeName) {
  struct Case {
    std::vector<std::string> present;  // files in Downloads before the begin
    std::string name;
    std::string part;
  };
  const Case cases[] = {
      {{}, "clip.mp4", "clip.mp4.part"},
      {{"clip.mp4"}, "clip.mp4", "clip.mp4.part"},
      {{"clip.mp4.part"}, "clip.mp4", "clip.mp4 (1).part"},
      {{"clip.mp4.part", "clip.mp4 (1).part"}, "clip.mp4", "clip.mp4 (2).part"},
      {{"clip.mp4.part", "clip.mp4 (2).part"}, "clip.mp4", "clip.mp4 (1).part"},
      {{}, "notes", "notes.part"},
      {{"notes.part"}, "notes", "notes (1).part"},
      {{"a.b.c.part"}, "a.b.c", "a.b.c (1).part"},
      {{}, "émission été.webm", "émission été.webm.part"},
      {{"clip\u0600.part"}, "clip\u0600", "clip\u0600 (1).part"},
      // A name that reads the same in another spelling is taken.
      {{"e\u0301.mp4.part"}, "\u00e9.mp4", "\u00e9.mp4 (1).part"},
      {{"\u00e9.mp4.part", "e\u0301.mp4 (1).part"}, "\u00e9.mp4", "\u00e9.mp4 (2).part"},
  };
  for (const Case& c : cases) {
    FakeHome home;
    for (const std::string& name : c.present) writeFile(home / name, "taken");
    HandlerUnderTest t(home.downloads());
    play(t, {{writeBegin(c.name), {{"ok", true}, {"part", c.part}}, begun()}});
    EXPECT_EQ(readFile(home / c.part), "") << c.part;
    EXPECT_TRUE(std::filesystem::is_regular_file(pathFromUtf8(home / c.part))) << c.part;
    for (const std::string& name : c.present) EXPECT_EQ(readFile(home / name), "taken") << name;
  }
}

TEST(TransferTest, BeginTreatsAnyObjectAsTakenAndFollowsNoLink) {
  if (testing::underWine()) GTEST_SKIP() << "Wine's symbolic links are not Windows' own";
  FakeHome home;
  testing::TempDir outside;
  testing::makeLink(outside / "target", home / "a.part");  // dangling
  std::filesystem::create_directory(home / "b.part");
  testing::makeLink(outside.path(), home / "c.part");
  HandlerUnderTest t(home.downloads());
  play(t, {
              {writeBegin("a"), {{"ok", true}, {"part", "a (1).part"}}, begun()},
              {writeBegin("b"), {{"ok", true}, {"part", "b (1).part"}}, begun()},
              {writeBegin("c"), {{"ok", true}, {"part", "c (1).part"}}, begun()},
          });
  EXPECT_EQ(listNames(outside.path()), std::vector<std::string>{});
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(home / "a.part")));
}

TEST(TransferTest, BeginRefusals) {
  FakeHome home;
  const json::object notAName{{"ok", false}, {"error", "not a file name"}};
  const json::object badBegin{{"ok", false}, {"error", "bad begin"}};
  const json::object cannot{
      {"ok", false}, {"error", "cannot create a file in Downloads"}, {"storage", false}};
  HandlerUnderTest t(home.downloads());
  // The log line gives the reason, in the system's own words (which Wine words differently).
  auto cannotCreate = [&](const std::string& request, [[maybe_unused]] std::string_view reason) {
    t.log->clear();
    EXPECT_EQ(t.answer(request), cannot);
    ASSERT_EQ(t.lines().size(), 1u);
    EXPECT_EQ(t.lines()[0].level, LogLevel::kError);
    const std::string because = "file.write.begin: cannot create the file in Downloads: ";
#ifdef _WIN32
    EXPECT_TRUE(t.lines()[0].text.starts_with(because + "Cannot create the file: "));
#else
    EXPECT_EQ(t.lines()[0].text, because + "Cannot create the file: " + std::string(reason));
#endif
  };
  play(t,
       {
           {R"({"type": "file.write.begin"})", notAName},
           {R"({"type": "file.write.begin", "name": 7})", notAName},
           {R"({"type": "file.write.begin", "name": ""})", notAName},
           {R"({"type": "file.write.begin", "name": "a/b"})", notAName},
           {R"({"type": "file.write.begin", "name": ".hidden"})", notAName},
           // The page's addresses, when given, are text of at most 8 KiB.
           {R"({"type": "file.write.begin", "name": "a", "url": 7})", badBegin},
           {R"({"type": "file.write.begin", "name": "a", "url": null})", badBegin},
           {R"({"type": "file.write.begin", "name": "a", "referrer": ["https://a.example/"]})",
            badBegin},
           {json::serialize(json::object{{"type", "file.write.begin"},
                                         {"name", "a"},
                                         {"url", "https://a.example/" + std::string(8175, 'v')}}),
            badBegin},
           {json::serialize(json::object{
                {"type", "file.write.begin"}, {"name", "a"}, {"referrer", std::string(8193, 'r')}}),
            badBegin},
           {R"({"type": "file.write.flush", "part": "a.part"})",
            {{"ok", false}, {"error", "unknown message file.write.flush"}}},
       });
  // 251 bytes are a name, but with ".part" they are too long for the folder.
  cannotCreate(writeBegin(std::string(251, 'x')), "File name too long.");
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{});
  // The folder is looked up, never made: without it nothing can be created.
  std::filesystem::remove(home.downloads());
  cannotCreate(writeBegin("clip.mp4"), "No such file or directory.");
}

TEST(TransferTest, NoDownloadsFolderForAnyTransferType) {
  HandlerUnderTest t(std::nullopt);
  for (std::string type :
       {"file.write.begin", "file.write.chunk", "file.write.end", "file.write.abort",
        "file.write.status", "file.write.list", "file.write.flush"}) {
    play(t, {{json::serialize(json::object{{"type", type}, {"name", "a"}, {"part", "a.part"}}),
              {{"ok", false}, {"error", "no Downloads folder"}},
              {error(type + ": no Downloads folder")}}});
  }
}

TEST(TransferTest, ChunksFollowTheOffsetRule) {
  FakeHome home;
  HandlerUnderTest t(home.downloads());
  const std::string part = "clip.mp4.part";
  play(t, {
              {writeBegin("clip.mp4"), {{"ok", true}, {"part", part}}, begun()},
              {writeChunk(part, 0, "abcd"), {{"ok", true}, {"size", 4}}},
              {writeChunk(part, 4, "efg"), {{"ok", true}, {"size", 7}}},
          });
  EXPECT_EQ(readFile(home / part), "abcdefg");
  play(t, {{writeChunk(part, 2, "XYZ"), {{"ok", true}, {"size", 5}}}});  // rewinds, cuts the tail
  EXPECT_EQ(readFile(home / part), "abXYZ");
  play(t, {{writeChunk(part, 10, "more"), {{"ok", false}, {"error", "offset 10 past the end 5"}}},
           {writeChunk(part, 6, ""), {{"ok", false}, {"error", "offset 6 past the end 5"}}}});
  EXPECT_EQ(readFile(home / part), "abXYZ");
  play(t, {{writeChunk(part, 5, ""), {{"ok", true}, {"size", 5}}},
           {writeChunk(part, 3, ""), {{"ok", true}, {"size", 3}}}});
  EXPECT_EQ(readFile(home / part), "abX");
  // Every byte value survives the trip.
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  play(t, {{writeChunk(part, 3, bytes), {{"ok", true}, {"size", 259}}}});
  EXPECT_EQ(readFile(home / part), "abX" + bytes);
}

TEST(TransferTest, MalformedChunksAndEndsTouchNothing) {
  FakeHome home;
  writeFile(home / "a.part", "abcd");
  writeFile(home / "a", "not a part file");
  const json::object badChunk{{"ok", false}, {"error", "bad chunk"}};
  const json::object badEnd{{"ok", false}, {"error", "bad end"}};
  const json::object notPart{{"ok", false}, {"error", "not a part file"}};
  const std::string ok4 = testing::base64("wxyz");
  HandlerUnderTest t(home.downloads());
  std::vector<Step> steps;
  // The part-file name test is the same for all three.
  for (const char* part :
       {"", R"(, "part": 5)", R"(, "part": "a")", R"(, "part": ".part")", R"(, "part": "x/a.part")",
        R"(, "part": ".a.part")", R"(, "part": "a.PART")"}) {
    steps.push_back(
        {R"({"type": "file.write.chunk", "offset": 0, "data": ")" + ok4 + "\"" + part + "}",
         badChunk});
    steps.push_back(
        {R"({"type": "file.write.end", "name": "b", "size": 4)" + std::string(part) + "}", badEnd});
    steps.push_back({R"({"type": "file.write.abort")" + std::string(part) + "}", notPart});
    steps.push_back({R"({"type": "file.write.status")" + std::string(part) + "}", notPart});
  }
  for (const char* data : {R"(, "data": 5)", R"(, "data": "abc")", R"(, "data": "YWJj\nZA==")",
                           R"(, "data": "YW=j")", R"(, "data": "YWJjZA==YQ==")", ""}) {
    steps.push_back(
        {R"({"type": "file.write.chunk", "part": "a.part", "offset": 0)" + std::string(data) + "}",
         badChunk});
  }
  for (const char* name :
       {"", R"(, "name": 1)", R"(, "name": "")", R"(, "name": "x/b")", R"(, "name": ".b")"}) {
    steps.push_back(
        {R"({"type": "file.write.end", "part": "a.part", "size": 4)" + std::string(name) + "}",
         badEnd});
  }
  steps.push_back({R"({"type": "file.write.end", "part": "a.part", "name": "b"})", badEnd});
  steps.push_back(
      {R"({"type": "file.write.chunk", "part": "a.part", "data": ")" + ok4 + "\"}", badChunk});
  play(t, steps);
  EXPECT_EQ(readFile(home / "a.part"), "abcd");
  EXPECT_EQ(readFile(home / "a"), "not a part file");
  EXPECT_EQ(listNames(home.downloads()), (std::vector<std::string>{"a", "a.part"}));
}

// Offsets and sizes are whole numbers from 0 to 2^64-1, however the JSON spells them; a
// fraction, a sign, a number out of range, a boolean or text is refused, never rounded.
TEST(TransferTest, OffsetsAndSizesAreWholeNumbers) {
  FakeHome home;
  writeFile(home / "a.part", "abcd");
  HandlerUnderTest t(home.downloads());
  auto chunkAt = [](std::string_view offset) {
    return R"({"type": "file.write.chunk", "part": "a.part", "data": "", "offset": )" +
           std::string(offset) + "}";
  };
  auto endWith = [](std::string_view size) {
    return R"({"type": "file.write.end", "part": "a.part", "name": "a", "size": )" +
           std::string(size) + "}";
  };
  // All of these mean 5, one past the end of the 4-byte part file.
  for (const char* five : {"5", "5.0", "5e0", "500e-2", "0.5e1"}) {
    play(t, {{chunkAt(five), {{"ok", false}, {"error", "offset 5 past the end 4"}}},
             {endWith(five), {{"ok", false}, {"error", "written 4 of 5 bytes"}}}});
  }
  play(t, {{chunkAt("18446744073709551615"),
            {{"ok", false}, {"error", "offset 18446744073709551615 past the end 4"}}},
           {endWith("18446744073709551615"),
            {{"ok", false}, {"error", "written 4 of 18446744073709551615 bytes"}}},
           {chunkAt("-0"), {{"ok", true}, {"size", 0}}},
           {chunkAt("4.0"), {{"ok", false}, {"error", "offset 4 past the end 0"}}}});
  writeFile(home / "a.part", "abcd");
  for (const char* bad : {"2.5", "4.000001", "-1", "-4.0", "1e20", "18446744073709551616", "true",
                          "false", "null", R"("4")", "[4]", R"({"n": 4})"}) {
    play(t, {{chunkAt(bad), {{"ok", false}, {"error", "bad chunk"}}},
             {endWith(bad), {{"ok", false}, {"error", "bad end"}}}});
  }
  EXPECT_EQ(readFile(home / "a.part"), "abcd");
}

TEST(TransferTest, EndMovesThePartFileToAFreeFinalName) {
  struct Case {
    std::vector<std::string> present;
    std::string name;
    std::string saved;
  };
  const Case cases[] = {
      {{}, "clip.mp4", "clip.mp4"},
      {{"clip.mp4"}, "clip.mp4", "clip (1).mp4"},
      {{"clip.mp4", "clip (1).mp4"}, "clip.mp4", "clip (2).mp4"},
      {{"clip.mp4.part", "clip (1).mp4.part"}, "clip.mp4", "clip.mp4"},
      {{"notes"}, "notes", "notes (1)"},
      {{"a.tar.gz"}, "a.tar.gz", "a.tar (1).gz"},
      {{}, "other name.webm", "other name.webm"},
      {{"\u00e9.mp4"}, "e\u0301.mp4", "e\u0301 (1).mp4"},
      {{"e\u0301.mp4", "\u00e9 (1).mp4"}, "\u00e9.mp4", "\u00e9 (2).mp4"},
      {{"\u212a.txt"}, "K.txt", "K (1).txt"},  // the Kelvin sign is a K
  };
  for (const Case& c : cases) {
    FakeHome home;
    for (const std::string& name : c.present) writeFile(home / name, "taken");
    writeFile(home / "t.part", "1234567");
    HandlerUnderTest t(home.downloads());
    play(t, {{writeEnd("t.part", c.name, 7),
              {{"ok", true}, {"name", c.saved}},
              {info("file.write.end: saved 7 bytes as <private>")}}});
    EXPECT_EQ(readFile(home / c.saved), "1234567") << c.saved;
    EXPECT_FALSE(std::filesystem::exists(home / "t.part"));
    for (const std::string& name : c.present) EXPECT_EQ(readFile(home / name), "taken") << name;
  }
}

TEST(TransferTest, EndChecksTheByteCountAndCanBeRetried) {
  FakeHome home;
  HandlerUnderTest t(home.downloads());
  const std::string part = "clip.mp4.part";
  play(
      t,
      {{writeBegin("clip.mp4"), {{"ok", true}, {"part", part}}, begun()},
       {writeChunk(part, 0, "12345"), {{"ok", true}, {"size", 5}}},
       {writeStatus(part), {{"ok", true}, {"size", 5}}},
       {writeStatus(part), {{"ok", true}, {"size", 5}}},
       {writeEnd(part, "clip.mp4", 7), {{"ok", false}, {"error", "written 5 of 7 bytes"}}},
       {writeEnd(part, "clip.mp4", 3), {{"ok", false}, {"error", "written 5 of 3 bytes"}}},
       {writeChunk(part, 5, "67"), {{"ok", true}, {"size", 7}}},
       {writeEnd(part, "clip.mp4", 7),
        {{"ok", true}, {"name", "clip.mp4"}},
        {info("file.write.end: saved 7 bytes as <private>")}},
       // The transfer is over: its part file is gone.
       {writeEnd(part, "clip.mp4", 7),
        failed(kMissingAtEnd),
        {failedLine("file.write.end", kMissingAtEnd)}},
       {writeChunk(part, 0, "x"), failed(kMissing), {failedLine("file.write.chunk", kMissing)}},
       {writeStatus(part), failed(kMissingAtEnd), {failedLine("file.write.status", kMissingAtEnd)}},
       // An empty file is saved too.
       {writeBegin("empty"), {{"ok", true}, {"part", "empty.part"}}, begun()},
       {writeEnd("empty.part", "empty", 0),
        {{"ok", true}, {"name", "empty"}},
        {info("file.write.end: saved 0 bytes as <private>")}}});
  EXPECT_EQ(listNames(home.downloads()), (std::vector<std::string>{"clip.mp4", "empty"}));
  EXPECT_EQ(readFile(home / "clip.mp4"), "1234567");
}

TEST(TransferTest, LongChunksAreWrittenWholeOrNotAtAll) {
  // Chunks longer than one block of text are decoded and written a block at a time; a bad
  // block anywhere must leave the file untouched, and a good chunk must land byte for byte.
  const size_t block = Transfers::kChunkBlock;
  std::string bytes(block / 4 * 3 * 2 + 1000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131) ^ (i >> 9));
  const std::string good = testing::base64(bytes);
  std::string badInLastBlock = good;
  badInLastBlock[good.size() - 10] = '*';
  std::string badInFirstBlock = good;
  badInFirstBlock[5] = '-';
  // Padding that closes the first block but not the text.
  const std::string paddedInside =
      testing::base64(std::string(block / 4 * 3 - 1, 'x')) + testing::base64("more bytes");
  auto chunk = [](std::string_view part, uint64_t offset, std::string_view text) {
    return json::serialize(json::object{
        {"type", "file.write.chunk"}, {"part", part}, {"offset", offset}, {"data", text}});
  };
  struct Case {
    const char* name;
    bool partExists;
    uint64_t offset;
    std::string text;
    json::object reply;
    std::string after;  // the part file's bytes afterwards
  };
  const json::object badChunk{{"ok", false}, {"error", "bad chunk"}};
  const Case cases[] = {
      {"appended", true, 3, good, {{"ok", true}, {"size", 3 + bytes.size()}}, "abc" + bytes},
      {"over the end", true, 1, good, {{"ok", true}, {"size", 1 + bytes.size()}}, "a" + bytes},
      {"bad in the last block", true, 3, badInLastBlock, badChunk, "abc"},
      {"bad in the first block", true, 3, badInFirstBlock, badChunk, "abc"},
      {"padding inside", true, 3, paddedInside, badChunk, "abc"},
      {"bad over the end", true, 1, badInLastBlock, badChunk, "abc"},
      {"bad past the end", true, 9, badInLastBlock, badChunk, "abc"},
      {"bad without a part file", false, 0, badInLastBlock, badChunk, ""},
  };
  for (const Case& c : cases) {
    FakeHome home;
    if (c.partExists) writeFile(home / "v.part", "abc");
    testing::FaultInjectingFileSystem files;
    HandlerUnderTest t(files, home.downloads());
    EXPECT_EQ(t.answer(chunk("v.part", c.offset, c.text)), c.reply) << c.name;
    if (c.partExists) {
      EXPECT_TRUE(readFile(home / "v.part") == c.after) << c.name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(home / "v.part")) << c.name;
    }
    // A bad text is refused before any file is opened, whatever the disk would have said.
    if (c.reply == badChunk) {
      EXPECT_EQ(files.journal(), std::vector<std::string>{}) << c.name;
      EXPECT_EQ(t.lines(), std::vector<Line>{}) << c.name;
    }
  }
}

#ifndef _WIN32
// Windows' links are the Windows file system's own tests.
TEST(TransferTest, ALinkedDownloadsFolderReceivesTheWholeTransfer) {
  // Downloads itself a link, and Downloads under a linked folder, as the user's setting names
  // it: the files land in the real folder whichever link leads there.
  for (bool linkedParent : {false, true}) {
    FakeHome home;
    testing::TempDir elsewhere;
    std::filesystem::create_directory(elsewhere / "real");
    std::filesystem::remove(home.downloads());
    if (linkedParent) {
      std::filesystem::create_directory(elsewhere / "real/Downloads");
      std::filesystem::create_directory_symlink(elsewhere / "real", home.home() + "/via");
    } else {
      std::filesystem::create_directory_symlink(elsewhere / "real", home.downloads());
    }
    std::string real = elsewhere / (linkedParent ? "real/Downloads" : "real");
    HandlerUnderTest t(linkedParent ? home.home() + "/via/Downloads" : home.downloads());
    play(t, {{writeBegin("clip.mp4"), {{"ok", true}, {"part", "clip.mp4.part"}}, begun()},
             {writeChunk("clip.mp4.part", 0, "bytes"), {{"ok", true}, {"size", 5}}},
             {writeEnd("clip.mp4.part", "clip.mp4", 5),
              {{"ok", true}, {"name", "clip.mp4"}},
              {info("file.write.end: saved 5 bytes as <private>")}}});
    EXPECT_EQ(listNames(real), std::vector<std::string>{"clip.mp4"}) << linkedParent;
    EXPECT_EQ(readFile(real + "/clip.mp4"), "bytes") << linkedParent;
  }
}

#endif

TEST(TransferTest, AbortRemovesOnlyTheNamedPartFile) {
  FakeHome home;
  writeFile(home / "clip.mp4", "kept");
  HandlerUnderTest t(home.downloads());
  const Line aborted = info("file.write.abort <private>");
  play(t, {{writeBegin("clip.mp4"), {{"ok", true}, {"part", "clip.mp4.part"}}, begun()},
           {writeChunk("clip.mp4.part", 0, "abc"), {{"ok", true}, {"size", 3}}},
           {writeAbort("clip.mp4.part"), {{"ok", true}}, {aborted}},
           {writeAbort("clip.mp4.part"), {{"ok", true}}, {aborted}},  // none there: still ok
           {writeAbort("never.part"), {{"ok", true}}, {aborted}}});
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{"clip.mp4"});
}

// Whatever stands under a part name that is not a regular file of its own is never written
// through, cut back, moved or emptied, and the host never waits on it.
#ifndef _WIN32
// FIFOs, and the POSIX error texts; the Windows file system's own refusals are tested with it.
TEST(TransferTest, PartNamesThatAreNotRegularFiles) {
  FakeHome home;
  testing::TempDir outside;
  writeFile(outside / "target", "outside");
  writeFile(outside / "empty", "");
  std::filesystem::create_hard_link(outside / "empty", home / "hard.part");
  std::filesystem::create_symlink(outside / "target", home / "link.part");
  std::filesystem::create_symlink(outside / "nothing", home / "dangling.part");
  std::filesystem::create_directory(home / "folder.part");
  writeFile(home / "folder.part/inside", "inside");
  ASSERT_EQ(::mkfifo((home / "fifo.part").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((home / "read.part").c_str(), 0644), 0);
  // A FIFO with a reader opens without blocking; it must still be refused.
  int reader = ::open((home / "read.part").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);

  const std::string forWriting = "Cannot open the file for writing: ";
  const std::string forReading = "Cannot open the file for reading: ";
  const std::string loop = "Too many levels of symbolic links.";
  const std::string notRegular = "it is not a regular file.";
  const std::string linked = "it has other names (hard links).";
  struct Case {
    std::string part;
    std::string chunkError;  // each after the open's own words
    std::string endError;
    json::object abortReply;  // a link, FIFO or name of a linked file is removed itself; a
                              // folder is refused
  };
  const Case cases[] = {
      {"link.part", loop, loop, {{"ok", true}}},
      {"dangling.part", loop, loop, {{"ok", true}}},
      {"folder.part", "Is a directory.", notRegular,
       failed("Cannot remove the file: Is a directory.")},
      {"fifo.part", "No such device or address.", notRegular, {{"ok", true}}},
      {"read.part", notRegular, notRegular, {{"ok", true}}},
      {"hard.part", linked, linked, {{"ok", true}}},
  };
  HandlerUnderTest t(home.downloads());
  for (const Case& c : cases) {
    // Run where a blocking open cannot hang the test: a reply must come; if none comes, a
    // reader set free the writer so the test can fail and end.
    auto within = [&](const std::string& request) {
      std::future<json::object> reply =
          std::async(std::launch::async, [&] { return t.answer(request); });
      if (reply.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
        ADD_FAILURE() << "no reply to " << request;
        ::close(::open((home / c.part).c_str(), O_RDONLY | O_NONBLOCK));
      }
      return reply.get();
    };
    t.log->clear();
    const std::string chunkError = forWriting + c.chunkError, endError = forReading + c.endError;
    EXPECT_EQ(within(writeChunk(c.part, 0, "written")), failed(chunkError)) << c.part;
    EXPECT_EQ(within(writeEnd(c.part, "saved", 0)), failed(endError)) << c.part;
    EXPECT_EQ(t.lines(), (std::vector<Line>{failedLine("file.write.chunk", chunkError),
                                            failedLine("file.write.end", endError)}))
        << c.part;
    EXPECT_FALSE(std::filesystem::exists(home / "saved")) << c.part;
    EXPECT_EQ(t.answer(writeAbort(c.part)), c.abortReply) << c.part;
  }
  char byte;
  EXPECT_EQ(::read(reader, &byte, 1), 0);  // nothing was written into the FIFO
  ::close(reader);
  EXPECT_EQ(readFile(outside / "target"), "outside");
  EXPECT_EQ(readFile(outside / "empty"), "");
  EXPECT_EQ(listNames(outside.path()), (std::vector<std::string>{"empty", "target"}));
  EXPECT_EQ(readFile(home / "folder.part/inside"), "inside");
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{"folder.part"});
}

#endif

TEST(TransferTest, ListNamesTheRegularPartFilesWithLengthAndLastChange) {
  FakeHome home;
  writeFile(home / "a.mp4.part", "abc");
  writeFile(home / "a.mp4 (1).part", "");
  writeFile(home / "a.mp4", "saved");
  writeFile(home / ".hidden.part", "x");
  writeFile(home / ".part", "x");
  std::filesystem::create_directory(home / "folder.part");
  // Wine's symbolic links are not Windows' own: the link is left out there.
  if (!testing::underWine()) testing::makeLink(home / "a.mp4.part", home / "link.part");
  // 2026-01-02 03:04:05.678 UTC
  testing::setLastChange(home / "a.mp4.part", std::chrono::nanoseconds(1767323045678900000));
  HandlerUnderTest t(home.downloads());
  json::object reply = t.answer(R"({"type": "file.write.list"})");
  ASSERT_EQ(reply.at("ok"), true) << reply;
  json::array& parts = reply.at("parts").as_array();
  std::sort(parts.begin(), parts.end(), [](const json::value& a, const json::value& b) {
    return a.at("part").as_string() < b.at("part").as_string();
  });
  ASSERT_EQ(parts.size(), 2u) << reply;
  EXPECT_EQ(parts[0].at("part"), "a.mp4 (1).part");
  EXPECT_EQ(parts[0].at("size"), 0);
  EXPECT_EQ(parts[1],
            (json::object{{"part", "a.mp4.part"}, {"size", 3}, {"modified", 1767323045678}}));
  EXPECT_EQ(t.lines(), std::vector<Line>{info("file.write.list: 2 part files")});
  EXPECT_EQ(readFile(home / "a.mp4.part"), "abc");
  // A Downloads folder that is not there cannot be listed.
  std::filesystem::remove_all(home.downloads());
  t.log->clear();
  json::object gone = t.answer(R"({"type": "file.write.list"})");
#ifdef _WIN32
  // The reason is the system's own text, which Wine words differently.
  const std::string missing(gone.at("error").as_string());
  EXPECT_TRUE(missing.starts_with("Cannot list the folder: ")) << gone;
#else
  const std::string missing = "Cannot list the folder: No such file or directory.";
#endif
  EXPECT_EQ(gone, failed(missing));
  EXPECT_EQ(t.lines(), std::vector<Line>{failedLine("file.write.list", missing)});
}

}  // namespace
}  // namespace tamberlo
