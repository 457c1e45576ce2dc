// Blocking IPv4 TCP client moving fixed-size frames: every send writes one
// whole 1 MiB frame (payload, then zero bytes) and every receive is one read
// of up to 1 MiB into the same buffer. TCP keep-alive probes every second so
// that a dead peer is noticed within about eleven seconds.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <string>

class TcpClient {
 public:
  // The frame size is part of the wire format: the camera software reads
  // requests in blocks of exactly this many bytes.
  static constexpr int kFrameSize = 1048576;

  TcpClient();
  // Adopts a socket that is already connected.
  explicit TcpClient(int socket);
  // Connects at once; the result is not kept (the link simply does not work).
  TcpClient(std::string host, unsigned int port);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // 0 when connected; 1 when the host does not resolve or three attempts failed.
  int connect(std::string host, unsigned int port);
  // One attempt, on a new socket, to reach the address of the last connect;
  // 0 or 1. Writes nothing: an owner that retries reports the link's state
  // once, not once per attempt.
  int reconnect();
  // Closes the socket when there is one; always 0.
  int disconnect();
  // 0, or -1..-4 naming the keep-alive option that failed.
  int enable_keepalive(int socket);
  bool hasError();
  // Sends one whole frame holding `length` bytes of `data`; 0, or -1 when the
  // payload does not fit the frame or the frame could not be sent.
  int send(char* data, int length);
  // As send(), but gives up once `deadline` has passed with the frame not yet
  // all written, as to a peer that has stopped reading: -1 then, and the
  // stream is cut short, so the owner must drop the connection.
  int send(char* data, int length, std::chrono::steady_clock::time_point deadline);
  // One receive into frame_buffer; 0 (also when the peer closed, recv_len 0)
  // or -1 on a socket error.
  int recv();
  // One receive of up to `capacity` bytes into `buffer`, which is not cleared
  // first (a stream reader appends what arrives). The count (also kept in
  // recv_len), 0 when the peer closed, or -1 on a socket error.
  int recv_into(char* buffer, int capacity);

  std::string host;
  unsigned int port = 0;
  bool connected = false;
  int sock = -1;  // -1: no socket
  sockaddr_in server_addr{};
  // One buffer for both directions, allocated once with the client.
  std::unique_ptr<char[]> frame_buffer;
  int recv_len = 0;

 private:
  // Lays `length` bytes of `data` and zero padding into frame_buffer; false
  // (logged) when they do not fit.
  bool fill_frame(const char* data, int length);
};
