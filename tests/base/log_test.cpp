#include "base/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_test::ScopedLogSettings;
using zq_test::StdoutCapture;

struct EntryPoint {
  const char* name;
  void (*log)(const char*, ...);
  int level;
};

const EntryPoint kEntryPoints[] = {
    {"zq_error", zq_error, 1}, {"zq_warn", zq_warn, 2},   {"zq_info", zq_info, 3},
    {"zq_debug", zq_debug, 4}, {"zq_print", zq_print, 4},
};

TEST(LogThreshold, LineWrittenExactlyWhenLevelNotAboveThreshold) {
  for (int threshold : {-1, 0, 1, 2, 3, 4}) {
    for (const EntryPoint& entry : kEntryPoints) {
      ScopedLogSettings settings(threshold, 3, "");
      StdoutCapture capture;
      entry.log("%s-%d\n", entry.name, threshold);
      std::string written = capture.Text();
      bool expected = entry.level <= threshold;
      EXPECT_EQ(expected, !written.empty()) << entry.name << " at threshold " << threshold << ": " << written;
      // Callers building text for a line ask first, and get the same answer.
      EXPECT_EQ(expected, zq_log_enabled(entry.level)) << entry.name << " at threshold " << threshold;
    }
  }
}

TEST(LogConsole, LineCarriesTagLevelNameAndText) {
  ScopedLogSettings settings(4, 3, "");
  StdoutCapture capture;
  zq_error("one %d\n", 1);
  zq_warn("two\n");
  zq_info("three\n");
  zq_print("four\n");
  EXPECT_EQ("Service | ERROR: one 1\nService | WARN: two\nService | INFO: three\nService | DEBUG: four\n",
            capture.Text());
}

TEST(LogConsole, TextIsCutAt999Characters) {
  ScopedLogSettings settings(1, 3, "");
  StdoutCapture capture;
  std::string long_text(1500, 'x');
  zq_error("%s", long_text.c_str());
  EXPECT_EQ("Service | ERROR: " + std::string(999, 'x'), capture.Text());
  EXPECT_EQ(999u, kZqLogTextLimit);
}

TEST(LogConsole, LevelOutsideTableHasEmptyName) {
  ScopedLogSettings settings(4, 3, "");
  StdoutCapture capture;
  char text[] = "odd\n";
  log_out(9, text);
  log_out(0, text);
  EXPECT_EQ("Service | : odd\nService | : odd\n", capture.Text());
}

class LogSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = zq_log_file_path();
    zq_set_log_file_path(dir_ / "log_daemon.txt");
  }
  void TearDown() override { zq_set_log_file_path(saved_path_); }
  std::string FileText() { return zq_test::ReadFile(dir_ / "log_daemon.txt"); }

  zq_test::TempDir dir_;
  std::string saved_path_;
};

TEST_F(LogSinkTest, TypeAndTargetSelectTheSink) {
  struct Case {
    int type;
    std::string target;
    bool to_file;
  };
  const Case cases[] = {
      {1, "/some/target/path", true},  // the target only selects the file sink
      {1, "not-a-path", true},
      {1, "", false},
      {2, "", false},
      {7, "http://127.0.0.1:1", false},
      {0, "x", false},
      {-1, "", false},
  };
  for (const Case& c : cases) {
    zq_test::WriteFile(dir_ / "log_daemon.txt", "");
    ScopedLogSettings settings(1, c.type, c.target);
    StdoutCapture capture;
    zq_error("routed\n");
    std::string console = capture.Text();
    std::string file = FileText();
    EXPECT_EQ(c.to_file, file.find("routed") != std::string::npos) << "type " << c.type << " target " << c.target;
    EXPECT_EQ(!c.to_file, console == "Service | ERROR: routed\n") << "type " << c.type << " target " << c.target;
  }
  EXPECT_FALSE(zq_test::FileExists("/some/target/path"));
}

// The local time of `when` as the file line shows it ("%c").
std::string TimeText(time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  char text[100];
  return std::string(text, strftime(text, sizeof text, "%c", &local));
}

TEST_F(LogSinkTest, FileLineFormat) {
  ScopedLogSettings settings(3, 1, "x");
  time_t before = time(nullptr);
  zq_info("hello %s\n", "file");
  zq_info("second\n");
  time_t after = time(nullptr);
  const std::string tag = "] Service[" + std::to_string(getpid()) + "|" + std::to_string(getppid()) + "] | INFO: ";
  const std::string text = FileText();
  const std::vector<std::string> texts = {"hello file", "second"};
  size_t at = 0;
  for (const std::string& expected : texts) {
    // "[<time>] Service[<pid>|<ppid>] | INFO: <text>\n", the time in "%c" form.
    const std::string tail = tag + expected + "\n";
    ASSERT_EQ('[', text[at]) << text;
    size_t end = text.find(tail, at);
    ASSERT_NE(std::string::npos, end) << text;
    const std::string time_text = text.substr(at + 1, end - at - 1);
    bool within = false;
    for (time_t when = before; when <= after; ++when) within |= time_text == TimeText(when);
    EXPECT_TRUE(within) << "time text \"" << time_text << "\" is not the \"%c\" form of " << TimeText(before);
    at = end + tail.size();
  }
  EXPECT_EQ(text.size(), at) << text;
}

TEST_F(LogSinkTest, UnopenableFileDropsLineQuietly) {
  zq_set_log_file_path(dir_ / "missing-dir/log.txt");
  ScopedLogSettings settings(1, 1, "x");
  StdoutCapture capture;
  zq_error("dropped\n");
  EXPECT_EQ("", capture.Text());
  EXPECT_FALSE(zq_test::FileExists(dir_ / "missing-dir"));
}

TEST_F(LogSinkTest, FullFileMovesToTheOlderGenerationBeforeTheLineThatWouldOverfillIt) {
  const size_t kLimit = 1024 * 1024;
  ScopedLogSettings settings(1, 1, "x");
  // The line a zq_error("next\n") writes, to size the fillings exactly.
  zq_error("probe\n");
  const size_t line_size = FileText().size() - 1;  // "probe" is one byte longer than "next"
  struct Case {
    size_t filled;       // bytes already in the file
    bool old_generation;  // a ".1" file exists already
    bool moves;
  };
  const Case cases[] = {
      {kLimit - line_size, false, false},  // the line fills it to the limit exactly: stays
      {kLimit - line_size + 1, false, true},  // one byte past: moves first
      {kLimit + 5000, true, true},            // a file already past the limit moves, the old ".1" goes
      {0, true, false},                       // an empty file is never moved
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filled);
    const std::string filling(c.filled, 'f');
    zq_test::WriteFile(dir_ / "log_daemon.txt", filling);
    unlink((dir_ / "log_daemon.txt.1").c_str());
    if (c.old_generation) zq_test::WriteFile(dir_ / "log_daemon.txt.1", "older generation");
    zq_error("next\n");
    const std::string current = FileText();
    if (c.moves) {
      EXPECT_EQ(filling, zq_test::ReadFile(dir_ / "log_daemon.txt.1"));
      EXPECT_EQ(line_size, current.size());
      EXPECT_NE(std::string::npos, current.find("ERROR: next\n"));
    } else {
      EXPECT_EQ(filling.size() + line_size, current.size());
      EXPECT_EQ(0u, current.find(filling));
      EXPECT_EQ(c.old_generation, zq_test::FileExists(dir_ / "log_daemon.txt.1"));
    }
    EXPECT_LE(current.size(), kLimit);
  }
  unlink((dir_ / "log_daemon.txt.1").c_str());
}

TEST_F(LogSinkTest, ThreadsLoggingAcrossAMoveLoseNoLineAndKeepOneGeneration) {
  ScopedLogSettings settings(1, 1, "x");
  zq_test::WriteFile(dir_ / "log_daemon.txt", std::string(1024 * 1024 - 2000, 'f'));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) zq_error("thread %d line %d\n", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string both = zq_test::ReadFile(dir_ / "log_daemon.txt.1") + FileText();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 200; ++i) {
      std::string needle = "thread " + std::to_string(t) + " line " + std::to_string(i) + "\n";
      EXPECT_NE(std::string::npos, both.find(needle)) << needle;
    }
  }
  EXPECT_FALSE(zq_test::FileExists(dir_ / "log_daemon.txt.1.1"));
  unlink((dir_ / "log_daemon.txt.1").c_str());
}

// The older generation's name cannot be taken (a directory stands there, as
// a read-only or full directory or a busy name would refuse the move): the
// file is emptied instead, said once per failed move, and never grows past
// its bound however many lines come.
TEST_F(LogSinkTest, FileThatCannotBeMovedAsideIsEmptiedAndKeepsItsBound) {
  const size_t kLimit = 1024 * 1024;
  const std::string path = dir_ / "log_daemon.txt";
  const std::string older = path + ".1";
  ASSERT_EQ(0, mkdir(older.c_str(), 0755));
  zq_test::WriteFile(older + "/kept", "what stands at the older name");
  zq_test::WriteFile(path, std::string(kLimit - 10, 'f'));
  ScopedLogSettings settings(1, 1, "x");
  const std::string note = "ERROR: Log file " + path + " could not be moved to " + older + " (Is a directory)";
  // Some 2.3 MiB of lines of about 270 bytes: the file fills up three times.
  const std::string payload(200, 'p');
  const int kLines = 9000;
  size_t largest = 0;
  size_t previous = kLimit - 10;
  size_t notes = 0;
  for (int i = 0; i < kLines; ++i) {
    zq_error("line %d %s\n", i, payload.c_str());
    struct stat info {};
    ASSERT_EQ(0, stat(path.c_str(), &info));
    const size_t size = static_cast<size_t>(info.st_size);
    largest = std::max(largest, size);
    // An emptied file starts with the note, then this line.
    if (size < previous) {
      const std::string text = FileText();
      EXPECT_EQ(1u, zq_test::CountOccurrences(text, note)) << text;
      EXPECT_NE(std::string::npos, text.find("line " + std::to_string(i) + " ")) << text;
      ++notes;
    }
    previous = size;
  }
  EXPECT_LE(largest, kLimit);
  EXPECT_EQ(3u, notes) << "the file was emptied once per time it filled up";
  const std::string text = FileText();
  EXPECT_NE(std::string::npos, text.find("line " + std::to_string(kLines - 1) + " ")) << "the last line is kept";
  EXPECT_EQ(1u, zq_test::CountOccurrences(text, note));
  EXPECT_EQ("what stands at the older name", zq_test::ReadFile(older + "/kept"));

  // Once the name is free again, the next full file moves there as before.
  unlink((older + "/kept").c_str());
  ASSERT_EQ(0, rmdir(older.c_str()));
  zq_test::WriteFile(path, std::string(kLimit - 10, 'g'));
  zq_error("moved\n");
  EXPECT_EQ(std::string(kLimit - 10, 'g'), zq_test::ReadFile(older));
  EXPECT_EQ(std::string::npos, FileText().find("could not be moved"));
  unlink(older.c_str());
}

}  // namespace
