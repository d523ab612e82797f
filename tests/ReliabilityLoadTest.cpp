// Load through the real host: one port carrying 100,000 mixed messages with many transfers
// interleaved, every reply checked against a model of Downloads and the resident size held
// flat; and several hosts on one folder racing begins and ends for one name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace json = boost::json;
using testing::FakeHome;
using testing::HostProcess;

#ifdef TAMBERLO_SLOW_HOST
constexpr int kMessages = 20000;
constexpr int kRacingTransfers = 15;
#else
constexpr int kMessages = 100000;
constexpr int kRacingTransfers = 60;
#endif
constexpr int kWarmUp = kMessages / 10;
constexpr size_t kLargestChunk = 512 << 10;

uint64_t seedFromEnvironment() {
  const char* text = std::getenv("TAMBERLO_SEED");
  return text ? std::strtoull(text, nullptr, 10) : std::random_device()();
}

// A memory-backed folder keeps thousands of saved files quick; the disk is the crash test's.
class MemoryTmpdir {
 public:
  MemoryTmpdir() {
    if (const char* old = std::getenv("TMPDIR")) saved_ = old;
    if (std::filesystem::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
  }
  ~MemoryTmpdir() {
    if (saved_) {
      ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// The bytes of transfer `id`, made again on demand for the final comparison.
std::string transferBytes(uint64_t id, size_t size) {
  std::string bytes(size, '\0');
  std::mt19937_64 random(id * 7919 + 17);
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

uint64_t residentKiB(pid_t pid) { return testing::memoryKiB(pid, "VmRSS"); }

// The environment of a host working in `home`. An instrumented one's AddressSanitizer keeps
// freed memory in a quarantine that would look like growth; a small one keeps the resident size
// meaningful.
std::map<std::string, std::string> hostEnvironment(const FakeHome& home) {
  std::map<std::string, std::string> env = home.env();
#if defined(__SANITIZE_ADDRESS__)
  const char* asan = std::getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":quarantine_size_mb=1";
#endif
  return env;
}

struct Transfer {
  uint64_t id;
  std::string name;
  std::string part;
  std::string bytes;
  uint64_t length = 0;  // what the part file holds now, as the model has it
  bool begun = false;
};

TEST(ReliabilityLoadTest, OnePortHoldsAHundredThousandMixedMessages) {
  const uint64_t seed = seedFromEnvironment();
  SCOPED_TRACE("TAMBERLO_SEED=" + std::to_string(seed));
  std::mt19937_64 random(seed);
  MemoryTmpdir memory;
  FakeHome home;
  HostProcess host(hostEnvironment(home));

  std::vector<Transfer> active;
  std::map<std::string, std::pair<uint64_t, size_t>> saved;  // name: transfer id, size
  uint64_t nextId = 0;
  std::deque<std::pair<std::string, json::value>> expected;  // what was sent, what must come
  uint64_t warmKiB = 0;
  int replies = 0;
  int aborted = 0;

  auto expect = [&](std::string message, json::value reply) {
    host.send(message);
    expected.emplace_back(std::move(message), std::move(reply));
  };
  auto drain = [&] {
    while (!expected.empty()) {
      std::optional<std::string> reply = host.receive();
      ASSERT_TRUE(reply) << "no reply to " << expected.front().first.substr(0, 200);
      ASSERT_EQ(json::parse(*reply), expected.front().second)
          << "to " << expected.front().first.substr(0, 200);
      expected.pop_front();
      ++replies;
    }
  };

  for (int i = 0; i < kMessages; ++i) {
    if (i % 64 == 63) {
      drain();
      if (HasFatalFailure()) return;
    }
    if (i == kWarmUp) {
      drain();
      warmKiB = residentKiB(host.pid());
    }
    unsigned roll = random() % 100;
    if (roll < 15) {
      json::object ping{{"type", "ping"}, {"n", i}, {"tag", std::string(random() % 200, 'p')}};
      expect(json::serialize(ping), json::object{{"echo", ping}});
    } else if (roll < 22) {
      // A saved name, a name never saved, or a refused one.
      std::string name = saved.empty() || random() % 3 == 0
                             ? "never-" + std::to_string(i) + ".bin"
                             : std::next(saved.begin(), random() % saved.size())->first;
      json::object reply = saved.contains(name) ? json::object{{"exists", true}, {"name", name}}
                                                : json::object{{"exists", false}};
      expect(json::serialize(json::object{{"type", "file.exists"}, {"name", name}}), reply);
    } else if (roll < 25) {
      const char* kinds[] = {R"({"type":"file.write.flush"})",
                             R"({"type":"file.write.begin","name":"a/b"})",
                             R"({"type":"file.write.chunk","part":"x.part","offset":0,"data":"Q"})",
                             R"({"type":"file.write.abort","part":"gone.part"})"};
      const char* answers[] = {R"({"ok":false,"error":"unknown message file.write.flush"})",
                               R"({"ok":false,"error":"not a file name"})",
                               R"({"ok":false,"error":"bad chunk"})", R"({"ok":true})"};
      unsigned k = random() % 4;
      expect(kinds[k], json::parse(answers[k]));
    } else if (active.size() < 24 && (active.empty() || roll < 30)) {
      Transfer t;
      t.id = nextId++;
      t.name = "t" + std::to_string(t.id) + ".bin";
      t.part = t.name + ".part";
      size_t size = random() % (64 << 10);
      // The largest frames come early: the buffers they need are part of the warm-up.
      if (i < kWarmUp / 2 && t.id % 5 == 0) size = 3 * kLargestChunk;
      t.bytes = transferBytes(t.id, size);
      expect(json::serialize(json::object{{"type", "file.write.begin"}, {"name", t.name}}),
             json::object{{"ok", true}, {"part", t.part}});
      active.push_back(std::move(t));
    } else {
      size_t index = random() % active.size();
      Transfer& t = active[index];
      if (t.length == t.bytes.size() || random() % 200 == 0) {
        // Complete (or, now and then, given up): end or abort.
        bool abort = t.length < t.bytes.size() || random() % 10 == 0;
        if (abort) {
          expect(json::serialize(json::object{{"type", "file.write.abort"}, {"part", t.part}}),
                 json::object{{"ok", true}});
          ++aborted;
        } else {
          expect(json::serialize(json::object{{"type", "file.write.end"},
                                              {"part", t.part},
                                              {"name", t.name},
                                              {"size", t.length}}),
                 json::object{{"ok", true}, {"name", t.name}});
          saved[t.name] = {t.id, t.bytes.size()};
        }
        active.erase(active.begin() + static_cast<std::ptrdiff_t>(index));
        continue;
      }
      unsigned kind = random() % 40;
      if (kind == 0) {
        uint64_t past = t.length + 1 + random() % 10;
        expect(json::serialize(json::object{
                   {"type", "file.write.chunk"}, {"part", t.part}, {"offset", past}, {"data", ""}}),
               json::object{{"ok", false},
                            {"error", "offset " + std::to_string(past) + " past the end " +
                                          std::to_string(t.length)}});
      } else if (kind == 1) {
        expect(json::serialize(json::object{{"type", "file.write.end"},
                                            {"part", t.part},
                                            {"name", t.name},
                                            {"size", t.bytes.size()}}),
               json::object{{"ok", false},
                            {"error", "written " + std::to_string(t.length) + " of " +
                                          std::to_string(t.bytes.size()) + " bytes"}});
      } else {
        // Mostly the next piece; sometimes a rewind to an earlier offset.
        uint64_t offset = (kind == 2 && t.length > 0) ? random() % t.length : t.length;
        size_t size =
            std::min<size_t>(t.bytes.size() - offset,
                             t.bytes.size() >= kLargestChunk ? kLargestChunk : 1 + random() % 4096);
        expect(json::serialize(json::object{
                   {"type", "file.write.chunk"},
                   {"part", t.part},
                   {"offset", offset},
                   {"data", testing::base64(std::string_view(t.bytes).substr(offset, size))}}),
               json::object{{"ok", true}, {"size", offset + size}});
        t.length = offset + size;
      }
    }
  }
  drain();
  ASSERT_FALSE(HasFatalFailure());
  const uint64_t endKiB = residentKiB(host.pid());

  // Every saved file holds its transfer's bytes; every unfinished one is still its part file.
  for (const auto& [name, idAndSize] : saved) {
    ASSERT_TRUE(testing::readFile(home / name) == transferBytes(idAndSize.first, idAndSize.second))
        << name;
  }
  for (const Transfer& t : active) {
    EXPECT_EQ(testing::readFile(home / t.part), t.bytes.substr(0, t.length)) << t.part;
  }
  EXPECT_EQ(testing::listNames(home.downloads()).size(), saved.size() + active.size());
  EXPECT_EQ(replies, kMessages);
  EXPECT_GT(warmKiB, 0u);
  EXPECT_LE(endKiB, warmKiB + 4096) << "resident size grew from " << warmKiB << " KiB";
  std::printf(
      "%d messages answered; %zu transfers saved, %d aborted; resident %llu KiB after warm-up, "
      "%llu KiB at the end\n",
      replies, saved.size(), aborted, static_cast<unsigned long long>(warmKiB),
      static_cast<unsigned long long>(endKiB));
}

TEST(ReliabilityLoadTest, RacingHostsNeverShareAPartFileOrOverwriteASavedFile) {
  constexpr int kHosts = 4;
  FakeHome home;
  std::mutex mutex;
  std::set<std::string> liveParts;
  std::map<std::string, std::string> savedBy;  // final name: the bytes its end reported
  std::vector<std::string> problems;

  auto run = [&](int hostIndex) {
    HostProcess host(home.env());
    for (int k = 0; k < kRacingTransfers; ++k) {
      std::string bytes = transferBytes(1000000 + hostIndex * 10000 + k, 1 + k % 7 * 1000);
      json::value begun = host.request(R"({"type":"file.write.begin","name":"race.bin"})");
      std::string part(begun.at("part").as_string());
      {
        std::lock_guard lock(mutex);
        if (!liveParts.insert(part).second) problems.push_back("two transfers got " + part);
      }
      json::value written =
          host.request(json::serialize(json::object{{"type", "file.write.chunk"},
                                                    {"part", part},
                                                    {"offset", 0},
                                                    {"data", testing::base64(bytes)}}));
      if (written != json::value(json::object{{"ok", true}, {"size", bytes.size()}})) {
        std::lock_guard lock(mutex);
        problems.push_back("chunk: " + json::serialize(written));
      }
      {
        std::lock_guard lock(mutex);
        liveParts.erase(part);
      }
      // Another host may take the free final name between the look and the move: the move
      // then replaces nothing and end goes on to the next free name by itself.
      json::value ended = host.request(json::serialize(json::object{{"type", "file.write.end"},
                                                                    {"part", part},
                                                                    {"name", "race.bin"},
                                                                    {"size", bytes.size()}}));
      std::lock_guard lock(mutex);
      if (!ended.at("ok").as_bool()) {
        problems.push_back("end failed: " + json::serialize(ended));
        continue;
      }
      std::string name(ended.at("name").as_string());
      if (!savedBy.emplace(name, bytes).second) problems.push_back("saved twice: " + name);
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kHosts; ++i) threads.emplace_back(run, i);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(problems, std::vector<std::string>{});
  EXPECT_EQ(savedBy.size(), static_cast<size_t>(kHosts * kRacingTransfers));
  // Every byte landed in exactly one file, and nothing else is left in Downloads.
  EXPECT_EQ(testing::listNames(home.downloads()).size(), savedBy.size());
  for (const auto& [name, bytes] : savedBy) {
    EXPECT_TRUE(testing::readFile(home / name) == bytes) << name;
  }
  std::printf("%zu transfers by %d hosts on one name\n", savedBy.size(), kHosts);
}

}  // namespace
}  // namespace tamberlo
