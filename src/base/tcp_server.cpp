#include "base/tcp_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "base/socket_io.h"

TcpServer::TcpServer() : frame_buffer(new char[kFrameSize]()) {}

TcpServer::TcpServer(unsigned int port) : TcpServer() {
  stopped = false;
  init(port);
}

TcpServer::~TcpServer() { stop(); }

int TcpServer::init(unsigned int port) {
  this->port = port;
  // A second init replaces the listening socket instead of leaking it.
  if (listen_sock >= 0) close(listen_sock);
  listen_sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // The new socket is owned again, so a later stop() must close it.
  if (listen_sock >= 0) stopped = false;
  int on = 1;
  if (setsockopt(listen_sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    zq_print("Error is %s\n", strerror(errno));
    return -1;
  }
  int result = enable_keepalive(listen_sock);
  if (result < 0) {
    zq_print("Enable keep alive fail,ErrorCode is %d\n", result);
    return result;
  }
  addr_len = sizeof(sockaddr_in);
  memset(&server_addr, 0, sizeof server_addr);
  server_addr.sin_family = AF_INET;
  server_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server_addr.sin_port = htons(static_cast<uint16_t>(port));
  listening = false;
  return 0;
}

int TcpServer::enable_keepalive(int socket) {
  struct Option {
    int level;
    int name;
    int value;
    const char* message;
  };
  const Option options[] = {
      {SOL_SOCKET, SO_KEEPALIVE, 1, "keep alive error:%s\n"},
      {IPPROTO_TCP, TCP_KEEPIDLE, 1, "keep idle error:%s\n"},
      {IPPROTO_TCP, TCP_KEEPINTVL, 1, "keep intvl error:%s\n"},
      {IPPROTO_TCP, TCP_KEEPCNT, 10, "keep cnt error:%s\n"},
  };
  for (int i = 0; i < 4; ++i) {
    if (setsockopt(socket, options[i].level, options[i].name, &options[i].value, sizeof(int)) != 0) {
      zq_print(options[i].message, strerror(errno));
      return -(i + 1);
    }
  }
  return 0;
}

int TcpServer::start() {
  if (port == 0) {
    zq_print("ERROR No port defined to listen to\n");
    return -1;
  }
  if (bind(listen_sock, reinterpret_cast<sockaddr*>(&server_addr), sizeof server_addr) != 0) {
    zq_print("servier bind error:%s\n", strerror(errno));
    return -2;
  }
  if (listen(listen_sock, 5) != 0) {
    zq_print("Listen Error:%s\n", strerror(errno));
    return -3;
  }
  stopped = false;
  listening = true;
  return 0;
}

int TcpServer::accept() {
  if (!listening) {
    zq_print("not start,please start\n");
    return -1;
  }
  socklen_t length = sizeof client_addr;
  int accepted;
  do {
    accepted = accept4(listen_sock, reinterpret_cast<sockaddr*>(&client_addr), &length, SOCK_CLOEXEC);
  } while (accepted < 0 && errno == EINTR);
  if (accepted < 0) {
    zq_print("client accept error:%s\n", strerror(errno));
    return -5;
  }
  addr_len = static_cast<int>(length);
  // The new client replaces the old one, whose socket is ours to close.
  if (client_sock >= 0) close(client_sock);
  client_sock = accepted;
  return 0;
}

int TcpServer::recv() {
  // Without a client the read fails as on a socket that is not connected.
  recv_len = zq_camera_service::ReceiveFrame(client_sock, frame_buffer.get(), kFrameSize, ENOTCONN);
  return recv_len < 0 ? -1 : 0;
}

int TcpServer::send(char* text) {
  if (client_sock < 0 || text == nullptr) {
    zq_print("send error:%s\n", strerror(ENOTCONN));
    return -1;
  }
  // Bounded scan: a text longer than the frame is refused, never copied past it.
  size_t length = strnlen(text, static_cast<size_t>(kFrameSize) + 1);
  if (length > static_cast<size_t>(kFrameSize)) {
    zq_print("send error:text longer than %d bytes\n", kFrameSize);
    return -1;
  }
  memset(frame_buffer.get(), 0, kFrameSize);
  memcpy(frame_buffer.get(), text, length);
  if (!zq_camera_service::SendAll(client_sock, frame_buffer.get(), kFrameSize)) {
    zq_print("send error:%s\n", strerror(errno));
    return -1;
  }
  return 0;
}

int TcpServer::stop() {
  if (stopped) return 0;
  stopped = true;
  listening = false;
  int result = 0;
  // Each descriptor is closed once and forgotten; a failed close still
  // releases it, so the client socket is closed in either case.
  if (listen_sock >= 0) {
    if (close(listen_sock) != 0) {
      zq_print("Clos server error is %s\n", strerror(errno));
      result = -1;
    }
    listen_sock = -1;
  }
  if (client_sock >= 0) {
    if (close(client_sock) != 0) {
      zq_print("Close client rror is %s\n", strerror(errno));
      result = -1;
    }
    client_sock = -1;
  }
  return result;
}

int TcpServer::getMsg(int& length, char* buffer) {
  (void)buffer;
  length = recv_len;
  return 0;
}
