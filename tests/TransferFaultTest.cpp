// Transfers over a file system that fails on demand: the errors a real disk will not produce
// when asked (a failing fstat, truncate or flush), races lost at an exact moment, and the order
// in which end flushes and moves.
#include <algorithm>
#include <filesystem>

#include "Platform/FileErrors.h"
#include "Platform/Linux/LinuxFileSystem.h"
#include "Platform/Linux/PosixError.h"
#include "TransferSteps.h"
#include "support/FaultInjectingFileSystem.h"

namespace tamberlo {
namespace {

using testing::FakeHome;
using testing::FaultInjectingFileSystem;
using testing::FileOp;
using testing::HandlerUnderTest;
using testing::listNames;
using testing::readFile;
using testing::writeFile;

Error outOfSpace() { return FileErrors::writeFailed(posixError(ENOSPC, "Cannot write the file")); }

TEST(TransferFaultTest, EveryFailingFileOperationGetsTheFailureReply) {
  struct Case {
    FileOp op;
    Error error;
    std::string request;
    std::string type;
    bool storage;
    std::string partAfter;  // what the part file holds afterwards
    // Instead of a fault, another handle (of another transfer) holds the part file's lock.
    bool lockedElsewhere = false;
  };
  const std::string part = "clip.mp4.part";
  const Case cases[] = {
      {FileOp::kOpen, posixError(EACCES, "Cannot open the file for writing"),
       writeChunk(part, 7, "h"), "file.write.chunk", false, "abcdefg"},
      {FileOp::kSize, posixError(EIO, "Cannot read the file's length"), writeChunk(part, 7, "h"),
       "file.write.chunk", false, "abcdefg"},
      {FileOp::kTruncate, posixError(EIO, "Cannot set the file's length"), writeChunk(part, 2, "h"),
       "file.write.chunk", false, "abcdefg"},
      {FileOp::kWrite, outOfSpace(), writeChunk(part, 7, "h"), "file.write.chunk", true, "abcdefg"},
      {FileOp::kWrite, posixError(EDQUOT, "Cannot write the file"), writeChunk(part, 7, "h"),
       "file.write.chunk", true, "abcdefg"},
      {FileOp::kWrite, posixError(EIO, "Cannot write the file"), writeChunk(part, 7, "h"),
       "file.write.chunk", false, "abcdefg"},
      // A rewind is cut back before the write fails.
      {FileOp::kWrite, outOfSpace(), writeChunk(part, 3, "h"), "file.write.chunk", true, "abc"},
      {FileOp::kOpenForReading, posixError(EACCES, "Cannot open the file for reading"),
       writeEnd(part, "clip.mp4", 7), "file.write.end", false, "abcdefg"},
      {FileOp::kSize, posixError(EIO, "Cannot read the file's length"),
       writeEnd(part, "clip.mp4", 7), "file.write.end", false, "abcdefg"},
      {FileOp::kSync, posixError(EIO, "Cannot flush the file to disk"),
       writeEnd(part, "clip.mp4", 7), "file.write.end", false, "abcdefg"},
      {FileOp::kSync, posixError(ENOSPC, "Cannot flush the file to disk"),
       writeEnd(part, "clip.mp4", 7), "file.write.end", true, "abcdefg"},
      {FileOp::kMove, posixError(EXDEV, "Cannot move the file"), writeEnd(part, "clip.mp4", 7),
       "file.write.end", false, "abcdefg"},
      {FileOp::kRemove, posixError(EACCES, "Cannot remove the file"), writeAbort(part),
       "file.write.abort", false, "abcdefg"},
      {FileOp::kOpen, FileErrors::locked(), writeChunk(part, 2, "h"), "file.write.chunk", false,
       "abcdefg", true},
      {FileOp::kOpenForReading, FileErrors::locked(), writeEnd(part, "clip.mp4", 7),
       "file.write.end", false, "abcdefg", true},
      {FileOp::kOpenForReading, FileErrors::locked(), writeStatus(part), "file.write.status", false,
       "abcdefg", true},
  };
  for (const Case& c : cases) {
    const std::string label = std::string(testing::nameOf(c.op)) + " " + c.request;
    FakeHome home;
    FaultInjectingFileSystem files;
    HandlerUnderTest t(files, home.downloads());
    play(t, {{writeBegin("clip.mp4"),
              {{"ok", true}, {"part", part}},
              {info("file.write.begin <private>")}},
             {writeChunk(part, 0, "abcdefg"), {{"ok", true}, {"size", 7}}}});
    std::unique_ptr<OpenFile> holder;
    if (c.lockedElsewhere) {
      Result<std::unique_ptr<OpenFile>> opened =
          makeSystemFileSystem()->openForReading(home / part);
      ASSERT_TRUE(opened) << label;
      holder = std::move(*opened);
      ASSERT_TRUE(holder->lock()) << label;
    } else {
      files.fail(c.op, c.error);
    }
    play(t, {{c.request,
              failed(c.error.description, c.storage),
              {failedLine(c.type, c.error.description, c.storage)}}});
    EXPECT_EQ(readFile(home / part), c.partAfter) << label;
    EXPECT_EQ(testing::listNames(home.downloads()), std::vector<std::string>{part}) << label;
  }
}

// The bytes reach the disk before the move makes them the saved file, and the folder's new
// entry reaches it before the reply says so; no handle is left open past its message.
TEST(TransferFaultTest, EndFlushesTheFileBeforeTheMoveAndTheFolderAfterIt) {
  FakeHome home;
  FaultInjectingFileSystem files;
  HandlerUnderTest t(files, home.downloads());
  play(t, {{writeBegin("clip.mp4"),
            {{"ok", true}, {"part", "clip.mp4.part"}},
            {info("file.write.begin <private>")}},
           {writeChunk("clip.mp4.part", 0, "abcdefg"), {{"ok", true}, {"size", 7}}},
           {writeChunk("clip.mp4.part", 2, "XY"), {{"ok", true}, {"size", 4}}},
           {writeEnd("clip.mp4.part", "clip.mp4", 4),
            {{"ok", true}, {"name", "clip.mp4"}},
            {info("file.write.end: saved 4 bytes as <private>")}}});
  EXPECT_EQ(files.journal(),
            (std::vector<std::string>{"create",                                      // begin
                                      "open", "size", "write", "close",              // append
                                      "open", "size", "truncate", "write", "close",  // rewind
                                      // end, its handle held until the length is
                                      // read again after the move
                                      "open for reading", "size", "sync", "move", "size",
                                      "sync folder", "close"}));
  EXPECT_EQ(readFile(home / "clip.mp4"), "abXY");
}

// The folder flush comes after the move, so when it fails the file already stands under its
// final name: the reply names it, and the log says what failed.
TEST(TransferFaultTest, FailingFolderFlushStillNamesTheSavedFile) {
  FakeHome home;
  FaultInjectingFileSystem files;
  HandlerUnderTest t(files, home.downloads());
  writeFile(home / "clip.mp4.part", "abc");
  const Error error = posixError(EIO, "Cannot flush the folder to disk");
  files.fail(FileOp::kSyncFolder, error);
  play(t, {{writeEnd("clip.mp4.part", "clip.mp4", 3),
            {{"ok", true}, {"name", "clip.mp4"}},
            {::tamberlo::error("file.write.end: saved, but the folder flush failed: " +
                               error.description),
             info("file.write.end: saved 3 bytes as <private>")}}});
  EXPECT_EQ(readFile(home / "clip.mp4"), "abc");
}

// Another process creates the part name between our look and our creation: we go on to the
// next free name and leave its file alone.
TEST(TransferFaultTest, BeginLosingTheRaceForANameTakesTheNextFreeOne) {
  FakeHome home;
  FaultInjectingFileSystem files;
  HandlerUnderTest t(files, home.downloads());
  files.before(FileOp::kCreate, [&] { writeFile(home / "clip.mp4.part", "theirs"); });
  play(t, {{writeBegin("clip.mp4"),
            {{"ok", true}, {"part", "clip.mp4 (1).part"}},
            {info("file.write.begin <private>")}}});
  EXPECT_EQ(readFile(home / "clip.mp4.part"), "theirs");
  EXPECT_EQ(readFile(home / "clip.mp4 (1).part"), "");
  EXPECT_EQ(files.journal(), (std::vector<std::string>{"create", "create"}));
}

// Another process saves a file under our final name between our look and our move: the move
// replaces nothing, and end goes on to the next free name, for a bounded number of tries.
TEST(TransferFaultTest, EndLosingTheRaceForAFinalNameTakesTheNextFreeOne) {
  FakeHome home;
  FaultInjectingFileSystem files;
  HandlerUnderTest t(files, home.downloads());
  writeFile(home / "clip.mp4.part", "ours");
  files.before(FileOp::kMove, [&] { writeFile(home / "clip.mp4", "theirs"); });
  play(t, {{writeEnd("clip.mp4.part", "clip.mp4", 4),
            {{"ok", true}, {"name", "clip (1).mp4"}},
            {info("file.write.end: saved 4 bytes as <private>")}}});
  EXPECT_EQ(readFile(home / "clip.mp4"), "theirs");
  EXPECT_EQ(readFile(home / "clip (1).mp4"), "ours");

  // A name that is taken again at every try: end gives up with the part file in place.
  writeFile(home / "other.part", "ours");
  const Error exists = FileErrors::nameTaken(posixError(EEXIST, "Cannot move the file"));
  files.fail(FileOp::kMove, exists);
  auto moves = [&] { return std::count(files.journal().begin(), files.journal().end(), "move"); };
  const auto movesBefore = moves();
  play(t, {{writeEnd("other.part", "other", 4),
            failed(exists.description),
            {failedLine("file.write.end", exists.description)}}});
  EXPECT_EQ(moves() - movesBefore, Transfers::kMoveTries);
  EXPECT_EQ(readFile(home / "other.part"), "ours");
}

// Where the file system neither renames without replacing nor makes hard links, end still
// saves the file, looking at the final name right before a plain rename.
TEST(TransferFaultTest, EndWithoutNoReplaceRenameOrHardLinks) {
  // The kernel refuses both calls as such a file system does; `beforeLink` runs at the moment
  // another process would have to act to take the free name.
  struct WithoutNoReplaceMoves : LinuxFileSystem {
    std::function<void()> beforeLink;
    int renameNoReplace(const std::string&, const std::string&) override { return EINVAL; }
    int hardLink(const std::string&, const std::string&) override {
      if (beforeLink) std::exchange(beforeLink, nullptr)();
      return EPERM;
    }
  };
  FakeHome home;
  WithoutNoReplaceMoves files;
  HandlerUnderTest t(files, home.downloads());
  writeFile(home / "clip.mp4", "kept");
  writeFile(home / "a.part", "first");
  writeFile(home / "b.part", "second");
  // The name found free is taken before the rename: the look finds it and moves on.
  files.beforeLink = [&] { writeFile(home / "clip (1).mp4", "theirs"); };
  play(t, {{writeEnd("a.part", "clip.mp4", 5),
            {{"ok", true}, {"name", "clip (2).mp4"}},
            {info("file.write.end: saved 5 bytes as <private>")}},
           {writeEnd("b.part", "new.mp4", 6),
            {{"ok", true}, {"name", "new.mp4"}},
            {info("file.write.end: saved 6 bytes as <private>")}}});
  EXPECT_EQ(readFile(home / "clip.mp4"), "kept");
  EXPECT_EQ(readFile(home / "clip (1).mp4"), "theirs");
  EXPECT_EQ(readFile(home / "clip (2).mp4"), "first");
  EXPECT_EQ(readFile(home / "new.mp4"), "second");
  EXPECT_EQ(listNames(home.downloads()),
            (std::vector<std::string>{"clip (1).mp4", "clip (2).mp4", "clip.mp4", "new.mp4"}));
}

// Another process puts a link under the part name between end's check and its move: what
// stands at the final name afterwards is the checked file or nothing, never the link.
TEST(TransferFaultTest, EndMovesOnlyTheFileItChecked) {
  FakeHome home;
  testing::TempDir outside;
  writeFile(outside / "notes.txt", "private");
  FaultInjectingFileSystem files;
  HandlerUnderTest t(files, home.downloads());
  writeFile(home / "clip.mp4.part", "ours");
  files.before(FileOp::kMove, [&] {
    std::filesystem::rename(home / "clip.mp4.part", home / "elsewhere");
    std::filesystem::create_symlink(outside / "notes.txt", home / "clip.mp4.part");
  });
  const std::string swapped = "Cannot move the file: another file took its place.";
  play(t, {{writeEnd("clip.mp4.part", "clip.mp4", 4),
            failed(swapped),
            {failedLine("file.write.end", swapped)}}});
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(home / "clip.mp4")));
  EXPECT_TRUE(std::filesystem::is_symlink(home / "clip.mp4.part"));
  EXPECT_EQ(readFile(home / "elsewhere"), "ours");
  EXPECT_EQ(readFile(outside / "notes.txt"), "private");
}

// A program that ignores the lock writes to the file while end moves it: end fails, and the file
// goes back to its part name with every byte, where the transfer can be looked at again.
TEST(TransferFaultTest, EndWhoseFileGrowsDuringTheMoveKeepsItAsThePart) {
  FakeHome home;
  FaultInjectingFileSystem files;
  HandlerUnderTest t(files, home.downloads());
  writeFile(home / "clip.mp4.part", "abcdefg");
  files.before(FileOp::kMove, [&] { writeFile(home / "clip.mp4.part", "abcdefgh"); });
  play(t, {{writeEnd("clip.mp4.part", "clip.mp4", 7),
            {{"ok", false}, {"error", "written 8 of 7 bytes"}},
            {error("file.write.end: the file changed while it was saved; kept as its part file")}},
           {writeStatus("clip.mp4.part"), {{"ok", true}, {"size", 8}}}});
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{"clip.mp4.part"});
}

// A chunk opens the part file just before another host's end moves it to its final name and lets
// go of the lock: the lock the chunk then gets holds a saved file, which it must leave alone.
TEST(TransferFaultTest, AChunkWhosePartIsSavedBeforeItsLockLeavesTheSavedFileAlone) {
  struct SavedRightAfterTheOpen : FileSystemWrapper {
    using FileSystemWrapper::FileSystemWrapper;
    Result<std::unique_ptr<WritableFile>> openForWriting(const std::string& path) override {
      Result<std::unique_ptr<WritableFile>> file = FileSystemWrapper::openForWriting(path);
      std::filesystem::rename(path, std::filesystem::path(path).parent_path() / "clip.mp4");
      return file;
    }
  };
  FakeHome home;
  SavedRightAfterTheOpen files(makeSystemFileSystem());
  HandlerUnderTest t(files, home.downloads());
  writeFile(home / "clip.mp4.part", "abcdefg");
  const std::string locked = FileErrors::locked().description;
  play(t, {{writeChunk("clip.mp4.part", 2, "h"),
            failed(locked),
            {failedLine("file.write.chunk", locked)}}});
  EXPECT_EQ(readFile(home / "clip.mp4"), "abcdefg");
  EXPECT_EQ(listNames(home.downloads()), std::vector<std::string>{"clip.mp4"});
}

// Two aborts of one transfer race: whichever removes the part file second still hears "ok".
TEST(TransferFaultTest, AbortWhoseFileVanishesFirstIsStillOk) {
  FakeHome home;
  FaultInjectingFileSystem files;
  HandlerUnderTest t(files, home.downloads());
  writeFile(home / "clip.mp4.part", "abc");
  files.before(FileOp::kRemove, [&] { std::remove((home / "clip.mp4.part").c_str()); });
  play(t, {{writeAbort("clip.mp4.part"), {{"ok", true}}, {info("file.write.abort <private>")}}});
}

TEST(TransferFaultTest, IsDiskFullIsTheNoSpaceKindWhereverTheErrorWasMade) {
  // Errors are classified where they are made, as the file system makes them; the file errors
  // built on top keep their cause's kind only where it means the same.
  struct Case {
    std::string label;
    Error error;
    bool full;
  };
  const Case cases[] = {
      {"out of space", outOfSpace(), true},
      {"ENOSPC", posixError(ENOSPC, "description"), true},
      {"EDQUOT", posixError(EDQUOT, "description"), true},
      {"EFBIG", posixError(EFBIG, "description"), false},
      {"EROFS", posixError(EROFS, "description"), false},
      {"write error over EIO", FileErrors::writeFailed(posixError(EIO, "d")), false},
      {"name taken over ENOSPC", FileErrors::nameTaken(posixError(ENOSPC, "d")), false},
      {"no such file", FileErrors::noSuchFile("op", posixError(ENOENT, "d")), false},
      {"locked", FileErrors::locked(), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SafariWebExtensionHandler::isDiskFull(c.error), c.full) << c.label;
  }
}

}  // namespace
}  // namespace tamberlo
