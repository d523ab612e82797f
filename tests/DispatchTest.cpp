// The request path through answer() and beginRequest(): classification, the envelope, the name
// check before the folder lookup, and the exact log lines.
#include <gtest/gtest.h>

#include "support/MemoryFileSystem.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
using testing::HandlerUnderTest;
using testing::MemoryFileSystem;
using Line = CapturingSink::Line;

// The routing rules need no disk: the handlers work in a folder in memory.
constexpr char kDownloads[] = "/home/user/Downloads";

MemoryFileSystem downloadsInMemory() {
  MemoryFileSystem files;
  files.makeFolder(kDownloads);
  return files;
}

TEST(DispatchTest, EchoesEverythingThatIsNotAFileRequest) {
  MemoryFileSystem files = downloadsInMemory();
  const char* messages[] = {
      "\"text\"",
      "42",
      "[1, 2, 3]",
      "true",
      "null",
      "{}",
      "{\"name\": \"a\"}",
      "{\"type\": 7}",
      "{\"type\": \"echo\"}",
      "{\"type\": \"file\"}",
      "{\"type\": \"\"}",
      "{\"type\": \"File.exists\", \"name\": \"a\"}",
      "{\"type\": \" file.exists\", \"name\": \"a\"}",
      "{\"type\": [\"file.exists\"], \"name\": \"a\"}",
      "{\"type\": \"ping\", \"n\": 18446744073709551615, \"d\": {\"x\": [null, 1.5]}}",
  };
  for (const char* message : messages) {
    HandlerUnderTest t(files, kDownloads);
    json::object reply = t.answer(message);
    EXPECT_EQ(reply, (json::object{{"echo", json::parse(message)}})) << message;
    EXPECT_EQ(t.lines(), (std::vector<Line>{{LogLevel::kInfo, "Native message: <private>"}}))
        << message;
  }
  EXPECT_EQ(files.names(kDownloads), std::vector<std::string>{});
}

TEST(DispatchTest, AbsentMessageIsEchoedAsNull) {
  HandlerUnderTest t(std::nullopt);
  EXPECT_EQ(t.handler->answer(std::nullopt), (json::object{{"echo", nullptr}}));
  EXPECT_EQ(t.lines(), (std::vector<Line>{{LogLevel::kInfo, "Native message: <private>"}}));
}

TEST(DispatchTest, EveryCarrierShapeGetsExactlyOneReplyItem) {
  auto item = [](std::optional<json::object> userInfo) {
    return InputItem(ExtensionItem{std::move(userInfo)});
  };
  json::object withMessage{{"message", "hello"}, {"other", 1}};
  struct Case {
    std::string label;
    std::vector<InputItem> items;
    json::value echoed;
  };
  const Case cases[] = {
      {"no items", {}, nullptr},
      {"foreign first item", {ForeignItem{}, item(withMessage)}, nullptr},
      {"no user info", {item(std::nullopt)}, nullptr},
      {"empty user info", {item(json::object{})}, nullptr},
      {"no message key", {item(json::object{{"other", 1}})}, nullptr},
      {"message among other keys", {item(withMessage)}, "hello"},
      {"two items: first counts", {item(withMessage), item(json::object{{"message", 2}})}, "hello"},
  };
  for (const Case& c : cases) {
    HandlerUnderTest t(std::nullopt);
    ExtensionContext context;
    context.inputItems = c.items;
    int completions = 0;
    std::vector<ExtensionItem> replyItems;
    context.completeRequest = [&](std::vector<ExtensionItem> items) {
      ++completions;
      replyItems = std::move(items);
    };
    t.handler->beginRequest(context);
    ASSERT_EQ(completions, 1) << c.label;
    ASSERT_EQ(replyItems.size(), 1u) << c.label;
    ASSERT_TRUE(replyItems[0].userInfo) << c.label;
    EXPECT_EQ(*replyItems[0].userInfo,
              (json::object{{"message", json::object{{"echo", c.echoed}}}}))
        << c.label;
  }
}

TEST(DispatchTest, FileRequestsHaveTheirNameVettedBeforeTheFolderIsLookedUp) {
  MemoryFileSystem files = downloadsInMemory();
  struct Case {
    std::string message;
    json::object reply;
    std::vector<Line> lines;
  };
  const std::string refused = ": refused a name that is not one file in Downloads";
  const Case cases[] = {
      {R"({"type": "file.exists"})",
       {{"error", "not a file name"}},
       {{LogLevel::kError, "file.exists" + refused}}},
      {R"({"type": "file.open"})",
       {{"ok", false}, {"error", "not a file name"}},
       {{LogLevel::kError, "file.open" + refused}}},
      {R"({"type": "file.reveal", "name": 5})",
       {{"ok", false}, {"error", "not a file name"}},
       {{LogLevel::kError, "file.reveal" + refused}}},
      {R"({"type": "file.exists", "name": "a/b"})",
       {{"error", "not a file name"}},
       {{LogLevel::kError, "file.exists" + refused}}},
      {R"({"type": "file.open", "name": ".hidden"})",
       {{"ok", false}, {"error", "not a file name"}},
       {{LogLevel::kError, "file.open" + refused}}},
      {R"({"type": "file.write"})",
       {{"ok", false}, {"error", "not a file name"}},
       {{LogLevel::kError, "file.write" + refused}}},
      {R"({"type": "file.write", "name": "a"})",
       {{"ok", false}, {"error", "unknown message file.write"}},
       {}},
      {R"({"type": "file.Open", "name": "a"})",
       {{"ok", false}, {"error", "unknown message file.Open"}},
       {}},
      {R"({"type": "file.", "name": "a"})",
       {{"ok", false}, {"error", "unknown message file."}},
       {}},
      {R"({"type": "file.version"})", {{"ok", true}, {"version", TAMBERLO_VERSION}}, {}},
      // A transfer type needs no name; a handler made without a channel refuses one.
      {R"({"type": "file.write.channel"})", {{"ok", false}, {"error", "no channel here"}}, {}},
  };
  for (const Case& c : cases) {
    HandlerUnderTest t(files, kDownloads);
    EXPECT_EQ(t.answer(c.message), c.reply) << c.message;
    EXPECT_EQ(t.lines(), c.lines) << c.message;
  }
  EXPECT_EQ(files.names(kDownloads), std::vector<std::string>{});
}

TEST(DispatchTest, NoDownloadsFolder) {
  struct Case {
    std::string message;
    std::string type;
  };
  const Case cases[] = {
      {R"({"type": "file.exists", "name": "a"})", "file.exists"},
      {R"({"type": "file.open", "name": "a"})", "file.open"},
      {R"({"type": "file.nothing", "name": "a"})", "file.nothing"},
      {R"({"type": "file.write.begin", "name": "a"})", "file.write.begin"},
      {R"({"type": "file.write.flush"})", "file.write.flush"},
      {R"({"type": "file.write.channel"})", "file.write.channel"},
  };
  for (const Case& c : cases) {
    HandlerUnderTest t(std::nullopt);
    EXPECT_EQ(t.answer(c.message), (json::object{{"ok", false}, {"error", "no Downloads folder"}}))
        << c.message;
    EXPECT_EQ(t.lines(), (std::vector<Line>{{LogLevel::kError, c.type + ": no Downloads folder"}}));
  }
  // A name is refused before the folder is missed.
  HandlerUnderTest t(std::nullopt);
  EXPECT_EQ(t.answer(R"({"type": "file.exists", "name": ""})"),
            (json::object{{"error", "not a file name"}}));
}

}  // namespace
}  // namespace tamberlo
