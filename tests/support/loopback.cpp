#include "support/loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zq_test {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Milliseconds left until `deadline`, at least 0.
int Remaining(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

UniqueFd ListenOnLoopback(uint16_t* port) {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.valid()) throw std::runtime_error("socket failed");
  int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = Loopback(*port);
  socklen_t length = sizeof address;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), 8) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  *port = ntohs(address.sin_port);
  return listener;
}

UniqueFd AcceptWithin(int listener, std::chrono::milliseconds timeout) {
  pollfd fds = {listener, POLLIN, 0};
  if (poll(&fds, 1, static_cast<int>(timeout.count())) != 1) return UniqueFd();
  return UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

UniqueFd ConnectToLoopback(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(port);
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

std::string ReadBytes(int fd, size_t count, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string bytes;
  std::string chunk(65536, '\0');
  while (bytes.size() < count) {
    pollfd fds = {fd, POLLIN, 0};
    int ready = poll(&fds, 1, Remaining(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = recv(fd, &chunk[0], std::min(chunk.size(), count - bytes.size()), 0);
    if (n <= 0) break;
    bytes.append(chunk.data(), static_cast<size_t>(n));
  }
  return bytes;
}

bool WaitForEndOfStream(int fd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char byte;
  for (;;) {
    pollfd fds = {fd, POLLIN, 0};
    int ready = poll(&fds, 1, Remaining(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = recv(fd, &byte, 1, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
    // A byte that is still arriving means the stream has not ended.
    return false;
  }
}

bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

::testing::AssertionResult IsZeroPaddedFrame(const std::string& received, const std::string& text, size_t frame_size) {
  if (received.size() != frame_size) {
    return ::testing::AssertionFailure() << received.size() << " bytes, not one frame of " << frame_size;
  }
  if (received.compare(0, text.size(), text) != 0) {
    return ::testing::AssertionFailure() << "the frame does not begin with the " << text.size() << " bytes of the text";
  }
  size_t other = received.find_first_not_of('\0', text.size());
  if (other != std::string::npos) {
    return ::testing::AssertionFailure() << "byte " << other << " after the text is not zero";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace zq_test
