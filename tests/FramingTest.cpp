// Reading frames in bulk and answering bursts: the frame reader over a real pipe, and the real
// host with bursts of messages and with large chunks, whose peak memory must stay within two
// frames plus a small fixed amount.
#include <gtest/gtest.h>
#include <unistd.h>  // close(); MinGW-w64 has it too.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "Host/Framing.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
using testing::HostProcess;
using testing::TempDir;

using testing::homeAt;

// Writes `writes` one after the other into a pipe from another thread, and reads frames from
// its other end until the end of input.
std::vector<std::string> framesThroughPipe(const std::vector<std::string>& writes) {
  std::array<int, 2> ends = testing::makePipe();
  std::thread writer([&] {
    for (const std::string& bytes : writes) EXPECT_TRUE(writeAll(ends[1], bytes));
    ::close(ends[1]);
  });
  // Gathers each frame from its pieces, checking that they add up to the announced length.
  struct Gather : FrameConsumer {
    void start(size_t length) override {
      announced = length;
      bytes.clear();
    }
    void take(std::string_view piece) override {
      EXPECT_FALSE(piece.empty());
      bytes.append(piece);
    }
    size_t announced = 0;
    std::string bytes;
  } gather;
  std::vector<std::string> frames;
  FrameReader reader(ends[0]);
  while (true) {
    FrameStatus status = reader.next(gather);
    if (status == FrameStatus::kEnd) break;
    if (status == FrameStatus::kTooLarge) {
      frames.push_back("<too large>");
      continue;
    }
    EXPECT_EQ(gather.bytes.size(), gather.announced);
    frames.push_back(gather.bytes);
  }
  writer.join();
  ::close(ends[0]);
  return frames;
}

TEST(FramingTest, ReaderFindsEveryFrameHoweverTheBytesArrive) {
  std::string big(300 * 1024, 'b');  // larger than the reader's first buffer
  std::string huge(200 * 1024, 'h');
  // The longest frame gathered whole, and the shortest that passes through in pieces.
  std::string whole(FrameReader::kWholeFrame, 'w');
  std::string passed(FrameReader::kWholeFrame + 1, 'p');
  std::string burst = testing::frame("one") + testing::frame("") + testing::frame(big) +
                      testing::frame("two") + testing::frame(huge) + testing::frame(whole) +
                      testing::frame(passed) + testing::frame("three");
  std::vector<std::string> expected = {"one", "", big, "two", huge, whole, passed, "three"};

  struct Case {
    const char* name;
    std::vector<std::string> writes;
  };
  std::vector<Case> cases;
  cases.push_back({"all in one write", {burst}});
  std::vector<std::string> bytewise;
  for (char c : burst.substr(0, 40)) bytewise.emplace_back(1, c);
  bytewise.push_back(burst.substr(40));
  cases.push_back({"headers split byte by byte", bytewise});
  std::vector<std::string> pieces;
  for (size_t at = 0; at < burst.size(); at += 7777) pieces.push_back(burst.substr(at, 7777));
  cases.push_back({"odd-sized pieces across frame edges", pieces});
  for (const Case& c : cases) {
    EXPECT_EQ(framesThroughPipe(c.writes), expected) << c.name;
  }
  // A frame cut short by the end of input is no frame.
  std::string cut = testing::frame("whole") + testing::frame("cut short").substr(0, 8);
  EXPECT_EQ(framesThroughPipe({cut}), std::vector<std::string>{"whole"});
  std::string cutLarge = testing::frame("whole") + testing::frame(big).substr(0, 100 * 1024);
  EXPECT_EQ(framesThroughPipe({cutLarge}), std::vector<std::string>{"whole"});
}

TEST(FramingTest, HostAnswersABurstInOrderAndTheNextRequestAtOnce) {
  TempDir home;
  HostProcess host(homeAt(home));
  constexpr int kCount = 2000;
  std::string burst;
  for (int i = 0; i < kCount; ++i) burst += testing::frame(R"({"n":)" + std::to_string(i) + "}");
  host.sendRaw(burst);
  for (int i = 0; i < kCount; ++i) {
    std::optional<std::string> reply = host.receive();
    ASSERT_TRUE(reply) << i;
    ASSERT_EQ(*reply, R"({"echo":{"n":)" + std::to_string(i) + "}}");
  }
  // With nothing more waiting in the input, a single request is answered without delay: the
  // receive would block forever if the reply were held back for a batch.
  EXPECT_EQ(host.request(R"({"last":true})"), json::parse(R"({"echo":{"last":true}})"));
}

// The host's peak resident memory so far, in bytes, from the kernel's record of it.
size_t peakResident(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

TEST(FramingTest, PeakMemoryStaysWithinTwoFramesPlusEightMiBOverAWholeTransfer) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory and shadows the rest";
#elif defined(TAMBERLO_EMULATED)
  GTEST_SKIP() << "an emulated host's memory is the emulator's";
#endif
  struct Case {
    size_t chunkBytes;
    int chunks;  // enough for the offsets to gain digits, and the frames bytes, several times
  };
  for (Case c : {Case{16u << 20, 5}, Case{4u << 20, 26}}) {
    TempDir home;
    std::filesystem::create_directory(home / "Downloads");
    HostProcess host(homeAt(home));
    EXPECT_EQ(host.request(R"({"type":"file.write.begin","name":"big.bin"})"),
              json::parse(R"({"ok":true,"part":"big.bin.part"})"));
    std::mt19937_64 rng(3);
    std::string bytes(c.chunkBytes, '\0');
    std::string expectedFile;
    size_t largestFrame = 0;
    for (int i = 0; i < c.chunks; ++i) {
      for (size_t at = 0; at < bytes.size(); at += 8) {
        uint64_t v = rng();
        std::memcpy(bytes.data() + at, &v, 8);
      }
      uint64_t offset = static_cast<uint64_t>(i) * bytes.size();
      std::string message = R"({"type":"file.write.chunk","part":"big.bin.part","offset":)" +
                            std::to_string(offset) + R"(,"data":")" + testing::base64(bytes) +
                            "\"}";
      largestFrame = std::max(largestFrame, message.size());
      json::value reply = host.request(message);
      ASSERT_EQ(reply,
                json::parse(R"({"ok":true,"size":)" + std::to_string(offset + bytes.size()) + "}"));
      expectedFile += bytes;
    }
    size_t peak = peakResident(host.pid());
    EXPECT_GT(peak, largestFrame);  // the reading is real: a whole frame was held
    EXPECT_LE(peak, 2 * largestFrame + (8u << 20)) << "largest frame " << largestFrame;
    EXPECT_TRUE(testing::readFile(home / "Downloads/big.bin.part") == expectedFile);
  }
}

}  // namespace
}  // namespace tamberlo
