// The real tamberlo-host over a pipe: framing, limits, and the end of input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "Host/NativeHost.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
using testing::HostProcess;
using testing::TempDir;

using testing::homeAt;

TEST(HostTest, AnswersEachFrameInOrderAndEndsAtEndOfInput) {
  TempDir home;
  HostProcess host(homeAt(home), {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
  EXPECT_EQ(host.request(R"({"type":"ping","n":1})"),
            json::parse(R"({"echo":{"type":"ping","n":1}})"));
  // Not JSON at all: a request without a message.
  EXPECT_EQ(host.request("{not json"), json::parse(R"({"echo":null})"));
  EXPECT_EQ(host.request(""), json::parse(R"({"echo":null})"));
  // Invalid UTF-8 is not JSON either.
  EXPECT_EQ(host.request("\"\xff\""), json::parse(R"({"echo":null})"));
  // Integers keep all 64 bits.
  EXPECT_EQ(host.request("18446744073709551615"), json::parse(R"({"echo":18446744073709551615})"));
  host.closeInput();
  EXPECT_EQ(host.receive(), std::nullopt);
  EXPECT_EQ(host.wait(), 0);
}

TEST(HostTest, EnlargesThePipeOnItsInput) {
#ifdef _WIN32
  GTEST_SKIP() << "a pipe's buffer on Windows is fixed by whoever makes the pipe";
#endif
  TempDir home;
  HostProcess host(homeAt(home));
  EXPECT_EQ(host.request("1"), json::parse(R"({"echo":1})"));
#ifdef F_GETPIPE_SZ
  EXPECT_EQ(::fcntl(host.inputFd(), F_GETPIPE_SZ), kInputPipeBytes);
#endif
}

// Line ends and 0x1A (the end of a text file on Windows) in a frame's length and body pass both
// ways unchanged, and the input goes on after them.
TEST(HostTest, FramesAreBinaryBothWays) {
  TempDir home;
  HostProcess host(homeAt(home));
  const std::string text(3325, 'x');
  // Length 0x1A0D: the header begins 0D 1A. The reply's length 0x0D0A begins 0A 0D.
  std::string message = "[\"" + text + "\"]";
  for (bool cr = true; message.size() < 0x1A0D; cr = !cr) message += cr ? '\r' : '\n';
  host.send(message);
  const std::string reply = R"({"echo":[")" + text + R"("]})";
  ASSERT_EQ(reply.size(), 0x0D0Au);
  EXPECT_EQ(host.receive(), reply);
  EXPECT_EQ(host.request("1"), json::parse(R"({"echo":1})"));
}

TEST(HostTest, DepthLimit) {
  TempDir home;
  HostProcess host(homeAt(home));
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  json::parse_options deep;
  deep.max_depth = 1000;
  host.send(nested(200));
  std::optional<std::string> reply = host.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(json::parse(*reply, {}, deep).as_object().at("echo"),
            json::parse(nested(200), {}, deep));
  // Far deeper than any browser sends: no message, and no crash.
  EXPECT_EQ(host.request(nested(100000)), json::parse(R"({"echo":null})"));
  EXPECT_EQ(host.request("1"), json::parse(R"({"echo":1})"));
}

TEST(HostTest, OversizedFramesAreReadThroughAndAnswered) {
  TempDir home;
  HostProcess host(homeAt(home));
  // A frame over 64 MiB, sent in pieces: answered with an error, and the next frame still works.
  uint32_t length = (64u << 20) + 1;
  host.sendRaw(std::string_view(reinterpret_cast<const char*>(&length), 4));
  std::string piece(1 << 20, ' ');
  for (uint32_t sent = 0; sent < length; sent += piece.size()) {
    host.sendRaw(std::string_view(piece).substr(0, std::min<size_t>(piece.size(), length - sent)));
  }
  EXPECT_EQ(host.request("2"),  // the reply to the oversized frame comes first
            json::parse(R"({"ok":false,"error":"message too large"})"));
  EXPECT_EQ(host.receive(), std::optional<std::string>(R"({"echo":2})"));
  // A reply that would pass 1 MiB is replaced by a short error.
  std::string big = "\"" + std::string(1 << 20, 'x') + "\"";
  EXPECT_EQ(host.request(big), json::parse(R"({"ok":false,"error":"reply too large"})"));
}

TEST(HostTest, MessagesThatOutgrowTheirFrameStayAnsweredOverALongSession) {
  TempDir home;
  HostProcess host(homeAt(home));
  // Each number takes far more memory parsed than its two bytes of text, so every message
  // needs memory beyond what its frame's size provides for. Forty of them in a row must cost no
  // more than the first.
  std::string numbers = "[1";
  for (int i = 1; i < 100000; ++i) numbers += ",1";
  numbers += "]";
  for (int i = 0; i < 40; ++i) {
    host.send(numbers);
    std::optional<std::string> reply = host.receive();
    ASSERT_TRUE(reply) << "no reply to message " << i;
    ASSERT_EQ(*reply, R"({"echo":)" + numbers + "}") << "message " << i;
  }
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
}

TEST(HostTest, TruncatedFrameEndsWithoutReplyOrFiles) {
  TempDir home;
  std::filesystem::create_directory(home / "Downloads");
  HostProcess host(homeAt(home));
  std::string full = testing::frame(R"({"type":"file.write.begin","name":"a.bin"})");
  host.sendRaw(full.substr(0, full.size() - 3));
  host.closeInput();
  EXPECT_EQ(host.receive(), std::nullopt);
  EXPECT_EQ(host.wait(), 0);
  EXPECT_TRUE(testing::listNames(home / "Downloads").empty());
}

TEST(HostTest, LogLinesAreOutBeforeTheirRepliesInABurst) {
  if (::access("/run/systemd/journal/socket", W_OK) == 0) {
    GTEST_SKIP() << "the host logs to the journal here";
  }
  TempDir home;
  HostProcess host(homeAt(home));
  // Three requests in one write: their lines may be held back while the next request is
  // already there, but not past the replies, and not while the host waits for more.
  host.sendRaw(testing::frame("1") + testing::frame("2") + testing::frame("3"));
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(host.receive(), "{\"echo\":" + std::to_string(i) + "}");
  std::string expected;
  for (int i = 0; i < 3; ++i)
    expected += "tamberlo.host safari-extension info: Native message: <private>\n";
  EXPECT_EQ(host.log(), expected);
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
}

TEST(HostTest, ControlCharactersInLoggedValuesCannotForgeALine) {
  if (::access("/run/systemd/journal/socket", W_OK) == 0) {
    GTEST_SKIP() << "the host logs to the journal here";
  }
  TempDir home;
  HostProcess host(homeAt(home));
  // A type is a public value of the refusal line; a missing name is refused.
  struct Case {
    std::string type;  // as JSON text
    std::string shown;
  };
  const std::vector<Case> cases = {
      {R"(file.\ntamberlo.host safari-extension info: file.write.end: saved 1 bytes as x.exe)",
       R"(file.\ntamberlo.host safari-extension info: file.write.end: saved 1 bytes as x.exe)"},
      {R"(file.\r\u001b[2K\t\u007f)", R"(file.\r\x1b[2K\t\x7f)"},
      {R"(file.\u0085\u009b)", R"(file.\u0085\u009b)"},
      {R"(file.\\n)", R"(file.\\n)"},
      {"file.\u00e9", "file.\xc3\xa9"},
  };
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_EQ(host.request(R"({"type":")" + c.type + R"("})"),
              json::parse(R"({"ok":false,"error":"not a file name"})"));
    expected += "tamberlo.host safari-extension error: " + c.shown +
                ": refused a name that is not one file in Downloads\n";
  }
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_EQ(host.log(), expected);
}

TEST(HostTest, WithoutAJournalTheHostNeverLoadsLibsystemd) {
#ifdef _WIN32
  GTEST_SKIP() << "a Linux library, on Linux";
#endif
  if (::access("/run/systemd/journal/socket", W_OK) == 0) {
    GTEST_SKIP() << "the host logs to the journal here";
  }
  TempDir home;
  std::filesystem::create_directory(home / "Downloads");
  HostProcess host(homeAt(home));
  // Both have written their log lines by the time their replies are in.
  EXPECT_EQ(host.request("1"), json::parse(R"({"echo":1})"));
  EXPECT_EQ(host.request(R"({"type":"file.exists","name":"a.mp4"})"),
            json::parse(R"({"exists":false})"));
  std::string maps = testing::readFile("/proc/" + std::to_string(host.pid()) + "/maps");
  EXPECT_NE(maps.find("tamberlo-host"), std::string::npos);
  EXPECT_EQ(maps.find("libsystemd"), std::string::npos);
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
}

TEST(HostTest, ClosedOutputEndsTheProcessQuietly) {
  TempDir home;
  HostProcess host(homeAt(home));
  EXPECT_EQ(host.request("1"), json::parse(R"({"echo":1})"));
  // Nobody reads replies any more: the host must end with status 0, not die of SIGPIPE.
  host.closeOutput();
  host.send("2");
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
}

}  // namespace
}  // namespace tamberlo
