// The whole request path on arbitrary bytes: the input is what a browser would write to the
// host's standard input, served by serveNativeMessages against a real Downloads folder in a
// temporary home. After each input:
// - every whole frame got exactly one reply, each valid JSON, a non-empty object, under 1 MiB;
// - nothing outside Downloads was created, changed or removed;
// - inside Downloads only names ending in ".part" were written, cut back or removed, and a new
//   name of another kind appeared only as the final name of a successful end;
// - open and reveal were asked only about direct children of Downloads;
// - every log line is one of the host's own lines, with file names and contents hidden.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "Encoding/Utf8.h"
#include "Extension/SafariWebExtensionHandler.h"
#include "Host/Framing.h"
#include "Host/NativeHost.h"
#include "support/CapturingSink.h"

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "request path invariant broken: %s\n", what.c_str());
  std::abort();
}

// What a tree holds: each path under the root with its kind and, for files, its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root, const fs::path& skip) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!skip.empty() && it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    std::string key;
    switch (it->symlink_status().type()) {
      case fs::file_type::regular: {
        std::ifstream in(it->path(), std::ios::binary);
        key = "file:" + std::string(std::istreambuf_iterator<char>(in), {});
        break;
      }
      case fs::file_type::directory:
        key = "folder";
        break;
      case fs::file_type::symlink:
        key = "link:" + fs::read_symlink(it->path(), ec).string();
        break;
      case fs::file_type::fifo:
        key = "fifo";
        break;
      default:
        key = "other";
    }
    entries[it->path().lexically_relative(root).string()] = key;
  }
  return entries;
}

// A desktop that launches nothing and checks that it is asked only about Downloads' children.
class CheckingDesktop : public tamberlo::Desktop {
 public:
  explicit CheckingDesktop(std::string folder) : folder_(std::move(folder)) {}
  tamberlo::OpenOutcome open(const std::string& path) override {
    check(path);
    return tamberlo::OpenOutcome::kOpened;
  }
  void reveal(const std::string& path) override { check(path); }

 private:
  void check(const std::string& path) {
    fs::path p(path);
    if (p.parent_path() != fs::path(folder_) || p.filename() == "." || p.filename() == "..") {
      fail("the desktop was asked about " + path);
    }
  }
  std::string folder_;
};

struct World {
  fs::path root;
  fs::path home;
  fs::path downloads;
  std::map<std::string, std::string> outside;

  World() {
    // A memory-backed folder where there is one: the target resets Downloads for every input.
    std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    std::string pattern = base + "/tamberlo-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    root = pattern;
    home = root / "home";
    downloads = home / "Downloads";
    fs::create_directories(downloads);
    fs::create_directories(root / "elsewhere");
    std::ofstream(root / "elsewhere" / "target.bin") << "outside the folder";
    std::ofstream(home / "secret.txt") << "the user's own file";
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    outside = snapshot(root, downloads);
  }

  ~World() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // Downloads as every input finds it: final files, part files, and things named like part
  // files that are no regular files.
  void reset() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(downloads, ec)) fs::remove_all(entry, ec);
    std::ofstream(downloads / "clip.mp4") << "final";
    std::ofstream(downloads / "clip (1).mp4") << "copy";
    std::ofstream(downloads / "clip.mp4.part") << "abc";
    std::ofstream(downloads / "notes") << "notes";
    fs::create_directory(downloads / "dir.part");
    std::ofstream(downloads / "dir.part" / "inner") << "inner";
    fs::create_symlink(root / "elsewhere" / "target.bin", downloads / "link.part");
    fs::create_symlink(root / "elsewhere", downloads / "linkdir.part");
    fs::create_symlink(root / "elsewhere" / "missing", downloads / "dangling.part");
    ::mkfifo((downloads / "fifo.part").c_str(), 0644);
  }
};

World& world() {
  static World w;
  return w;
}

int memoryFile(const uint8_t* data, size_t size) {
  int fd = ::memfd_create("frames", MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create");
  for (size_t done = 0; done < size;) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) fail("write to memfd");
    done += static_cast<size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string readAll(int fd) {
  std::string out;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[1 << 16];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  return out;
}

// The number of whole frames in the input: a frame cut short by the end of input ends it.
size_t wholeFrames(const uint8_t* data, size_t size) {
  size_t count = 0, at = 0;
  while (size - at >= 4) {
    uint32_t length;
    std::memcpy(&length, data + at, 4);
    if (length > size - at - 4) break;
    ++count;
    at += 4 + length;
  }
  return count;
}

bool isPartName(const std::string& name) {
  return name.size() > 5 && name.ends_with(".part") && name.find('/') == std::string::npos;
}

// An error description: an English sentence naming the operation and the reason, never a path.
bool isDescription(std::string_view text) {
  if (text.empty() || text.front() < 'A' || text.front() > 'Z') return false;
  for (char c : text) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && std::string_view(" ,':.()-").find(c) == std::string_view::npos) return false;
  }
  return true;
}

// The host's own log lines, with the public values each may carry. A message type is public;
// names and message contents only ever appear as "<private>".
void checkLogLine(std::string_view line) {
  static const std::set<std::string_view> kFixed = {
      "Native message: <private>",
      "file.write.begin <private>",
      "file.write.end: the file changed while it was saved; kept as its part file",
      "file.write.end: the file changed while it was saved; kept as <private>",
      "file.write.abort <private>",
      "file.exists: found <private>",
      "file.exists: not found <private>",
      "file.open: not in Downloads <private>",
      "file.reveal: not in Downloads <private>",
      "file.open: opened",
      "file.open: not opened",
      "file.reveal: shown in Finder",
  };
  if (kFixed.contains(line)) return;
  if (line.starts_with("file.") &&
      line.ends_with(": refused a name that is not one file in Downloads")) {
    return;
  }
  constexpr std::string_view kSaved = "file.write.end: saved ";
  constexpr std::string_view kAs = " bytes as <private>";
  if (line.starts_with(kSaved) && line.ends_with(kAs) && line.size() > kSaved.size() + kAs.size()) {
    std::string_view count = line.substr(kSaved.size(), line.size() - kSaved.size() - kAs.size());
    if (count.find_first_not_of("0123456789") == std::string_view::npos) return;
  }
  constexpr std::string_view kNotCreated =
      "file.write.begin: cannot create the file in Downloads: ";
  if (line.starts_with(kNotCreated) && isDescription(line.substr(kNotCreated.size()))) return;
  constexpr std::string_view kUnflushed = "file.write.end: saved, but the folder flush failed: ";
  if (line.starts_with(kUnflushed) && isDescription(line.substr(kUnflushed.size()))) return;
  for (std::string_view type : {"file.write.chunk", "file.write.end", "file.write.abort"}) {
    for (std::string_view failed : {" failed: ", " failed (disk full): "}) {
      std::string head = std::string(type) + std::string(failed);
      if (line.starts_with(head) && isDescription(line.substr(head.size()))) return;
    }
  }
  fail("unexpected log line: " + std::string(line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = world();
  w.reset();
  const std::map<std::string, std::string> before = snapshot(w.downloads, {});

  auto sink = std::make_unique<tamberlo::CapturingSink>();
  tamberlo::CapturingSink* log = sink.get();
  std::unique_ptr<tamberlo::FileSystem> files = tamberlo::makeSystemFileSystem();
  CheckingDesktop desktop(w.downloads.string());
  tamberlo::SafariWebExtensionHandler handler(
      *files, desktop, tamberlo::SafariWebExtensionHandler::downloadsFolder(*files),
      std::move(sink));

  int in = memoryFile(data, size);
  int out = ::memfd_create("replies", MFD_CLOEXEC);
  if (tamberlo::serveNativeMessages(in, out, handler) != 0) fail("nonzero exit status");
  std::string replies = readAll(out);
  ::close(in);
  ::close(out);

  // Exactly one reply per whole frame, each a valid JSON object under the browsers' limit.
  json::parse_options deep;
  deep.max_depth = tamberlo::kMaxMessageDepth + 8;
  std::set<std::string> savedNames;
  size_t count = 0;
  for (size_t at = 0; at < replies.size(); ++count) {
    if (replies.size() - at < 4) fail("a reply frame cut short");
    uint32_t length;
    std::memcpy(&length, replies.data() + at, 4);
    if (length > tamberlo::kMaxOutgoingFrame) fail("a reply over 1 MiB");
    if (replies.size() - at - 4 < length) fail("a reply frame cut short");
    std::string_view text(replies.data() + at + 4, length);
    at += 4 + length;
    boost::system::error_code ec;
    json::value reply = json::parse(text, ec, {}, deep);
    if (ec || !reply.is_object() || reply.as_object().empty()) {
      fail("a reply that is not a JSON object: " + std::string(text));
    }
    const json::object& object = reply.as_object();
    const json::value* ok = object.if_contains("ok");
    const json::value* name = object.if_contains("name");
    if (ok && ok->is_bool() && ok->as_bool() && name && name->is_string()) {
      savedNames.insert(std::string(name->as_string()));
    }
  }
  if (count != wholeFrames(data, size)) fail("replies and frames differ in number");

  if (snapshot(w.root, w.downloads) != w.outside) fail("something outside Downloads changed");

  std::map<std::string, std::string> after = snapshot(w.downloads, {});
  for (const auto& [name, key] : before) {
    auto now = after.find(name);
    bool same = now != after.end() && now->second == key;
    if (!same && !isPartName(name)) fail("a file that is not a part file changed: " + name);
  }
  for (const auto& [name, key] : after) {
    if (before.contains(name) || isPartName(name)) continue;
    if (!savedNames.contains(name) || !key.starts_with("file:")) {
      fail("a name appeared that no end saved: " + name);
    }
  }

  for (const tamberlo::CapturingSink::Line& line : log->lines()) checkLogLine(line.text);
  return 0;
}
