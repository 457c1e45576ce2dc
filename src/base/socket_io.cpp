#include "base/socket_io.h"

#include <cerrno>
#include <sys/socket.h>

namespace zq_camera_service {

bool SendAll(int socket, const char* data, size_t length) {
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = ::send(socket, data + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace zq_camera_service
