#include "base/lock_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

// Whether another process could take an exclusive lock on `path` right now.
bool OtherProcessCanLock(const std::string& path) {
  pid_t child = fork();
  if (child == 0) {
    int fd = open(path.c_str(), O_RDONLY);
    _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(LockFile, CreatesMissingFileAndHoldsExclusiveLock) {
  zq_test::TempDir dir;
  std::string path = dir / "lock_file";
  ASSERT_FALSE(zq_test::FileExists(path));
  EXPECT_EQ(0, LockFile(&path[0]));
  EXPECT_TRUE(zq_test::FileExists(path));
  EXPECT_EQ("", zq_test::ReadFile(path));
  EXPECT_FALSE(OtherProcessCanLock(path));
  fclose(f);  // release for the rest of the test binary
  f = nullptr;
  EXPECT_TRUE(OtherProcessCanLock(path));
}

TEST(LockFile, UnopenablePathFailsWithOneErrorLine) {
  zq_test::TempDir dir;
  std::string path = dir / "missing-dir/lock_file";
  zq_test::ScopedLogSettings settings(1, 3, "");
  zq_test::StdoutCapture capture;
  EXPECT_EQ(-1, LockFile(&path[0]));
  std::string log = capture.Text();
  EXPECT_EQ(1u, zq_test::CountOccurrences(log, "\n")) << log;
  EXPECT_EQ(0u, log.find("Service | ERROR: ")) << log;
  EXPECT_NE(std::string::npos, log.find(path)) << log;
  EXPECT_FALSE(zq_test::FileExists(dir / "missing-dir"));
}

TEST(SafeFileLock, SerialisesHoldersAcrossProcesses) {
  zq_test::TempDir dir;
  g_zq_safe_file_path = dir / "safe_file";
  {
    zq_camera_service::SafeFileLock lock;
    ASSERT_TRUE(lock.locked());
    EXPECT_FALSE(OtherProcessCanLock(g_zq_safe_file_path));
  }
  EXPECT_TRUE(OtherProcessCanLock(g_zq_safe_file_path));
  g_zq_safe_file_path = dir / "missing/safe_file";
  zq_camera_service::SafeFileLock unlockable;
  EXPECT_FALSE(unlockable.locked());
  g_zq_safe_file_path.clear();
}

}  // namespace
