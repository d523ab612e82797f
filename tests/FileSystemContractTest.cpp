// The contracts of FileSystem, one table run against the system's file system and against the
// in-memory one the rule tests use: the check that keeps the in-memory one honest.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/MemoryFileSystem.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

using testing::MemoryFileSystem;

// An empty folder on one file system, and a way to make folders there.
struct Place {
  std::unique_ptr<FileSystem> files;
  std::string folder;
  std::function<void(const std::string&)> makeFolder;
  std::unique_ptr<testing::TempDir> temp;  // the folder on disk
};

Place onDisk() {
  Place place;
  place.temp = std::make_unique<testing::TempDir>();
  place.folder = place.temp->path();
  place.files = makeSystemFileSystem();
  place.makeFolder = [](const std::string& path) {
    std::filesystem::create_directory(pathFromUtf8(path));
  };
  return place;
}

Place inMemory() {
  auto memory = std::make_unique<MemoryFileSystem>();
  MemoryFileSystem* files = memory.get();
  Place place;
  place.folder = "/tmp/contract";
  files->makeFolder(place.folder);
  place.files = std::move(memory);
  place.makeFolder = [files](const std::string& path) { files->makeFolder(path); };
  return place;
}

std::span<const uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::optional<ErrorKind> kindOf(const Status& status) {
  if (status) return std::nullopt;
  return status.error().kind;
}

std::vector<std::string> listed(FileSystem& files, const std::string& folder) {
  std::vector<std::string> names;
  EXPECT_TRUE(files.listDirectory(folder, [&](std::string_view n) { names.emplace_back(n); }));
  return names;
}

uint64_t sizeOf(FileSystem& files, const std::string& path) {
  return files.regularFileFacts(path).value_or(FileFacts{~0ull, kDistantPast}).size;
}

struct Contract {
  std::string what;
  std::function<void(Place&)> check;
};

const Contract kContracts[] = {
    {"createExclusive makes an empty file once; the name taken reads as kExists",
     [](Place& p) {
       const std::string a = p.folder + "/a";
       EXPECT_TRUE(p.files->createExclusive(a));
       EXPECT_TRUE(p.files->exists(a));
       EXPECT_EQ(sizeOf(*p.files, a), 0u);
       EXPECT_EQ(kindOf(p.files->createExclusive(a)), ErrorKind::kExists);
       p.makeFolder(p.folder + "/sub");
       EXPECT_EQ(kindOf(p.files->createExclusive(p.folder + "/sub")), ErrorKind::kExists);
     }},
    {"createExclusive in a missing folder fails as kNotFound",
     [](Place& p) {
       EXPECT_EQ(kindOf(p.files->createExclusive(p.folder + "/missing/a")), ErrorKind::kNotFound);
       EXPECT_FALSE(p.files->exists(p.folder + "/missing"));
     }},
    {"the opens never create: a missing file fails as kNotFound",
     [](Place& p) {
       const std::string a = p.folder + "/a";
       auto writing = p.files->openForWriting(a);
       ASSERT_FALSE(writing);
       EXPECT_EQ(writing.error().kind, ErrorKind::kNotFound);
       auto reading = p.files->openForReading(a);
       ASSERT_FALSE(reading);
       EXPECT_EQ(reading.error().kind, ErrorKind::kNotFound);
       EXPECT_FALSE(p.files->exists(a));
     }},
    {"the opens refuse a folder",
     [](Place& p) {
       p.makeFolder(p.folder + "/sub");
       EXPECT_FALSE(p.files->openForWriting(p.folder + "/sub"));
       EXPECT_FALSE(p.files->openForReading(p.folder + "/sub"));
       EXPECT_FALSE(p.files->regularFileFacts(p.folder + "/sub"));
     }},
    {"writeAt stores every byte at its offset, past the end with zeros between; truncate cuts",
     [](Place& p) {
       const std::string a = p.folder + "/a";
       ASSERT_TRUE(p.files->createExclusive(a));
       auto file = p.files->openForWriting(a);
       ASSERT_TRUE(file);
       EXPECT_TRUE((*file)->writeAt(0, bytesOf("abc")));
       EXPECT_TRUE((*file)->writeAt(5, bytesOf("fg")));
       EXPECT_EQ((*file)->size().value(), 7u);
       EXPECT_TRUE((*file)->truncate(4));
       EXPECT_EQ((*file)->size().value(), 4u);
       EXPECT_TRUE((*file)->sync());
       EXPECT_EQ(sizeOf(*p.files, a), 4u);
     }},
    {"two handles of one file share its identity; another file has its own",
     [](Place& p) {
       ASSERT_TRUE(p.files->createExclusive(p.folder + "/a"));
       ASSERT_TRUE(p.files->createExclusive(p.folder + "/b"));
       auto a1 = p.files->openForWriting(p.folder + "/a");
       auto a2 = p.files->openForReading(p.folder + "/a");
       auto b = p.files->openForReading(p.folder + "/b");
       ASSERT_TRUE(a1 && a2 && b);
       EXPECT_EQ((*a1)->identity(), (*a2)->identity());
       EXPECT_NE((*a1)->identity(), (*b)->identity());
       // The name leads to the file its handles hold, and nowhere once it is gone.
       EXPECT_EQ(p.files->identityAt(p.folder + "/a"), (*a1)->identity());
       EXPECT_EQ(p.files->identityAt(p.folder + "/missing"), std::nullopt);
     }},
    {"a lock is the handle's: another handle gets kLocked until the holder is closed",
     [](Place& p) {
       const std::string a = p.folder + "/a";
       ASSERT_TRUE(p.files->createExclusive(a));
       auto first = p.files->openForWriting(a);
       auto second = p.files->openForReading(a);
       ASSERT_TRUE(first && second);
       EXPECT_TRUE((*first)->lock());
       EXPECT_EQ(kindOf((*second)->lock()), ErrorKind::kLocked);
       first->reset();
       EXPECT_TRUE((*second)->lock());
     }},
    {"moveNoReplace moves the expected file and never replaces a taken name",
     [](Place& p) {
       const std::string a = p.folder + "/a", b = p.folder + "/b", c = p.folder + "/c";
       ASSERT_TRUE(p.files->createExclusive(a));
       ASSERT_TRUE(p.files->createExclusive(b));
       auto file = p.files->openForWriting(a);
       ASSERT_TRUE(file);
       ASSERT_TRUE((*file)->writeAt(0, bytesOf("moved")));
       const FileIdentity identity = (*file)->identity();
       EXPECT_EQ(kindOf(p.files->moveNoReplace(a, b, identity)), ErrorKind::kExists);
       EXPECT_EQ(sizeOf(*p.files, a), 5u);
       EXPECT_EQ(sizeOf(*p.files, b), 0u);
       EXPECT_TRUE(p.files->moveNoReplace(a, c, identity));
       EXPECT_FALSE(p.files->exists(a));
       EXPECT_EQ(sizeOf(*p.files, c), 5u);
       EXPECT_EQ(kindOf(p.files->moveNoReplace(a, p.folder + "/d", identity)),
                 ErrorKind::kNotFound);
     }},
    {"moveNoReplace of a file that is not the expected one fails and leaves no file at `to`",
     [](Place& p) {
       const std::string a = p.folder + "/a", b = p.folder + "/b";
       ASSERT_TRUE(p.files->createExclusive(a));
       ASSERT_TRUE(p.files->createExclusive(b));
       auto other = p.files->openForReading(b);
       ASSERT_TRUE(other);
       EXPECT_FALSE(p.files->moveNoReplace(a, p.folder + "/c", (*other)->identity()));
       EXPECT_FALSE(p.files->exists(p.folder + "/c"));
       EXPECT_TRUE(p.files->exists(a));
     }},
    {"removeFile removes a file, refuses a folder and fails on nothing as kNotFound",
     [](Place& p) {
       ASSERT_TRUE(p.files->createExclusive(p.folder + "/a"));
       p.makeFolder(p.folder + "/sub");
       EXPECT_TRUE(p.files->removeFile(p.folder + "/a"));
       EXPECT_FALSE(p.files->exists(p.folder + "/a"));
       EXPECT_EQ(kindOf(p.files->removeFile(p.folder + "/a")), ErrorKind::kNotFound);
       EXPECT_FALSE(p.files->removeFile(p.folder + "/sub"));
       EXPECT_TRUE(p.files->exists(p.folder + "/sub"));
     }},
    {"listDirectory gives files and folders, skips hidden names, in one stable order",
     [](Place& p) {
       for (const char* name : {"b", "a", ".hidden", "c (1).mp4"}) {
         ASSERT_TRUE(p.files->createExclusive(p.folder + "/" + name));
       }
       p.makeFolder(p.folder + "/sub");
       std::vector<std::string> names = listed(*p.files, p.folder);
       EXPECT_EQ(listed(*p.files, p.folder), names);
       std::sort(names.begin(), names.end());
       EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c (1).mp4", "sub"}));
       EXPECT_TRUE(p.files->syncDirectory(p.folder));
     }},
    {"listing or flushing a missing folder fails",
     [](Place& p) {
       EXPECT_EQ(kindOf(p.files->listDirectory(p.folder + "/missing", [](std::string_view) {})),
                 ErrorKind::kNotFound);
       EXPECT_FALSE(p.files->syncDirectory(p.folder + "/missing"));
       const OriginMark mark{"https://a.example/v.mp4", ""};
       EXPECT_EQ(kindOf(p.files->markOrigin(p.folder + "/missing", mark)), ErrorKind::kNotFound);
     }},
    {"creationDate and regularFileFacts read nothing where nothing stands",
     [](Place& p) {
       EXPECT_FALSE(p.files->creationDate(p.folder + "/missing"));
       EXPECT_FALSE(p.files->regularFileFacts(p.folder + "/missing"));
       ASSERT_TRUE(p.files->createExclusive(p.folder + "/a"));
       EXPECT_TRUE(p.files->creationDate(p.folder + "/a"));
       EXPECT_TRUE(p.files->exists(p.folder + "/a") && p.files->targetExists(p.folder + "/a"));
     }},
};

class FileSystemContractTest : public ::testing::TestWithParam<std::string> {
 protected:
  Place place() { return GetParam() == "memory" ? inMemory() : onDisk(); }
};

TEST_P(FileSystemContractTest, KeepsEveryContract) {
  for (const Contract& contract : kContracts) {
    SCOPED_TRACE(contract.what);
    Place p = place();
    contract.check(p);
  }
}

INSTANTIATE_TEST_SUITE_P(BothFileSystems, FileSystemContractTest,
                         ::testing::Values("memory", "system"));

}  // namespace
}  // namespace tamberlo
