// Transfers through the real tamberlo-host over pipes: a whole transfer with its log lines, a
// transfer carried on by a later process, and several processes racing for one name.
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "Host/Framing.h"
#include "TransferSteps.h"

namespace tamberlo {
namespace {

using testing::FakeHome;
using testing::HostProcess;
using testing::listNames;
using testing::readFile;

json::value reply(std::string_view text) { return json::parse(text); }

// The lines the host wrote to standard error, or nothing when it logs to the journal.
std::optional<std::vector<std::string>> stderrLines(const HostProcess& host) {
#ifndef _WIN32
  if (::access("/run/systemd/journal/socket", W_OK) == 0) return std::nullopt;
#endif
  std::vector<std::string> lines;
  std::istringstream in(host.log());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(TransferHostTest, AWholeTransferOverAPipe) {
  FakeHome home;
  HostProcess host(home.env());
  const std::string part = "clip.mp4.part";
  EXPECT_EQ(host.request(writeBegin("clip.mp4")), reply(R"({"ok":true,"part":"clip.mp4.part"})"));
  EXPECT_EQ(host.request(writeChunk(part, 0, "hello ")), reply(R"({"ok":true,"size":6})"));
  EXPECT_EQ(host.request(writeChunk(part, 6, "wurld")), reply(R"({"ok":true,"size":11})"));
  EXPECT_EQ(host.request(writeStatus(part)), reply(R"({"ok":true,"size":11})"));
  EXPECT_EQ(host.request(R"({"type":"file.write.list"})").at("parts").at(0).at("size"), 11);
  EXPECT_EQ(host.request(R"({"type":"file.version"})"),
            reply(R"({"ok":true,"version":")" TAMBERLO_VERSION R"("})"));
  EXPECT_EQ(host.request(writeChunk(part, 7, "orld")), reply(R"({"ok":true,"size":11})"));
  EXPECT_EQ(host.request(writeChunk(part, 12, "!")),
            reply(R"({"ok":false,"error":"offset 12 past the end 11"})"));
  EXPECT_EQ(
      host.request(R"({"type":"file.write.chunk","part":"clip.mp4.part","offset":2.5,"data":""})"),
      reply(R"({"ok":false,"error":"bad chunk"})"));
  EXPECT_EQ(
      host.request(writeChunk("gone.part", 0, "x")),
      reply(
          R"({"ok":false,"error":"Cannot open the file for writing: the file does not exist.","storage":false})"));
  EXPECT_EQ(host.request(writeEnd(part, "clip.mp4", 12)),
            reply(R"({"ok":false,"error":"written 11 of 12 bytes"})"));
  EXPECT_EQ(host.request(writeEnd(part, "clip.mp4", 11)),
            reply(R"({"ok":true,"name":"clip.mp4"})"));
  EXPECT_EQ(host.request(writeAbort(part)), reply(R"({"ok":true})"));
  EXPECT_EQ(host.request(R"({"type":"file.write.flush"})"),
            reply(R"({"ok":false,"error":"unknown message file.write.flush"})"));
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{"clip.mp4"});
  EXPECT_EQ(readFile(home / "clip.mp4"), "hello world");
  if (auto lines = stderrLines(host)) {
    const std::string prefix = "tamberlo.host safari-extension ";
    std::vector<std::string> expected;
    for (const Line& line : begun()) {
      expected.push_back(prefix + (line.level == LogLevel::kError ? "error: " : "info: ") +
                         line.text);
    }
    for (std::string rest : {"info: file.write.list: 1 part files",
                             "error: file.write.chunk failed: Cannot open the file for writing: "
                             "the file does not exist.",
                             "info: file.write.end: saved 11 bytes as <private>",
                             "info: file.write.abort <private>"}) {
      expected.push_back(prefix + rest);
    }
    EXPECT_EQ(*lines, expected);
  }
}

#ifndef _WIN32
// A write the kernel refuses for a reason other than space, here the process's file-size limit,
// is answered and logged with that reason.
TEST(TransferHostTest, AWriteRefusedByTheKernelSaysWhy) {
  FakeHome home;
  testing::writeFile(home / "clip.mp4.part", "");
  // Ignored in the host too: the limit then fails the write with EFBIG instead of a signal.
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  HostProcess host(home.env());
  std::signal(SIGXFSZ, previous);
  // Room for the log lines on standard error, not for the chunk.
  struct rlimit limit;
  ASSERT_EQ(::prlimit(host.pid(), RLIMIT_FSIZE, nullptr, &limit), 0);
  limit.rlim_cur = 4096;
  ASSERT_EQ(::prlimit(host.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  const std::string tooLarge = "Cannot write the file: File too large.";
  EXPECT_EQ(host.request(writeChunk("clip.mp4.part", 0, std::string(5000, 'x'))),
            reply(json::serialize(failed(tooLarge))));
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  if (auto lines = stderrLines(host)) {
    EXPECT_EQ(*lines, std::vector<std::string>{"tamberlo.host safari-extension error: " +
                                               failedLine("file.write.chunk", tooLarge).text});
  }
}

// A complete part file that may only be read is saved all the same: end does not write to it.
TEST(TransferHostTest, AReadOnlyPartFileIsSaved) {
  FakeHome home;
  testing::writeFile(home / "clip.mp4.part", "bytes");
  ASSERT_EQ(::chmod((home / "clip.mp4.part").c_str(), 0444), 0);
  std::vector<std::string> launcher;
  if (::geteuid() == 0) {
    // Root writes any file whatever its mode: the host runs as an ordinary user instead, who
    // owns the home as a user does.
    for (const std::string& path : {home.home(), home.downloads(), home / "clip.mp4.part"}) {
      ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0) << path;
    }
    launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }
  HostProcess host(home.env(), {}, launcher);
  EXPECT_EQ(host.request(writeEnd("clip.mp4.part", "clip.mp4", 5)),
            reply(R"({"ok":true,"name":"clip.mp4"})"));
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{"clip.mp4"});
  EXPECT_EQ(readFile(home / "clip.mp4"), "bytes");
}
#endif

// A transfer is its part file: a later process takes it up from the part file's length.
TEST(TransferHostTest, ALaterProcessContinuesFromThePartFileLength) {
  FakeHome home;
  {
    HostProcess first(home.env());
    EXPECT_EQ(first.request(writeBegin("clip.mp4")),
              reply(R"({"ok":true,"part":"clip.mp4.part"})"));
    EXPECT_EQ(first.request(writeChunk("clip.mp4.part", 0, "hello ")),
              reply(R"({"ok":true,"size":6})"));
    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
  }
  HostProcess second(home.env());
  EXPECT_EQ(second.request(writeStatus("clip.mp4.part")), reply(R"({"ok":true,"size":6})"));
  EXPECT_EQ(second.request(writeChunk("clip.mp4.part", 7, "orld")),
            reply(R"({"ok":false,"error":"offset 7 past the end 6"})"));
  EXPECT_EQ(second.request(writeChunk("clip.mp4.part", 6, "world")),
            reply(R"({"ok":true,"size":11})"));
  EXPECT_EQ(second.request(writeEnd("clip.mp4.part", "clip.mp4", 11)),
            reply(R"({"ok":true,"name":"clip.mp4"})"));
  EXPECT_EQ(readFile(home / "clip.mp4"), "hello world");
}

constexpr int kRacers = 8;

// Sends one request to every host before reading any reply, so that they race.
std::vector<json::value> all(std::vector<std::unique_ptr<HostProcess>>& hosts,
                             const std::function<std::string(int)>& request) {
  for (int i = 0; i < kRacers; ++i) hosts[i]->send(request(i));
  std::vector<json::value> replies;
  for (auto& host : hosts) replies.push_back(json::parse(host->receive().value_or("null")));
  return replies;
}

std::vector<std::unique_ptr<HostProcess>> startHosts(const FakeHome& home) {
  std::vector<std::unique_ptr<HostProcess>> hosts;
  for (int i = 0; i < kRacers; ++i) hosts.push_back(std::make_unique<HostProcess>(home.env()));
  return hosts;
}

TEST(TransferHostTest, ProcessesBeginningOneNameAtOnceGetTheirOwnPartFiles) {
  for (int round = 0; round < 3; ++round) {
    FakeHome home;
    auto hosts = startHosts(home);
    std::vector<json::value> begun = all(hosts, [](int) { return writeBegin("clip.mp4"); });
    std::vector<std::string> parts;
    for (const json::value& r : begun) {
      ASSERT_EQ(r.at("ok"), true) << r;
      parts.emplace_back(r.at("part").as_string());
    }
    std::set<std::string> expected = {"clip.mp4.part"};
    for (int n = 1; n < kRacers; ++n) expected.insert("clip.mp4 (" + std::to_string(n) + ").part");
    EXPECT_EQ(std::set<std::string>(parts.begin(), parts.end()), expected);
    // Each writes into the part file it was given, and no other begin emptied it.
    all(hosts, [&](int i) { return writeChunk(parts[i], 0, "transfer " + std::to_string(i)); });
    for (int i = 0; i < kRacers; ++i) {
      EXPECT_EQ(readFile(home / parts[i]), "transfer " + std::to_string(i));
    }
  }
}

// Several transfers end under one final name at once: each is saved under a name of its own,
// none replaces another's file, and every transfer's bytes stand in exactly one file.
TEST(TransferHostTest, EndsRacingForOneFinalNameNeverOverwriteEachOther) {
  for (int round = 0; round < 3; ++round) {
    FakeHome home;
    auto hosts = startHosts(home);
    std::vector<std::string> parts, contents;
    for (int i = 0; i < kRacers; ++i) {
      parts.emplace_back(hosts[i]->request(writeBegin("clip.mp4")).at("part").as_string());
      contents.push_back("transfer " + std::to_string(i) + std::string(1000 * i, 'x'));
      ASSERT_EQ(hosts[i]->request(writeChunk(parts[i], 0, contents[i])).at("ok"), true);
    }
    std::vector<json::value> ended =
        all(hosts, [&](int i) { return writeEnd(parts[i], "clip.mp4", contents[i].size()); });
    std::set<std::string> savedNames;
    for (int i = 0; i < kRacers; ++i) {
      ASSERT_EQ(ended[i].at("ok"), true) << ended[i];
      std::string name(ended[i].at("name").as_string());
      EXPECT_TRUE(savedNames.insert(name).second) << name << " given twice";
      EXPECT_EQ(readFile(home / name), contents[i]);
    }
    std::map<std::string, int> copies;
    for (const std::string& name : listNames(home.downloads())) ++copies[readFile(home / name)];
    for (const std::string& content : contents) EXPECT_EQ(copies[content], 1);
    EXPECT_EQ(listNames(home.downloads()).size(), static_cast<size_t>(kRacers));
  }
}

// A folder with more part files than one reply can name: every page fits under the reply limit
// and the pages together name each part file once, in byte order.
TEST(TransferHostTest, ListPagesFitTheReplyLimitAndNameEveryPartOnce) {
  FakeHome home;
  std::set<std::string> made;
  for (int i = 0; i < 5000; ++i) {
    // Names of 200 bytes; on Linux every fifth made of characters that JSON escapes six bytes
    // long, which a count of unescaped bytes would get wrong.
    std::string name = std::to_string(100000 + i);
    const char filler = !DownloadsFile::kBuiltForWindows && i % 5 == 0 ? '\x01' : 'x';
    name += std::string(200 - name.size() - 5, filler) + ".part";
    testing::writeFile(home / name, "");
    made.insert(name);
  }
  HostProcess host(home.env());
  EXPECT_EQ(host.request(R"({"type":"file.write.list","after":5})"),
            reply(R"({"ok":false,"error":"bad list"})"));
  std::vector<std::string> listed;
  std::string request = R"({"type":"file.write.list"})";
  int pages = 0;
  for (bool more = true; more && pages < 100; ++pages) {
    host.send(request);
    std::string page = host.receive().value_or("");
    EXPECT_LE(page.size(), kMaxOutgoingFrame);
    json::object answer = json::parse(page).as_object();
    ASSERT_EQ(answer.at("ok"), true) << page.substr(0, 200);
    for (const json::value& part : answer.at("parts").as_array()) {
      listed.emplace_back(part.at("part").as_string());
    }
    more = answer.contains("more");
    if (more) {
      EXPECT_EQ(answer.at("more"), true);
    }
    request = json::serialize(json::object{{"type", "file.write.list"}, {"after", listed.back()}});
  }
  EXPECT_GT(pages, 1);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_EQ(listed.size(), made.size());
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), made);
}

#ifndef _WIN32
// True once the process `pid` holds a descriptor open on `path`.
bool holdsOpen(pid_t pid, const std::string& path) {
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (std::filesystem::read_symlink(entry.path(), ec) == path) return true;
  }
  return false;
}

// One host ends a large part file while another keeps sending a small chunk into its middle,
// starting once the first holds the file open, as its flush runs: the end either fails, or
// answers "ok" with a saved file of exactly the length it checked.
TEST(TransferHostTest, AChunkRacingAnEndNeverChangesTheSavedFile) {
#ifdef TAMBERLO_SLOW_HOST
  constexpr uint64_t kSize = 8u << 20;
#else
  constexpr uint64_t kSize = 64u << 20;
#endif
  constexpr int kRounds = 8;
  const std::string part = "clip.mp4.part";
  FakeHome home;
  HostProcess ender(home.env()), writer(home.env());
  int saved = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::filesystem::remove(home / "clip.mp4");
    // Fresh bytes every round: the end's flush has all of them to write.
    testing::writeFile(home / part, std::string(kSize, static_cast<char>('a' + round)));
    ender.send(writeEnd(part, "clip.mp4", kSize));
    while (!holdsOpen(ender.pid(), home / part) && std::filesystem::exists(home / part)) {
    }
    std::atomic<bool> ended = false;
    std::thread chunks([&] {
      while (!ended) writer.request(writeChunk(part, 1u << 20, "abc"));
    });
    json::value end = json::parse(ender.receive().value_or("null"));
    ended = true;
    chunks.join();
    if (end.at("ok") == true) {
      ++saved;
      EXPECT_EQ(end, reply(R"({"ok":true,"name":"clip.mp4"})"));
      EXPECT_EQ(std::filesystem::file_size(home / "clip.mp4"), kSize) << "round " << round;
    } else {
      // A failed end leaves the file as its part, or names where it stands.
      if (!end.as_object().contains("name")) {
        EXPECT_FALSE(std::filesystem::exists(home / "clip.mp4")) << end;
      }
    }
  }
  std::cout << saved << " of " << kRounds << " ends saved\n";
}
#endif

}  // namespace
}  // namespace tamberlo
