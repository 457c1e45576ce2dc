// Install-root locks: the single-instance lock file held for the life of the
// process, and the safe-file lock that serialises file replacement across
// every thread and process sharing the install root.
#pragma once

#include <cstdio>
#include <string>

extern FILE* f;                           // the open single-instance lock file
extern std::string g_zq_safe_file_path;   // install root + "/safe_file"

// Creates the file when it does not exist; 0.
int CheckLockFile(char* path);
// Opens the lock file for the life of the process and takes a blocking
// exclusive lock on it; the lock call's result (0, or -1).
int LockFile(char* path);

namespace zq_camera_service {

// Holds the safe-file lock for one file operation: opens g_zq_safe_file_path
// for writing and blocks until the exclusive lock is granted. Closing the
// stream releases the lock.
class SafeFileLock {
 public:
  SafeFileLock();
  ~SafeFileLock();
  SafeFileLock(const SafeFileLock&) = delete;
  SafeFileLock& operator=(const SafeFileLock&) = delete;

  // false when the lock file could not be opened; the operation then does
  // nothing and returns 1.
  bool locked() const { return stream_ != nullptr; }

 private:
  FILE* stream_ = nullptr;
};

}  // namespace zq_camera_service
