#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "base/lock_file.h"
#include "base/temporary_name.h"
#include "base/utils.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"
#include "support/upgrade_package.h"

namespace {

using zq_camera_service::Utils;
using zq_test::FileExists;
using zq_test::ReadFile;
using zq_test::TempDir;
using zq_test::WriteFile;

const unsigned char* Bytes(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::set<std::string> EntriesOf(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.insert(entry.path().filename());
  return names;
}

// The exit status of `write` run in a child whose files cannot grow past
// `limit` bytes, as on a full file system: writes stop short there instead
// of raising SIGXFSZ. Empty when the child did not end by itself.
std::optional<int> StatusWithFilesLimitedTo(rlim_t limit, const std::function<int()>& write) {
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit bound {limit, limit};
    setrlimit(RLIMIT_FSIZE, &bound);
    _exit(write());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

// Points the safe-file lock into a temporary directory for one test.
class SafeFileTest : public ::testing::Test {
 protected:
  SafeFileTest() { g_zq_safe_file_path = dir_ / "safe_file"; }
  ~SafeFileTest() override { g_zq_safe_file_path.clear(); }

  TempDir dir_;
};

TEST_F(SafeFileTest, SafeWriteReplacesTargetWithVerifiedData) {
  std::string binary(2500, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i % 3 == 0 ? 0 : i * 7);
  struct Case {
    const char* name;
    std::string data;
    const char* mode;
    bool existing_target;
  };
  const Case cases[] = {
      {"one-line text", "{\"major\":3}", "w", false},
      {"text of several lines", "line one\nline two\n\nline four", "w", true},
      {"text longer than a read-back chunk", std::string(3000, 'x') + "\n" + std::string(10, 'y'), "w", true},
      {"binary with NUL bytes", binary, "wb", true},
      {"empty binary", "", "wb", true},
      {"empty text", "", "w", false},
  };
  for (const Case& c : cases) {
    TempDir target_dir;
    std::string target = target_dir / "a.json";
    if (c.existing_target) WriteFile(target, "old content that is longer than some of the new ones");
    EXPECT_EQ(0, Utils::SafeWrite(target.c_str(), Bytes(c.data), static_cast<long>(c.data.size()), c.mode)) << c.name;
    EXPECT_TRUE(ReadFile(target) == c.data) << c.name;
    EXPECT_EQ(std::set<std::string>{"a.json"}, EntriesOf(target_dir.path())) << c.name;
  }
}

TEST_F(SafeFileTest, SafeWriteFailuresLeaveTargetAndNoTemporaryFile) {
  // Missing directory: nothing at all is created.
  std::string missing = dir_ / "no/such/dir/file";
  EXPECT_EQ(1, Utils::SafeWrite(missing.c_str(), Bytes("x"), 1, "wb"));
  EXPECT_FALSE(FileExists(dir_ / "no"));

  // A text whose data holds a NUL before its length does not verify.
  std::string target = dir_ / "t.json";
  WriteFile(target, "old");
  std::string with_nul("ab\0cd", 5);
  EXPECT_EQ(9, Utils::SafeWrite(target.c_str(), Bytes(with_nul), 5, "w"));
  EXPECT_EQ("old", ReadFile(target));
  const std::set<std::string> only_target{"t.json"};
  std::set<std::string> entries = EntriesOf(dir_.path());
  entries.erase("safe_file");
  EXPECT_EQ(only_target, entries);

  // Lock file cannot be opened: 1, nothing written.
  g_zq_safe_file_path.clear();
  EXPECT_EQ(1, Utils::SafeWrite(target.c_str(), Bytes("new"), 3, "w"));
  g_zq_safe_file_path = dir_ / "missing-dir/safe_file";
  EXPECT_EQ(1, Utils::SafeWrite(target.c_str(), Bytes("new"), 3, "w"));
  EXPECT_EQ("old", ReadFile(target));
  entries = EntriesOf(dir_.path());
  entries.erase("safe_file");
  EXPECT_EQ(only_target, entries);
}

TEST_F(SafeFileTest, FailedRenameRemovesTemporaryFileAndReportsIt) {
  // A directory with content cannot be replaced by a file.
  std::string target = dir_ / "busy";
  WriteFile(target + "/inside", "keep");
  EXPECT_EQ(Utils::kSafeWriteRenameFailed, Utils::SafeWrite(target.c_str(), Bytes("data"), 4, "wb"));
  EXPECT_EQ((std::set<std::string>{"busy", "safe_file"}), EntriesOf(dir_.path()));
  EXPECT_EQ("keep", ReadFile(target + "/inside"));
}

TEST_F(SafeFileTest, ShortWriteOfAFullFileSystemIsRefused) {
  std::string target = dir_ / "program";
  WriteFile(target, "old program");
  std::string data(64 * 1024, 'p');
  std::optional<int> status = StatusWithFilesLimitedTo(
      4096, [&] { return Utils::SafeWrite(target.c_str(), Bytes(data), static_cast<long>(data.size()), "wb"); });
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(9, *status);
  EXPECT_EQ("old program", ReadFile(target));
  EXPECT_EQ((std::set<std::string>{"program", "safe_file"}), EntriesOf(dir_.path()));
}

TEST_F(SafeFileTest, SafeWriteNeverWritesThroughALinkAndKeepsPermissions) {
  std::string outside = dir_ / "outside";
  WriteFile(outside, "untouched");
  std::string target = dir_ / "run.sh";
  WriteFile(target, "#!/bin/sh\n");
  chmod(target.c_str(), 0750);
  EXPECT_EQ(0, Utils::SafeWrite(target.c_str(), Bytes("#!/bin/sh\nexit 0\n"), 17, "wb"));
  EXPECT_EQ("untouched", ReadFile(outside));
  EXPECT_EQ("#!/bin/sh\nexit 0\n", ReadFile(target));
  struct stat info {};
  ASSERT_EQ(0, lstat(target.c_str(), &info));
  EXPECT_EQ(0750u, info.st_mode & 07777);
  EXPECT_EQ((std::set<std::string>{"outside", "run.sh", "safe_file"}), EntriesOf(dir_.path()));

  // The target itself a link: the link is replaced, its target is not written.
  std::string link = dir_ / "link";
  ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
  EXPECT_EQ(0, Utils::SafeWrite(link.c_str(), Bytes("new"), 3, "wb"));
  EXPECT_EQ("untouched", ReadFile(outside));
  ASSERT_EQ(0, lstat(link.c_str(), &info));
  EXPECT_TRUE(S_ISREG(info.st_mode));
}

// The temporary file a SafeWrite used, from its debug line.
std::string TemporaryPathOf(const std::string& printed) {
  const std::string marker = "tmp_path:";
  size_t at = printed.rfind(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  return printed.substr(at, printed.find('\n', at) - at);
}

// The files that may share a directory with a replaced file: names a
// careless writer would use for its temporary file ("Xtmp", ".X.tmp"), and
// names of the temporary form itself, left by a killed writer or put there
// on purpose (files, a link out of the directory, a directory). None of them
// is ever opened, replaced or removed; only when every name that would be
// tried is taken does the write give up, with 1.
TEST_F(SafeFileTest, TemporaryNamesNeverTouchAnotherFile) {
  zq_test::ScopedLogSettings debug(4, 3, "");
  std::string outside = dir_ / "outside";
  WriteFile(outside, "untouched");
  TempDir slot;
  std::string target = slot / "libfoo";
  WriteFile(target, "old");
  WriteFile(target + "tmp", "a file of the package named libfootmp");
  WriteFile(slot / ".libfoo.tmp", "another one");

  // Which attempt the next write starts from: the one after the last used.
  std::string probe = slot / "probe";
  std::string printed;
  {
    zq_test::StdoutCapture capture;
    ASSERT_EQ(0, Utils::SafeWrite(probe.c_str(), Bytes("p"), 1, "wb"));
    printed = capture.Text();
  }
  std::string used = TemporaryPathOf(printed);
  ASSERT_EQ(0u, used.rfind(slot / ".probe.", 0)) << printed;
  std::string attempt_text = used.substr((slot / ".probe.").size());
  attempt_text = attempt_text.substr(attempt_text.find('.') + 1);
  unsigned next = static_cast<unsigned>(std::stoul(attempt_text)) + 1;
  const unsigned long pid = static_cast<unsigned long>(getpid());

  for (unsigned i = 0; i < 10; ++i) {
    std::string taken = zq_camera_service::TemporaryPathFor(target, pid, next + i);
    if (i == 3) {
      ASSERT_EQ(0, symlink(outside.c_str(), taken.c_str()));
    } else if (i == 6) {
      ASSERT_EQ(0, mkdir(taken.c_str(), 0755));
    } else {
      WriteFile(taken, "left by another writer " + std::to_string(i));
    }
  }
  const zq_test::Tree before = zq_test::SnapshotTree(slot.path());
  {
    zq_test::StdoutCapture capture;
    EXPECT_EQ(0, Utils::SafeWrite(target.c_str(), Bytes("new bytes"), 9, "wb"));
    printed = capture.Text();
  }
  EXPECT_EQ(zq_camera_service::TemporaryPathFor(target, pid, next + 10), TemporaryPathOf(printed));
  EXPECT_EQ("new bytes", ReadFile(target));
  EXPECT_EQ("untouched", ReadFile(outside));
  zq_test::Tree after = zq_test::SnapshotTree(slot.path());
  zq_test::Tree expected = before;
  expected["libfoo"] = "new bytes";
  EXPECT_EQ("", zq_test::TreeDifference(expected, after));

  // Every name the next write would try is taken: it gives up with 1.
  next += 11;
  for (unsigned i = 0; i < 64; ++i) WriteFile(zq_camera_service::TemporaryPathFor(target, pid, next + i), "taken");
  const zq_test::Tree all_taken = zq_test::SnapshotTree(slot.path());
  EXPECT_EQ(1, Utils::SafeWrite(target.c_str(), Bytes("newer"), 5, "wb"));
  EXPECT_EQ("", zq_test::TreeDifference(all_taken, zq_test::SnapshotTree(slot.path())));
}

// Bytes handed to SafeWrite a piece at a time, as an archive entry gives
// them: at most `step` bytes a call. It can be made to fail where a corrupt
// entry would, or to give other bytes when it is read again.
class PieceSource : public zq_camera_service::SafeWriteSource {
 public:
  explicit PieceSource(std::string bytes, size_t step = SIZE_MAX) : bytes_(std::move(bytes)), step_(step) {}

  // On pass `pass` (1 writes, 2 compares), Read fails once `at` bytes were
  // given; `at` past the end fails the end itself (a CRC found wrong).
  void FailReadOnPass(int pass, size_t at) {
    fail_pass_ = pass;
    fail_at_ = at;
  }
  void FailRestartOnPass(int pass) { fail_restart_pass_ = pass; }
  void SecondPassGives(std::string bytes) { second_ = std::move(bytes); }
  // Runs when the fault happens, before SafeWrite sees it.
  void OnFault(std::function<void()> hook) { on_fault_ = std::move(hook); }

  bool Restart() override {
    ++passes_;
    offset_ = 0;
    if (passes_ == fail_restart_pass_) {
      if (on_fault_) on_fault_();
      return false;
    }
    return true;
  }
  long long Read(unsigned char* buffer, size_t capacity) override {
    largest_request_ = std::max(largest_request_, capacity);
    const std::string& bytes = passes_ >= 2 && second_ ? *second_ : bytes_;
    size_t end = bytes.size();
    const bool failing = passes_ == fail_pass_;
    if (failing && fail_at_ < end) end = fail_at_;
    size_t n = std::min({capacity, step_, end - offset_});
    if (n == 0 && failing) {
      if (on_fault_) on_fault_();
      return -1;
    }
    memcpy(buffer, bytes.data() + offset_, n);
    offset_ += n;
    return static_cast<long long>(n);
  }

  int passes() const { return passes_; }
  size_t largest_request() const { return largest_request_; }

 private:
  std::string bytes_;
  size_t step_;
  std::optional<std::string> second_;
  int fail_pass_ = 0;
  size_t fail_at_ = 0;
  int fail_restart_pass_ = 0;
  std::function<void()> on_fault_;
  int passes_ = 0;
  size_t offset_ = 0;
  size_t largest_request_ = 0;
};

constexpr size_t kPiece = Utils::kSafeWritePiece;

std::string PatternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
  return bytes;
}

// Sizes around the piece, from a source that gives whole pieces and from
// one that gives less than asked: the target holds every byte, nothing
// else is left, and the source was read twice (written, then compared)
// in pieces of at most kSafeWritePiece.
TEST_F(SafeFileTest, SafeWriteFromASourceWritesEveryByteInPieces) {
  const size_t sizes[] = {0, 1, kPiece - 1, kPiece, kPiece + 1, 3 * kPiece + 17};
  for (size_t size : sizes) {
    for (size_t step : {SIZE_MAX, size_t{1000}}) {
      SCOPED_TRACE("size " + std::to_string(size) + (step == SIZE_MAX ? ", whole pieces" : ", 1000 bytes a read"));
      TempDir target_dir;
      std::string target = target_dir / "lib.so";
      WriteFile(target, "old");
      const std::string bytes = PatternBytes(size, static_cast<unsigned>(size));
      PieceSource source(bytes, step);
      EXPECT_EQ(0, Utils::SafeWrite(target.c_str(), source));
      EXPECT_TRUE(ReadFile(target) == bytes);
      EXPECT_EQ(std::set<std::string>{"lib.so"}, EntriesOf(target_dir.path()));
      EXPECT_EQ(2, source.passes());
      EXPECT_EQ(kPiece, source.largest_request());
    }
  }
}

// A fault of the source, wherever it comes (the entry cannot be opened, is
// found corrupt after some pieces were written, at its very end, or when it
// is read again for the comparison), fails the write with
// kSafeWriteSourceFailed: the target is untouched, and the temporary file,
// which held the pieces written so far, is gone.
TEST_F(SafeFileTest, SafeWriteFromAFailingSourceLeavesTheTargetAndNoTemporary) {
  zq_test::ScopedLogSettings debug(4, 3, "");
  const std::string bytes = PatternBytes(4 * kPiece + 5, 3);
  struct Case {
    const char* name;
    std::function<void(PieceSource&)> arrange;
    size_t temporary_bytes;  // what the temporary file holds when the fault comes; SIZE_MAX: no such file yet
  };
  const Case cases[] = {
      {"cannot be opened", [](PieceSource& s) { s.FailRestartOnPass(1); }, SIZE_MAX},
      {"corrupt after three pieces", [](PieceSource& s) { s.FailReadOnPass(1, 3 * kPiece + 100); }, 3 * kPiece},
      {"corrupt at its end", [&](PieceSource& s) { s.FailReadOnPass(1, bytes.size() + 1); }, 4 * kPiece},
      {"cannot be opened again", [](PieceSource& s) { s.FailRestartOnPass(2); }, bytes.size()},
      {"corrupt when read again", [](PieceSource& s) { s.FailReadOnPass(2, kPiece + 1); }, bytes.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir target_dir;
    std::string target = target_dir / "lib.so";
    WriteFile(target, "old");
    PieceSource source(bytes);
    c.arrange(source);
    size_t held_at_fault = SIZE_MAX;
    std::set<std::string> at_fault;
    source.OnFault([&] {
      at_fault = EntriesOf(target_dir.path());
      for (const std::string& name : at_fault) {
        if (zq_camera_service::IsTemporaryName(name)) held_at_fault = ReadFile(target_dir / name).size();
      }
    });
    zq_test::StdoutCapture capture;
    EXPECT_EQ(Utils::kSafeWriteSourceFailed, Utils::SafeWrite(target.c_str(), source));
    EXPECT_EQ(c.temporary_bytes == SIZE_MAX ? 1u : 2u, at_fault.size()) << capture.Text();
    if (c.temporary_bytes != SIZE_MAX) {
      EXPECT_GE(held_at_fault, c.temporary_bytes);
    }
    EXPECT_EQ("old", ReadFile(target));
    EXPECT_EQ(std::set<std::string>{"lib.so"}, EntriesOf(target_dir.path()));
  }
}

// The comparison is with the source read again, byte for byte: a source
// that gives other bytes the second time is refused like a bad read-back.
TEST_F(SafeFileTest, SafeWriteFromASourceComparesWithTheSourceReadAgain) {
  const std::string bytes = PatternBytes(2 * kPiece + 9, 1);
  struct Case {
    const char* name;
    std::string second;
  };
  std::string one_byte_changed = bytes;
  one_byte_changed[kPiece + 4] ^= 1;
  const Case cases[] = {{"one byte changed", one_byte_changed},
                        {"one byte more", bytes + "x"},
                        {"one byte fewer", bytes.substr(0, bytes.size() - 1)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string target = dir_ / "data.bin";
    WriteFile(target, "old");
    PieceSource source(bytes);
    source.SecondPassGives(c.second);
    EXPECT_EQ(9, Utils::SafeWrite(target.c_str(), source));
    EXPECT_EQ("old", ReadFile(target));
    EXPECT_EQ((std::set<std::string>{"data.bin", "safe_file"}), EntriesOf(dir_.path()));
  }
}

TEST_F(SafeFileTest, SafeWriteFromASourceIsRefusedOnAFullFileSystem) {
  std::string target = dir_ / "program";
  WriteFile(target, "old program");
  std::optional<int> status = StatusWithFilesLimitedTo(100000, [&] {
    PieceSource source(PatternBytes(4 * kPiece, 2));
    return Utils::SafeWrite(target.c_str(), source);
  });
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(9, *status);
  EXPECT_EQ("old program", ReadFile(target));
  EXPECT_EQ((std::set<std::string>{"program", "safe_file"}), EntriesOf(dir_.path()));
}

// Links planted at the names the temporary file would take, one to a file
// outside and one to a place where nothing is yet: neither is followed, the
// file outside keeps its bytes, nothing appears where the other points, and
// the write takes the next free name.
TEST_F(SafeFileTest, SafeWriteFromASourceNeverFollowsALinkAtTheTemporaryName) {
  zq_test::ScopedLogSettings debug(4, 3, "");
  TempDir elsewhere;
  std::string outside = elsewhere / "outside";
  WriteFile(outside, "untouched");
  std::string nowhere = elsewhere / "created-through-a-link";
  TempDir slot;
  std::string target = slot / "libbig.so";
  WriteFile(target, "old");

  std::string probe = slot / "probe";
  std::string printed;
  {
    zq_test::StdoutCapture capture;
    PieceSource source("p");
    ASSERT_EQ(0, Utils::SafeWrite(probe.c_str(), source));
    printed = capture.Text();
  }
  std::string used = TemporaryPathOf(printed);
  ASSERT_EQ(0u, used.rfind(slot / ".probe.", 0)) << printed;
  std::string attempt_text = used.substr((slot / ".probe.").size());
  attempt_text = attempt_text.substr(attempt_text.find('.') + 1);
  const unsigned next = static_cast<unsigned>(std::stoul(attempt_text)) + 1;
  const unsigned long pid = static_cast<unsigned long>(getpid());
  ASSERT_EQ(0, symlink(outside.c_str(), zq_camera_service::TemporaryPathFor(target, pid, next).c_str()));
  ASSERT_EQ(0, symlink(nowhere.c_str(), zq_camera_service::TemporaryPathFor(target, pid, next + 1).c_str()));
  const zq_test::Tree before = zq_test::SnapshotTree(slot.path());

  const std::string bytes = PatternBytes(2 * kPiece + 1, 8);
  {
    zq_test::StdoutCapture capture;
    PieceSource source(bytes);
    EXPECT_EQ(0, Utils::SafeWrite(target.c_str(), source));
    printed = capture.Text();
  }
  EXPECT_EQ(zq_camera_service::TemporaryPathFor(target, pid, next + 2), TemporaryPathOf(printed));
  EXPECT_TRUE(ReadFile(target) == bytes);
  EXPECT_EQ("untouched", ReadFile(outside));
  EXPECT_FALSE(FileExists(nowhere));
  zq_test::Tree expected = before;
  expected["libbig.so"] = bytes;
  EXPECT_EQ("", zq_test::TreeDifference(expected, zq_test::SnapshotTree(slot.path())));
}

TEST(TemporaryName, FormAndRecognition) {
  using zq_camera_service::IsTemporaryName;
  using zq_camera_service::TemporaryPathFor;
  EXPECT_EQ("/s/lib/.libfoo.12.3.zqtmp", TemporaryPathFor("/s/lib/libfoo", 12, 3));
  EXPECT_EQ(".a.1.0.zqtmp", TemporaryPathFor("a", 1, 0));
  // A long name is cut so that the temporary name stays a valid file name.
  std::string long_name(255, 'n');
  std::string path = TemporaryPathFor("/d/" + long_name, 4294967295ul, 4294967295u);
  EXPECT_LE(path.size() - 3, 255u) << path;
  EXPECT_TRUE(IsTemporaryName(path.substr(3)));

  struct Case {
    const char* segment;
    bool temporary;
  };
  const Case cases[] = {
      {".libfoo.12.3.zqtmp", true}, {".x.zqtmp", true},        {"..zqtmp", true},
      {".zqtmp", false},            {"libfoo.zqtmp", false},   {"libfootmp", false},
      {".libfoo.tmp", false},       {".libfoo.zqtmp~", false}, {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.temporary, IsTemporaryName(c.segment)) << c.segment;
}

// A child process that holds the safe-file lock until told to let go.
class LockHolder {
 public:
  explicit LockHolder(const std::string& lock_path) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) ADD_FAILURE() << "pipe";
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      int fd = open(lock_path.c_str(), O_WRONLY | O_CREAT, 0644);
      flock(fd, LOCK_EX);
      char byte = 'r';
      (void)!write(ready[1], &byte, 1);
      (void)!read(release[0], &byte, 1);  // until the parent writes or goes away
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_fd_ = release[1];
    char byte;
    if (read(ready[0], &byte, 1) != 1) ADD_FAILURE() << "lock holder did not start";
    close(ready[0]);
  }
  ~LockHolder() { Release(); }
  void Release() {
    if (release_fd_ < 0) return;
    close(release_fd_);
    release_fd_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
};

TEST_F(SafeFileTest, OperationsWaitForAnotherProcessHoldingTheLock) {
  using namespace std::chrono;
  std::string target = dir_ / "shared.json";
  WriteFile(dir_ / "victim", "v");
  for (int operation = 0; operation < 3; ++operation) {
    LockHolder holder(g_zq_safe_file_path);
    auto started = steady_clock::now();
    std::thread releaser([&] {
      std::this_thread::sleep_for(milliseconds(300));
      holder.Release();
    });
    int result = -5;
    if (operation == 0) result = Utils::SafeWrite(target.c_str(), Bytes("{}"), 2, "w");
    if (operation == 1) result = Utils::SafeRemoveFile((dir_ / "victim").c_str());
    if (operation == 2) {
      unsigned char* buffer = nullptr;
      long length = 0;
      result = Utils::SafeRead(target.c_str(), &buffer, &length, "rb");
      free(buffer);
    }
    auto waited = steady_clock::now() - started;
    releaser.join();
    EXPECT_EQ(0, result) << operation;
    EXPECT_GE(waited, milliseconds(250)) << operation;
  }
  EXPECT_EQ("{}", ReadFile(target));
  EXPECT_FALSE(FileExists(dir_ / "victim"));
}

TEST_F(SafeFileTest, SafeRemoveFileResults) {
  std::string file = dir_ / "gone";
  WriteFile(file, "x");
  EXPECT_EQ(0, Utils::SafeRemoveFile(file.c_str()));
  EXPECT_FALSE(FileExists(file));
  EXPECT_EQ(-1, Utils::SafeRemoveFile(file.c_str()));
  // The lock was released: another process can take it at once.
  pid_t child = fork();
  if (child == 0) {
    int fd = open(g_zq_safe_file_path.c_str(), O_WRONLY);
    _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  g_zq_safe_file_path.clear();
  WriteFile(file, "x");
  EXPECT_EQ(1, Utils::SafeRemoveFile(file.c_str()));
  EXPECT_TRUE(FileExists(file));
}

TEST_F(SafeFileTest, SafeReadGivesTheWholeFile) {
  std::string data("bin\0ary\n", 8);
  std::string file = dir_ / "data";
  WriteFile(file, data);
  unsigned char* buffer = nullptr;
  long length = 0;
  ASSERT_EQ(0, Utils::SafeRead(file.c_str(), &buffer, &length, "rb"));
  EXPECT_EQ(8, length);
  EXPECT_TRUE(std::string(reinterpret_cast<char*>(buffer), 8) == data);
  free(buffer);
  WriteFile(file, std::string(2500, 't'));
  ASSERT_EQ(0, Utils::SafeRead(file.c_str(), &buffer, &length, "r"));
  EXPECT_EQ(2500, length);
  EXPECT_EQ(std::string(2500, 't'), std::string(reinterpret_cast<char*>(buffer)));
  free(buffer);
  EXPECT_EQ(1, Utils::SafeRead((dir_ / "missing").c_str(), &buffer, &length, "rb"));
}

// On a 32-bit board a file can be larger than a buffer length or a long can
// hold; such a file is refused, not read into a buffer of a wrapped size.
TEST_F(SafeFileTest, SafeReadRefusesAFileLargerThanItsLengthCanHold) {
  if (sizeof(long) > 4 && sizeof(size_t) > 4) GTEST_SKIP() << "only narrower lengths than the file offsets can wrap";
  const off_t sizes[] = {(off_t{1} << 32) + 8, (off_t{1} << 32) - 1, off_t{1} << 31};
  for (off_t size : sizes) {
    SCOPED_TRACE(size);
    std::string file = dir_ / "sparse";
    {
      int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(0, ftruncate(fd, size));  // sparse: takes no room on disk
      close(fd);
    }
    unsigned char* buffer = nullptr;
    long length = -7;
    for (const char* mode : {"rb", "r"}) {
      EXPECT_EQ(1, Utils::SafeRead(file.c_str(), &buffer, &length, mode)) << mode;
      EXPECT_EQ(nullptr, buffer);
      EXPECT_EQ(-7, length);
    }
  }
}

TEST_F(SafeFileTest, GetRealPathResults) {
  std::string file = dir_ / "file";
  WriteFile(file, "x");
  ASSERT_EQ(0, symlink("/some/absolute/target", (dir_ / "abs").c_str()));
  ASSERT_EQ(0, symlink("slotB", (dir_ / "rel").c_str()));
  ASSERT_EQ(0, symlink((dir_ / "missing").c_str(), (dir_ / "dangling").c_str()));
  struct Case {
    std::string path;
    int result;
    std::string target;
  };
  const Case cases[] = {
      {dir_ / "abs", 0, "/some/absolute/target"},
      {dir_ / "rel", 0, "slotB"},
      {dir_ / "dangling", 0, dir_ / "missing"},
      {file, 3, "unchanged"},
      {dir_.path(), 3, "unchanged"},
      {dir_ / "nothing", 1, "unchanged"},
  };
  for (const Case& c : cases) {
    zq_test::StdoutCapture capture;
    std::string out = "unchanged";
    EXPECT_EQ(c.result, Utils::GetRealPath(c.path, out)) << c.path;
    EXPECT_EQ(c.target, out) << c.path;
    std::string printed = c.result == 0 ? "'" + c.path + "' points to '" + c.target + "'\n" : "";
    EXPECT_EQ(printed, capture.Text()) << c.path;
  }
}

TEST_F(SafeFileTest, SetSoftLinkReplacesThePath) {
  std::string link = dir_ / "app";
  WriteFile(link, "a file in the way");
  EXPECT_EQ(0, Utils::SetSoftLink("slotA", link.c_str()));
  std::string target;
  EXPECT_EQ(0, Utils::GetRealPath(link, target));
  EXPECT_EQ("slotA", target);
}

TEST_F(SafeFileTest, ListAllFileListsRegularFilesByBareName) {
  std::string root = dir_ / "slot";
  WriteFile(root + "/top.txt", "1");
  WriteFile(root + "/a/x.txt", "2");
  WriteFile(root + "/b/x.txt", "3");
  WriteFile(root + "/a/deep/er/leaf.bin", "4");
  WriteFile(dir_ / "elsewhere/hidden.txt", "5");
  ASSERT_EQ(0, symlink((dir_ / "elsewhere").c_str(), (root + "/linked_dir").c_str()));
  ASSERT_EQ(0, symlink((root + "/top.txt").c_str(), (root + "/linked_file").c_str()));
  std::map<std::string, std::string> files{{"preset", "kept"}};
  Utils::ListAllFile(root.c_str(), files);
  EXPECT_EQ(4u, files.size());
  EXPECT_EQ("kept", files["preset"]);
  EXPECT_EQ(root + "/top.txt", files["top.txt"]);
  EXPECT_EQ(root + "/a/deep/er/leaf.bin", files["leaf.bin"]);
  EXPECT_TRUE(files["x.txt"] == root + "/a/x.txt" || files["x.txt"] == root + "/b/x.txt") << files["x.txt"];
  EXPECT_EQ(0u, files.count("hidden.txt"));
  EXPECT_EQ(0u, files.count("linked_file"));
  std::map<std::string, std::string> none;
  Utils::ListAllFile((dir_ / "missing").c_str(), none);
  EXPECT_TRUE(none.empty());
}

TEST_F(SafeFileTest, RemoveDirRemovesTheTreeButNothingALinkPointsTo) {
  std::string tree = dir_ / "slot B";  // a space is part of the one path
  WriteFile(tree + "/bin/prog", "p");
  WriteFile(tree + "/config/deep/x", "x");
  WriteFile(dir_ / "slot", "a file named like the first word");
  WriteFile(dir_ / "outside/keep", "k");
  ASSERT_EQ(0, symlink((dir_ / "outside").c_str(), (tree + "/link").c_str()));
  chmod((tree + "/config/deep").c_str(), 0500);
  EXPECT_EQ(0, Utils::RemoveDir(tree.c_str()));
  EXPECT_FALSE(FileExists(tree));
  EXPECT_EQ("k", ReadFile(dir_ / "outside/keep"));
  EXPECT_EQ("a file named like the first word", ReadFile(dir_ / "slot"));
  EXPECT_EQ(0, Utils::RemoveDir((dir_ / "never-there").c_str()));
}

TEST_F(SafeFileTest, CopyDirCopiesTheWholeTree) {
  std::string source = dir_ / "slot A";
  WriteFile(source + "/bin/prog", std::string("\x7f" "ELF\0\1", 6));
  WriteFile(source + "/config/VersionConfig.json", "{}");
  WriteFile(source + "/empty", "");
  std::filesystem::create_directories(source + "/var/empty_dir");
  chmod((source + "/bin/prog").c_str(), 0755);
  ASSERT_EQ(0, symlink("bin/prog", (source + "/prog_link").c_str()));

  std::string destination = dir_ / "slot B";
  ASSERT_EQ(0, Utils::CopyDir(source.c_str(), destination.c_str()));
  EXPECT_TRUE(ReadFile(destination + "/bin/prog") == ReadFile(source + "/bin/prog"));
  EXPECT_EQ("{}", ReadFile(destination + "/config/VersionConfig.json"));
  EXPECT_TRUE(FileExists(destination + "/empty"));
  EXPECT_TRUE(std::filesystem::is_directory(destination + "/var/empty_dir"));
  struct stat info {};
  ASSERT_EQ(0, lstat((destination + "/bin/prog").c_str(), &info));
  EXPECT_EQ(0755u, info.st_mode & 0777);
  std::string link_target;
  EXPECT_EQ(0, Utils::GetRealPath(destination + "/prog_link", link_target));
  EXPECT_EQ("bin/prog", link_target);

  // Into an existing directory the copy lands below it, as "cp -r" does.
  std::string existing = dir_ / "existing";
  std::filesystem::create_directories(existing);
  ASSERT_EQ(0, Utils::CopyDir(source.c_str(), existing.c_str()));
  EXPECT_EQ("{}", ReadFile(existing + "/slot A/config/VersionConfig.json"));

  EXPECT_EQ(-1, Utils::CopyDir((dir_ / "missing").c_str(), (dir_ / "nowhere").c_str()));
}

}  // namespace
