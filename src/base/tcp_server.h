// Blocking IPv4 TCP server on 127.0.0.1 that serves one client at a time with
// fixed 4 MiB frames: every receive is one read of up to 4 MiB, every send a
// text written as one whole zero-padded 4 MiB frame.
#pragma once

#include <netinet/in.h>

#include <memory>

class TcpServer {
 public:
  static constexpr int kFrameSize = 4194304;

  // No port: start() refuses it.
  TcpServer();
  // init() with the port; its result is not kept.
  explicit TcpServer(unsigned int port);
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Creates the listening socket and the address; 0, -1, or -1..-4 from keep-alive.
  int init(unsigned int port);
  // Binds and listens; 0, -1 no port, -2 bind failed, -3 listen failed.
  int start();
  // Waits for one client; 0, -1 not started, -5 accept failed.
  int accept();
  // One receive from the client; 0 (also when it closed) or -1.
  int recv();
  // Sends `text` (up to its NUL) as one frame; 0, or -1 when there is no
  // client, the text does not fit the frame or the frame could not be sent.
  int send(char* text);
  // Closes the sockets this server owns, once; 0, or -1 when a close fails.
  int stop();
  int enable_keepalive(int socket);
  // `length` = recv_len; the received bytes stay in frame_buffer. Always 0.
  int getMsg(int& length, char* buffer);

  int listen_sock = -1;  // -1: no socket
  int client_sock = -1;  // -1: no client
  int addr_len = 0;
  sockaddr_in server_addr{};
  sockaddr_in client_addr{};
  std::unique_ptr<char[]> frame_buffer;
  int recv_len = 0;
  unsigned int port = 0;
  bool listening = false;
  bool stopped = false;
};
