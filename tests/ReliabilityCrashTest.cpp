// A transfer survives the host being killed at any moment: the part file always holds a prefix
// of the data, a new host continues from its length, and the saved file is the data byte for
// byte. Nothing but the part file ever changes, and a kill during end leaves either the whole
// part file or the whole saved file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "support/TestSupport.h"
#include "support/TreeSnapshot.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
using testing::FakeHome;
using testing::HostProcess;
using testing::TreeSnapshot;

#ifdef TAMBERLO_SLOW_HOST
constexpr int kKills = 60;  // each start of an instrumented or emulated host is slow
#else
constexpr int kKills = 250;
#endif

uint64_t seedFromEnvironment() {
  const char* text = std::getenv("TAMBERLO_SEED");
  return text ? std::strtoull(text, nullptr, 10) : std::random_device()();
}

uint64_t lengthOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string chunkMessage(std::string_view part, uint64_t offset, std::string_view bytes) {
  return json::serialize(json::object{{"type", "file.write.chunk"},
                                      {"part", part},
                                      {"offset", offset},
                                      {"data", testing::base64(bytes)}});
}

TEST(ReliabilityCrashTest, KilledAtRandomPointsTheTransferContinuesFromThePartFile) {
  const uint64_t seed = seedFromEnvironment();
  std::mt19937_64 random(seed);
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("TAMBERLO_SEED=" + std::to_string(seed));

  FakeHome home;
  const std::string downloads = home.downloads();
  // Bystanders: a saved file of the same name, another transfer's part file, a file outside.
  testing::writeFile(downloads + "/clip.mp4", "an earlier download");
  testing::writeFile(downloads + "/other.mp4.part", "another transfer");
  testing::writeFile(home.home() + "/outside.txt", "not in Downloads");

  std::string data(6 << 20, '\0');
  for (char& c : data) c = static_cast<char>(random());

  std::string part;
  {
    HostProcess host(home.env());
    json::value begun = host.request(R"({"type":"file.write.begin","name":"clip.mp4"})");
    part = std::string(begun.at("part").as_string());
  }
  ASSERT_EQ(part, "clip.mp4.part");
  const std::string partPath = downloads + "/" + part;
  const TreeSnapshot bystanders = TreeSnapshot::of(home.home()).without("Downloads/" + part);

  int kills = 0;
  int continued = 0;
  while (kills < kKills) {
    uint64_t length = lengthOf(partPath);
    // Whatever the kill interrupted, the part file holds the data's first bytes and no others.
    ASSERT_LE(length, data.size());
    ASSERT_EQ(testing::readFile(partPath), std::string_view(data).substr(0, length))
        << "after " << kills << " kills";
    ASSERT_EQ(TreeSnapshot::of(home.home()).without("Downloads/" + part).changedFrom(bystanders),
              std::vector<std::string>{});

    HostProcess host(home.env());
    // Continue from the part file's length; now and then rewind a little, as a page that lost
    // its last replies would.
    uint64_t offset = length;
    if (offset > 0 && random() % 4 == 0) offset -= random() % std::min<uint64_t>(offset, 100000);
    if (offset == data.size()) offset = random() % data.size();
    // Send chunks of random sizes without waiting for their replies, so that the kill lands
    // while the host is reading, decoding, cutting back or writing.
    int sent = 0;
    int toSend = 1 + static_cast<int>(random() % 6);
    while (sent < toSend && offset < data.size()) {
      uint64_t size = std::min<uint64_t>(1 + random() % (256 << 10), data.size() - offset);
      host.send(chunkMessage(part, offset, std::string_view(data).substr(offset, size)));
      offset += size;
      ++sent;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    ::kill(host.pid(), SIGKILL);
    EXPECT_EQ(host.wait(), 128 + SIGKILL);
    ++kills;
    continued += sent > 0;
  }

  // Finish the transfer; a kill during end may land before or after the move, never between.
  const std::string finalPath = downloads + "/clip (1).mp4";
  for (int attempt = 0;; ++attempt) {
    ASSERT_LT(attempt, 50);
    uint64_t length = lengthOf(partPath);
    ASSERT_EQ(testing::readFile(partPath), std::string_view(data).substr(0, length));
    HostProcess host(home.env());
    if (length < data.size()) {
      json::value reply =
          host.request(chunkMessage(part, length, std::string_view(data).substr(length)));
      ASSERT_EQ(reply, (json::object{{"ok", true}, {"size", data.size()}}));
    }
    host.send(json::serialize(json::object{
        {"type", "file.write.end"}, {"part", part}, {"name", "clip.mp4"}, {"size", data.size()}}));
    if (attempt % 2 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
      ::kill(host.pid(), SIGKILL);
      host.wait();
      bool saved = std::filesystem::exists(finalPath);
      EXPECT_NE(saved, std::filesystem::exists(partPath)) << "both or neither after a kill";
      if (saved) break;
      continue;
    }
    std::optional<std::string> reply = host.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(json::parse(*reply), json::parse(R"({"ok":true,"name":"clip (1).mp4"})"));
    break;
  }
  EXPECT_TRUE(testing::readFile(finalPath) == data) << "the saved file differs from the data";
  EXPECT_FALSE(std::filesystem::exists(partPath));
  EXPECT_EQ(TreeSnapshot::of(home.home()).without("Downloads/clip (1).mp4").changedFrom(bystanders),
            std::vector<std::string>{});
  EXPECT_GT(continued, kKills / 2);
  std::printf("survived %d kills (%d while chunks were in flight), %zu bytes saved intact\n", kills,
              continued, data.size());
}

}  // namespace
}  // namespace tamberlo
