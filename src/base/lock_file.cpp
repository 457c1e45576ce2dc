#include "base/lock_file.h"

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>

#include "base/log.h"

FILE* f = nullptr;
std::string g_zq_safe_file_path;

int CheckLockFile(char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) {
    FILE* created = fopen(path, "wb");
    if (created != nullptr) fclose(created);
  }
  return 0;
}

int LockFile(char* path) {
  CheckLockFile(path);
  // Kept open (and locked) until the process ends; the kernel drops the lock then.
  f = fopen(path, "rbe");
  if (f == nullptr) {
    zq_error("Failed to lock file %s: %s\n", path, strerror(errno));
    return -1;
  }
  int rc;
  do {
    rc = flock(fileno(f), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) zq_error("Failed to lock file %s: %s\n", path, strerror(errno));
  return rc;
}

namespace zq_camera_service {

SafeFileLock::SafeFileLock() {
  stream_ = fopen(g_zq_safe_file_path.c_str(), "we");
  if (stream_ == nullptr) return;
  while (flock(fileno(stream_), LOCK_EX) != 0 && errno == EINTR) {
  }
}

SafeFileLock::~SafeFileLock() {
  if (stream_ != nullptr) fclose(stream_);
}

}  // namespace zq_camera_service
