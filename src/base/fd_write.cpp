#include "base/fd_write.h"

#include <cerrno>
#include <unistd.h>

namespace zq_camera_service {

bool WriteAll(int fd, const void* data, size_t length) {
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, next, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    next += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace zq_camera_service
