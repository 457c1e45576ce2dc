#include "base/socket_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "base/log.h"

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

int ReceiveFrame(int socket, char* frame, int frame_size, int no_socket_errno) {
  memset(frame, 0, static_cast<size_t>(frame_size));
  return ReceiveSome(socket, frame, frame_size, no_socket_errno);
}

int ReceiveSome(int socket, char* buffer, int capacity, int no_socket_errno) {
  ssize_t received = -1;
  if (socket < 0) {
    errno = no_socket_errno;
  } else {
    do {
      received = ::recv(socket, buffer, static_cast<size_t>(capacity), 0);
    } while (received < 0 && errno == EINTR);
  }
  int length = static_cast<int>(received);
  if (length < 0) {
    int error = errno;
    perror("recv failed");
    zq_print("recv length is %d,something is wrong %d\n", length, error);
    return -1;
  }
  return length;
}

int PollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    // One more millisecond, so that the wait never ends just short of the deadline.
    int ready = poll(fds, count, static_cast<int>(std::min<long long>(left.count() + 1, 1LL << 30)));
    if (ready > 0 || (ready < 0 && errno != EINTR)) return ready;
  }
}

}  // namespace zq_camera_service
