#include "base/tcp_client.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "base/socket_io.h"

TcpClient::TcpClient() : frame_buffer(new char[kFrameSize]()) {}

TcpClient::TcpClient(int socket) : TcpClient() {
  sock = socket;
  connected = socket >= 0;
}

TcpClient::TcpClient(std::string host, unsigned int port) : TcpClient() { connect(std::move(host), port); }

TcpClient::~TcpClient() { disconnect(); }

int TcpClient::connect(std::string host, unsigned int port) {
  this->host = host;
  this->port = port;
  memset(&server_addr, 0, sizeof server_addr);
  server_addr.sin_family = AF_INET;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return 1;
  server_addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  server_addr.sin_port = htons(static_cast<uint16_t>(port));

  if (connected) disconnect();
  sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    int error = errno;
    fprintf(stderr, "Error on connecting: %d  %s\n", error, strerror(error));
    fflush(stderr);
    return 1;
  }
  enable_keepalive(sock);

  // Three attempts on the one socket, straight after each other.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (::connect(sock, reinterpret_cast<sockaddr*>(&server_addr), sizeof server_addr) == 0) {
      connected = true;
      return 0;
    }
    int error = errno;
    fprintf(stderr, "Error on connecting: %d  %s\n", error, strerror(error));
    fflush(stderr);
  }
  // The socket of a failed connection is of no further use; closing it here
  // keeps it from leaking, since disconnect() sees nothing connected.
  disconnect();
  return 1;
}

int TcpClient::reconnect() {
  if (server_addr.sin_family != AF_INET || server_addr.sin_port == 0) return 1;
  disconnect();
  sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return 1;
  enable_keepalive(sock);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&server_addr), sizeof server_addr) != 0) {
    disconnect();
    return 1;
  }
  connected = true;
  return 0;
}

int TcpClient::disconnect() {
  if (sock >= 0) {
    close(sock);
    sock = -1;
  }
  connected = false;
  return 0;
}

int TcpClient::enable_keepalive(int socket) {
  int on = 1;
  int idle = 1;
  int interval = 1;
  int count = 10;
  if (setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return -1;
  if (setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) return -2;
  if (setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0) return -3;
  if (setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) return -4;
  return 0;
}

bool TcpClient::hasError() {
  if (sock == -1) return true;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return true;
  return error != 0;
}

bool TcpClient::fill_frame(const char* data, int length) {
  zq_info("send\n");
  if (length < 0 || length > kFrameSize || (data == nullptr && length > 0)) {
    zq_error("send refused: payload of %d bytes does not fit the frame\n", length);
    return false;
  }
  memset(frame_buffer.get(), 0, kFrameSize);
  if (length > 0) memcpy(frame_buffer.get(), data, static_cast<size_t>(length));
  return true;
}

int TcpClient::send(char* data, int length) {
  if (!fill_frame(data, length)) return -1;
  if (!zq_camera_service::SendAll(sock, frame_buffer.get(), kFrameSize)) {
    zq_error("send failed: %s\n", strerror(errno));
    return -1;
  }
  return 0;
}

int TcpClient::send(char* data, int length, std::chrono::steady_clock::time_point deadline) {
  if (!fill_frame(data, length)) return -1;
  if (sock < 0) {
    zq_error("send failed: %s\n", strerror(EBADF));
    return -1;
  }
  size_t sent = 0;
  while (sent < static_cast<size_t>(kFrameSize)) {
    pollfd writable = {sock, POLLOUT, 0};
    int ready = zq_camera_service::PollUntil(&writable, 1, deadline);
    if (ready <= 0) {
      zq_error("send failed: %s\n", strerror(ready == 0 ? ETIMEDOUT : errno));
      return -1;
    }
    // Without waiting: poll said there is room, and a blocking send could
    // wait past the deadline for room for all the rest.
    ssize_t n = ::send(sock, frame_buffer.get() + sent, kFrameSize - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      zq_error("send failed: %s\n", strerror(errno));
      return -1;
    }
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int TcpClient::recv() {
  zq_info("recv\n");
  // Without a socket the read fails as recv(2) fails on a closed descriptor.
  recv_len = zq_camera_service::ReceiveFrame(sock, frame_buffer.get(), kFrameSize, EBADF);
  if (recv_len < 0) return -1;
  zq_info("recv length %d\n", recv_len);
  return 0;
}

int TcpClient::recv_into(char* buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return -1;
  recv_len = zq_camera_service::ReceiveSome(sock, buffer, capacity, EBADF);
  return recv_len < 0 ? -1 : recv_len;
}
