// The replay of recorded file-system calls on traces written by hand: how
// descriptors, offsets, links, processes and the two crash models are
// followed, and that a call the replay cannot follow is reported, never
// passed over.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/crash_replay.h"
#include "support/files.h"

namespace {

using zq_test::CrashModel;
using zq_test::CrashReplay;
using zq_test::FileSystemModel;
using zq_test::TreeEntry;
using zq_test::TreeState;

// A string argument as strace -xx prints it.
std::string Hex(const std::string& bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : bytes) {
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out + "\"";
}

// The root /r holds slotA/doc ("old"), an empty directory slotB, and the
// link app -> /r/slotA.
FileSystemModel Snapshot() {
  FileSystemModel model;
  std::string error;
  int slot = model.Create(FileSystemModel::kRoot, "slotA", TreeEntry::kDirectory, 0755, "", &error);
  int doc = model.Create(slot, "doc", TreeEntry::kFile, 0644, "", &error);
  model.Write(doc, 0, "old");
  model.Sync(doc);
  model.Create(FileSystemModel::kRoot, "slotB", TreeEntry::kDirectory, 0755, "", &error);
  model.Create(FileSystemModel::kRoot, "app", TreeEntry::kLink, 0777, "/r/slotA", &error);
  return model;
}

CrashReplay Replay(const std::string& trace_text) {
  return zq_test::ReplayTrace(zq_test::ParseStraceOutput(trace_text), Snapshot(), {"/r", "/w", 022});
}

std::string Errors(const CrashReplay& replay) {
  std::string all;
  for (const std::string& error : replay.errors) all += error + "\n";
  return all;
}

// The bytes of `path` in the last state under `model`; "<none>" when absent.
std::string Last(const CrashReplay& replay, CrashModel model, const std::string& path) {
  const TreeState& state = replay.State(model, replay.states() - 1);
  auto found = state.find(path);
  return found == state.end() ? "<none>" : found->second.bytes;
}

TEST(CrashReplayTest, WritesLandInTheInodeTheirDescriptorNamesWhateverWasRenamedSince) {
  CrashReplay replay = Replay(
      "100 openat(AT_FDCWD, " + Hex("/r/app/doc.tmp") + ", O_WRONLY|O_CREAT|O_TRUNC|O_CLOEXEC, 0666) = 3\n"
      "100 dup2(3, 7) = 7\n"
      "100 close(3) = 0\n"
      "100 write(7, " + Hex("ne") + ", 2 <unfinished ...>\n"
      "100 write(1, " + Hex("log line") + ", 8) = 8\n"
      "100 <... write resumed>) = 2\n"
      "100 rename(" + Hex("/r/slotA/doc.tmp") + ", " + Hex("/r/slotA/doc") + ") = 0\n"
      "100 write(7, " + Hex("w!") + ", 2) = 2\n"
      "100 fsync(7) = 0\n");
  EXPECT_EQ("", Errors(replay));
  ASSERT_EQ(5u, replay.steps.size());  // create, write, rename, write, fsync
  EXPECT_EQ("new!", Last(replay, CrashModel::kOrdered, "slotA/doc"));
  EXPECT_EQ(0644u, replay.ordered.back().at("slotA/doc").mode);
  // Cut after the rename: the old bytes are gone with the old inode, and
  // the new ones were never synced.
  EXPECT_EQ("ne", replay.State(CrashModel::kOrdered, 3).at("slotA/doc").bytes);
  EXPECT_EQ("", replay.State(CrashModel::kWriteBack, 3).at("slotA/doc").bytes);
  EXPECT_EQ("new!", Last(replay, CrashModel::kWriteBack, "slotA/doc"));
  EXPECT_EQ("old", replay.State(CrashModel::kWriteBack, 0).at("slotA/doc").bytes);
}

TEST(CrashReplayTest, ATruncationPersistsUnderWriteBackWhileTheBytesAfterItDoNot) {
  CrashReplay replay = Replay("100 openat(AT_FDCWD, " + Hex("/r/slotA/doc") + ", O_WRONLY|O_TRUNC) = 4\n"
                              "100 write(4, " + Hex("newer") + ", 5) = 5\n"
                              "100 close(4) = 0\n");
  EXPECT_EQ("", Errors(replay));
  EXPECT_EQ("newer", Last(replay, CrashModel::kOrdered, "slotA/doc"));
  EXPECT_EQ("", Last(replay, CrashModel::kWriteBack, "slotA/doc"));
  EXPECT_EQ("", replay.State(CrashModel::kOrdered, 1).at("slotA/doc").bytes);
}

TEST(CrashReplayTest, OffsetsFollowSeeksReadsAppendsPositionedAndShortWrites) {
  CrashReplay replay = Replay(
      "100 openat(AT_FDCWD, " + Hex("/r/slotB/f") + ", O_RDWR|O_CREAT, 0600) = 3\n"
      "100 write(3, " + Hex("abcdef") + ", 6) = 6\n"
      "100 lseek(3, 1, SEEK_SET) = 1\n"
      "100 read(0x3, 0x7ffd0000, 0x2) = 0x2\n"
      "100 write(3, " + Hex("XYZ") + ", 3) = 2\n"
      "100 pwrite64(3, " + Hex("p") + ", 1, 0) = 1\n"
      "100 writev(3, [{iov_base=" + Hex("12") + ", iov_len=2}, {iov_base=" + Hex("34") + ", iov_len=2}], 2) = 3\n"
      "100 openat(AT_FDCWD, " + Hex("/r/slotB/f") + ", O_WRONLY|O_APPEND) = 4\n"
      "100 write(4, " + Hex("$") + ", 1) = 1\n"
      "100 ftruncate(3, 9) = 0\n"
      "100 fallocate(3, 0, 0, 11) = 0\n");
  EXPECT_EQ("", Errors(replay));
  // "abcdef" -> seek 1, read 2 -> "abcXYf" at 3..4 -> "pbcXY123"... step by step:
  // pwrite at 0: "pbcXYf"; writev at 5: "pbcXY123"; append: "pbcXY123$";
  // truncate to 9 keeps it; fallocate grows it to 11 with zeros.
  EXPECT_EQ(std::string("pbcXY123$\0\0", 11), Last(replay, CrashModel::kOrdered, "slotB/f"));
  EXPECT_EQ(0600u, replay.ordered.back().at("slotB/f").mode & 0777);
}

TEST(CrashReplayTest, LinksDirectoryDescriptorsAndWorkingDirectoriesAreFollowed) {
  CrashReplay replay = Replay(
      "100 mkdir(" + Hex("/r/slotB/d") + ", 0777) = 0\n"
      "100 openat(AT_FDCWD, " + Hex("/r/app") + ", O_RDONLY|O_DIRECTORY|O_CLOEXEC) = 5\n"
      "100 renameat(5, " + Hex("doc") + ", AT_FDCWD, " + Hex("/r/slotB/d/doc") + ") = 0\n"
      "100 chdir(" + Hex("/r/slotB/d") + ") = 0\n"
      "100 symlinkat(" + Hex("doc") + ", AT_FDCWD, " + Hex("alias") + ") = 0\n"
      "100 fchmodat(AT_FDCWD, " + Hex("alias") + ", 0600) = 0\n"
      "100 mkdirat(5, " + Hex("gone") + ", 0700) = 0\n"
      "100 unlinkat(5, " + Hex("gone") + ", AT_REMOVEDIR) = 0\n"
      "100 link(" + Hex("../d/doc") + ", " + Hex("/r/slotA/hard") + ") = 0\n"
      "100 openat(AT_FDCWD, " + Hex("/tmp/elsewhere") + ", O_WRONLY|O_CREAT, 0644) = 6\n"
      "100 write(6, " + Hex("outside") + ", 7) = 7\n"
      "100 unlink(" + Hex("/w/other") + ") = 0\n");
  EXPECT_EQ("", Errors(replay));
  const TreeState& last = replay.ordered.back();
  EXPECT_EQ(0u, last.count("slotA/doc"));
  EXPECT_EQ(0u, last.count("slotA/gone"));
  ASSERT_EQ(1u, last.count("slotB/d/doc"));
  EXPECT_EQ(0600u, last.at("slotB/d/doc").mode);  // through the link
  EXPECT_EQ(0755u, last.at("slotB/d").mode);      // 0777 less the umask
  EXPECT_EQ(TreeEntry::kLink, last.at("slotB/d/alias").kind);
  EXPECT_EQ("old", last.at("slotA/hard").bytes);
  EXPECT_EQ(7u, replay.steps.size());  // nothing outside the root counts
}

TEST(CrashReplayTest, ThreadsShareDescriptorsChildrenCopyThemAndExecDropsCloseOnExecOnes) {
  CrashReplay replay = Replay(
      "100 clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD, exit_signal=0} => "
      "{parent_tid=[101]}, 88) = 101\n"
      "101 openat(AT_FDCWD, " + Hex("/r/slotB/shared") + ", O_WRONLY|O_CREAT, 0644) = 3\n"
      "100 write(3, " + Hex("by the main thread") + ", 18) = 18\n"
      "100 openat(AT_FDCWD, " + Hex("/r/slotB/kept") + ", O_WRONLY|O_CREAT, 0644) = 4\n"
      "100 openat(AT_FDCWD, " + Hex("/r/slotB/dropped") + ", O_WRONLY|O_CREAT|O_CLOEXEC, 0644) = 5\n"
      "100 vfork( <unfinished ...>\n"
      // The child's calls come before its parent's vfork returns.
      "102 execve(" + Hex("/bin/sh") + ", [" + Hex("sh") + "], 0x7ffd /* 3 vars */) = 0\n"
      "102 write(4, " + Hex("child") + ", 5) = 5\n"
      "102 write(5, " + Hex("lost") + ", 4) = 4\n"
      "102 openat(AT_FDCWD, " + Hex("/tmp/x") + ", O_WRONLY|O_CREAT, 0644) = 3\n"
      "102 write(3, " + Hex("not the tree's") + ", 14) = 14\n"
      "100 <... vfork resumed>) = 102\n");
  EXPECT_EQ("", Errors(replay));
  EXPECT_EQ("by the main thread", Last(replay, CrashModel::kOrdered, "slotB/shared"));
  EXPECT_EQ("child", Last(replay, CrashModel::kOrdered, "slotB/kept"));
  EXPECT_EQ("", Last(replay, CrashModel::kOrdered, "slotB/dropped"));
}

TEST(CrashReplayTest, AThreadMadeByAThreadWhoseCloneHasNotReturnedSharesTheDescriptors) {
  // Under load the first call of a thread's thread can come before both
  // clones that made them return.
  CrashReplay replay = Replay(
      "100 getpid() = 100\n"
      "100 clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD, exit_signal=0}, 88 "
      "<unfinished ...>\n"
      "102 openat(AT_FDCWD, " + Hex("/r/slotB/g") + ", O_WRONLY|O_CREAT, 0644) = 3\n"
      "101 clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD, exit_signal=0} => "
      "{parent_tid=[102]}, 88) = 102\n"
      "100 <... clone3 resumed> => {parent_tid=[101]}, 88) = 101\n"
      "100 write(3, " + Hex("shared") + ", 6) = 6\n");
  EXPECT_EQ("", Errors(replay));
  EXPECT_EQ("shared", Last(replay, CrashModel::kOrdered, "slotB/g"));
}

TEST(CrashReplayTest, AnIdTakenAgainByAForkedChildGetsDescriptorsOfItsOwn) {
  CrashReplay replay = Replay(
      "100 clone(child_stack=0x7f00, flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD) = 101\n"
      "101 openat(AT_FDCWD, " + Hex("/r/slotB/f") + ", O_WRONLY|O_CREAT, 0644) = 4\n"
      // The thread ends; a forked child gets its id and closes its copy.
      "100 fork() = 101\n"
      "101 close(4) = 0\n"
      "100 write(4, " + Hex("still open") + ", 10) = 10\n");
  EXPECT_EQ("", Errors(replay));
  EXPECT_EQ("still open", Last(replay, CrashModel::kOrdered, "slotB/f"));
}

TEST(CrashReplayTest, SyncsMakeDataDurable) {
  const std::string create = "100 openat(AT_FDCWD, " + Hex("/r/slotB/a") + ", O_WRONLY|O_CREAT, 0644) = 3\n"
                             "100 write(3, " + Hex("data") + ", 4) = 4\n";
  EXPECT_EQ("", Last(Replay(create), CrashModel::kWriteBack, "slotB/a"));
  EXPECT_EQ("data", Last(Replay(create + "100 fdatasync(3) = 0\n"), CrashModel::kWriteBack, "slotB/a"));
  EXPECT_EQ("data", Last(Replay(create + "100 sync() = 0\n"), CrashModel::kWriteBack, "slotB/a"));
  const std::string syncfs = "100 openat(AT_FDCWD, " + Hex("/r/slotB") + ", O_RDONLY|O_DIRECTORY) = 4\n"
                             "100 syncfs(4) = 0\n";
  EXPECT_EQ("data", Last(Replay(create + syncfs), CrashModel::kWriteBack, "slotB/a"));
  // A sync of another file system, or a sync_file_range, is no promise.
  EXPECT_EQ("", Last(Replay(create + "100 syncfs(1) = 0\n100 sync_file_range(3, 0, 4, SYNC_FILE_RANGE_WRITE) = 0\n"),
                     CrashModel::kWriteBack, "slotB/a"));
}

struct UnfollowedCase {
  const char* name;
  std::string trace;
  std::string error;  // part of the error the replay reports
};

TEST(CrashReplayTest, CallsTheReplayCannotFollowAreReported) {
  const std::string open = "100 openat(AT_FDCWD, " + Hex("/r/slotB/a") + ", O_WRONLY|O_CREAT, 0644) = 3\n";
  const std::vector<UnfollowedCase> cases = {
      {"a write strace cut short", open + "100 write(3, " + Hex("abc") + "..., 5000) = 5000\n", "strace showed 3 of"},
      {"bytes moved by the kernel", open + "100 copy_file_range(7, NULL, 3, NULL, 10, 0) = 10\n",
       "without the bytes showing"},
      {"a shared writable mapping", open + "100 mmap(NULL, 4096, PROT_READ|PROT_WRITE, MAP_SHARED, 3, 0) = 0x7f00\n",
       "shared writable mapping"},
      {"an exclusive creation of a file the tree holds",
       "100 openat(AT_FDCWD, " + Hex("/r/slotA/doc") + ", O_WRONLY|O_CREAT|O_EXCL, 0644) = 3\n", "holds it already"},
      {"a removal of what the tree does not hold", "100 unlink(" + Hex("/r/slotB/none") + ") = 0\n", "not there"},
      {"a path through a missing directory",
       "100 openat(AT_FDCWD, " + Hex("/r/nodir/a") + ", O_WRONLY|O_CREAT, 0644) = 3\n", "is not there"},
      {"a rename out of the tree", "100 rename(" + Hex("/r/slotA/doc") + ", " + Hex("/tmp/doc") + ") = 0\n",
       "across the tree's edge"},
      {"a write its process died in", open + "100 write(3, " + Hex("abc") + ", 3 <unfinished ...>\n",
       "died inside the call"},
      {"a line that is no call", "100 this is not strace\n", "not understood"},
  };
  for (const UnfollowedCase& c : cases) {
    SCOPED_TRACE(c.name);
    CrashReplay replay = Replay(c.trace);
    EXPECT_NE(std::string::npos, Errors(replay).find(c.error)) << Errors(replay);
  }
  // A failed call changes nothing and is no error.
  CrashReplay failed = Replay("100 unlink(" + Hex("/r/slotA/doc") + ") = -1 EACCES (Permission denied)\n");
  EXPECT_EQ("", Errors(failed));
  EXPECT_EQ(0u, failed.steps.size());
}

TEST(CrashReplayTest, StraceNotationIsDecoded) {
  std::string bytes;
  bool cut = true;
  ASSERT_TRUE(zq_test::DecodeStraceString("\"\\x00\\xff\\x41\"", &bytes, &cut));
  EXPECT_EQ(std::string("\0\xff" "A", 3), bytes);
  EXPECT_FALSE(cut);
  ASSERT_TRUE(zq_test::DecodeStraceString("\"\\x41\"...", &bytes, &cut));
  EXPECT_TRUE(cut);
  EXPECT_FALSE(zq_test::DecodeStraceString("AT_FDCWD", &bytes, &cut));
  long long value = 0;
  ASSERT_TRUE(zq_test::ParseStraceNumber("0755", &value));
  EXPECT_EQ(0755, value);
  ASSERT_TRUE(zq_test::ParseStraceNumber("0x3e8", &value));
  EXPECT_EQ(1000, value);
  ASSERT_TRUE(zq_test::ParseStraceNumber("-1", &value));
  EXPECT_EQ(-1, value);
  EXPECT_FALSE(zq_test::ParseStraceNumber("O_CREAT", &value));
  EXPECT_TRUE(zq_test::HasStraceFlag("O_WRONLY|O_CREAT|O_TRUNC", "O_CREAT"));
  EXPECT_FALSE(zq_test::HasStraceFlag("O_WRONLY|O_CREATX", "O_CREAT"));
}

// Commas, brackets and quotes inside strings and comments split nothing and
// close nothing; a call its thread left for another is joined with its end.
TEST(CrashReplayTest, CallLinesAreSplitIntoTheirArgumentsAtTheTopLevelOnly) {
  zq_test::SyscallTrace trace = zq_test::ParseStraceOutput(
      "100 write(3, \"a,b)\\\"(\", 6) = 6\n"
      "100 rename(\"/a\" /* (, */, \"/b\") = -1 ENOENT (No such file or directory)\n"
      "101 fstat(3, {st_mode=S_IFREG|0644, st_size=4, ...}) = 0\n"
      "100 openat(AT_FDCWD, \"/r/x\", O_RDONLY <unfinished ...>\n"
      "101 execve(\"/bin/x\", [\"x\", \"(y\"], 0x7ffd /* 3 vars */) = 0\n"
      "100 <... openat resumed>) = 5\n");
  EXPECT_TRUE(trace.problems.empty()) << trace.problems.front();
  ASSERT_EQ(5u, trace.records.size());

  const zq_test::SyscallRecord& write = trace.records[0];
  EXPECT_EQ("write", write.name);
  EXPECT_EQ((std::vector<std::string>{"3", "\"a,b)\\\"(\"", "6"}), write.args);
  EXPECT_EQ(6, write.result);

  const zq_test::SyscallRecord& rename = trace.records[1];
  EXPECT_EQ((std::vector<std::string>{"\"/a\" /* (, */", "\"/b\""}), rename.args);
  EXPECT_EQ(-1, rename.result);
  EXPECT_EQ("ENOENT", rename.error);

  const zq_test::SyscallRecord& fstat = trace.records[2];
  ASSERT_EQ(2u, fstat.args.size());
  EXPECT_EQ((std::vector<std::string>{"st_mode=S_IFREG|0644", "st_size=4", "..."}),
            zq_test::SplitStraceList(fstat.args[1]));
  EXPECT_EQ("4", zq_test::StraceField(fstat.args[1], "st_size"));

  const zq_test::SyscallRecord& execve = trace.records[3];
  EXPECT_EQ(101, execve.pid);
  ASSERT_EQ(3u, execve.args.size());
  EXPECT_EQ((std::vector<std::string>{"\"x\"", "\"(y\""}), zq_test::SplitStraceList(execve.args[1]));
  EXPECT_EQ("0x7ffd /* 3 vars */", execve.args[2]);

  const zq_test::SyscallRecord& openat = trace.records[4];
  EXPECT_EQ("openat", openat.name);
  EXPECT_EQ((std::vector<std::string>{"AT_FDCWD", "\"/r/x\"", "O_RDONLY"}), openat.args);
  EXPECT_EQ(5, openat.result);
  EXPECT_TRUE(openat.finished);
  EXPECT_EQ(6u, openat.line);
}

TEST(CrashReplayTest, AStateWrittenToDiskReadsBackTheSame) {
  CrashReplay replay = Replay("100 mkdir(" + Hex("/r/slotB/sub") + ", 0700) = 0\n"
                              "100 openat(AT_FDCWD, " + Hex("/r/slotB/sub/x") + ", O_WRONLY|O_CREAT, 0750) = 3\n"
                              "100 write(3, " + Hex("bytes\n") + ", 6) = 6\n");
  zq_test::TempDir dir("zqstate");
  zq_test::WriteFile(dir / "stale/file", "removed first");
  std::string error;
  ASSERT_TRUE(zq_test::WriteTreeState(replay.ordered.back(), dir.path(), &error)) << error;
  TreeState read;
  ASSERT_TRUE(zq_test::ReadTreeState(dir.path(), &read, &error)) << error;
  EXPECT_EQ("", zq_test::TreeStateDifference(replay.ordered.back(), read));
}

}  // namespace
