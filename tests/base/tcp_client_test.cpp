#include "base/tcp_client.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "support/log_settings.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_test::UniqueFd;

constexpr size_t kFrame = TcpClient::kFrameSize;

// A client connected to a raw loopback listener, and the listener's end.
struct ConnectedPair {
  ConnectedPair() {
    listener = zq_test::ListenOnLoopback(&port);
    client = std::make_unique<TcpClient>("127.0.0.1", port);
    peer = zq_test::AcceptWithin(listener.get(), 5s);
  }
  uint16_t port = 0;
  UniqueFd listener;
  std::unique_ptr<TcpClient> client;
  UniqueFd peer;
};

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  getsockopt(fd, level, name, &value, &length);
  return value;
}

TEST(TcpClientTest, ShortPayloadLeavesAsOneWholeZeroPaddedFrame) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->connected);
  ASSERT_TRUE(pair.peer.valid());
  std::string payload(60, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('A' + i % 26);

  // The frame may be larger than the socket buffers: read while it is sent.
  auto reading = std::async(std::launch::async, [&] { return zq_test::ReadBytes(pair.peer.get(), kFrame + 1, 10s); });
  EXPECT_EQ(0, pair.client->send(&payload[0], 60));
  pair.client->disconnect();
  EXPECT_TRUE(zq_test::IsZeroPaddedFrame(reading.get(), payload, kFrame));
}

TEST(TcpClientTest, PayloadSizesAtAndPastTheFrame) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  struct Case {
    const char* name;
    int length;
    int result;
    size_t bytes_on_wire;
  };
  const Case cases[] = {
      {"empty payload", 0, 0, kFrame},
      {"exactly one frame", static_cast<int>(kFrame), 0, kFrame},
      {"one byte too long", static_cast<int>(kFrame) + 1, -1, 0},
      {"negative length", -1, -1, 0},
  };
  std::string payload(kFrame + 1, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(1 + i % 251);
  for (const Case& c : cases) {
    ConnectedPair pair;
    ASSERT_TRUE(pair.client->connected) << c.name;
    auto reading = std::async(std::launch::async, [&] { return zq_test::ReadBytes(pair.peer.get(), kFrame + 1, 10s); });
    EXPECT_EQ(c.result, pair.client->send(&payload[0], c.length)) << c.name;
    pair.client->disconnect();
    std::string received = reading.get();
    ASSERT_EQ(c.bytes_on_wire, received.size()) << c.name;
    if (c.result == 0) {
      EXPECT_TRUE(zq_test::IsZeroPaddedFrame(received, payload.substr(0, static_cast<size_t>(c.length)), kFrame))
          << c.name;
    }
  }
}

TEST(TcpClientTest, ClosedPortGivesThreeErrorLinesAndOneQuickly) {
  uint16_t port = zq_test::FreeTcpPort();
  zq_test::StdoutCapture errors(STDERR_FILENO);
  auto started = std::chrono::steady_clock::now();
  TcpClient client;
  EXPECT_EQ(1, client.connect("127.0.0.1", port));
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_LT(elapsed, 2s) << "attempts must follow each other without a pause";
  EXPECT_FALSE(client.connected);
  EXPECT_EQ(-1, client.sock) << "the failed socket is closed, not leaked";
  EXPECT_EQ(port, client.port);
  EXPECT_EQ("127.0.0.1", client.host);
  const std::string line = "Error on connecting: 111  Connection refused\n";
  EXPECT_EQ(line + line + line, errors.Text());
}

TEST(TcpClientTest, KeepAliveProbingIsSwitchedOn) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->connected);
  int fd = pair.client->sock;
  EXPECT_EQ(1, IntOption(fd, SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(1, IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE));
  EXPECT_EQ(1, IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL));
  EXPECT_EQ(10, IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT));
  EXPECT_EQ(-1, pair.client->enable_keepalive(-1));
  EXPECT_FALSE(pair.client->hasError());
}

TEST(TcpClientTest, SendsToAGonePeerFailWithoutEndingTheProcess) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->connected);
  pair.peer.reset();
  pair.listener.reset();
  // The first frame may still be taken by the kernel; the reset that answers
  // it makes a later one fail. Without MSG_NOSIGNAL SIGPIPE would end the test.
  int failures = 0;
  for (int i = 0; i < 20 && failures == 0; ++i) {
    if (pair.client->send(const_cast<char*>("ping"), 4) != 0) ++failures;
  }
  EXPECT_EQ(1, failures);

  TcpClient unconnected;
  EXPECT_EQ(-1, unconnected.send(const_cast<char*>("ping"), 4));
  EXPECT_TRUE(unconnected.hasError());
}

TEST(TcpClientTest, SendWithADeadlineDeliversTheWholeFrameToAReader) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->connected);
  auto reading = std::async(std::launch::async, [&] { return zq_test::ReadBytes(pair.peer.get(), kFrame + 1, 20s); });
  EXPECT_EQ(0, pair.client->send(const_cast<char*>("ping"), 4, std::chrono::steady_clock::now() + 20s));
  pair.client->disconnect();
  EXPECT_TRUE(zq_test::IsZeroPaddedFrame(reading.get(), "ping", kFrame));
}

TEST(TcpClientTest, SendWithADeadlineGivesUpOnAPeerThatStopsReading) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  zq_test::StdoutCapture capture;
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->connected);
  ASSERT_TRUE(pair.peer.valid());
  // Small buffers on both ends, and a peer that never reads: far less than
  // a frame fits on the way.
  int small = 4096;
  setsockopt(pair.client->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(pair.peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, pair.client->send(const_cast<char*>("ping"), 4, started + 300ms));
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 10s) << "the send did not end at its deadline";
  EXPECT_NE(std::string::npos, capture.Text().find("Service | ERROR: send failed: Connection timed out\n"))
      << capture.Text();

  TcpClient unconnected;
  EXPECT_EQ(-1, unconnected.send(const_cast<char*>("ping"), 4, std::chrono::steady_clock::now() + 20s));
}

TEST(TcpClientTest, ReceiveTakesOneMessageAndReportsItsLength) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->connected);
  // Leftovers of an earlier frame must not show behind a shorter message.
  memset(pair.client->frame_buffer.get(), 'x', kFrame);
  std::string message(300, 'm');
  ASSERT_EQ(300, ::send(pair.peer.get(), message.data(), message.size(), 0));

  zq_test::StdoutCapture capture;
  EXPECT_EQ(0, pair.client->recv());
  EXPECT_EQ(300, pair.client->recv_len);
  EXPECT_EQ(message, std::string(pair.client->frame_buffer.get(), 300));
  EXPECT_EQ(std::string(kFrame - 300, '\0'), std::string(pair.client->frame_buffer.get() + 300, kFrame - 300));

  pair.peer.reset();
  EXPECT_EQ(0, pair.client->recv());
  EXPECT_EQ(0, pair.client->recv_len);
  EXPECT_EQ("Service | INFO: recv\nService | INFO: recv length 300\n"
            "Service | INFO: recv\nService | INFO: recv length 0\n",
            capture.Text());
}

TEST(TcpClientTest, ReceiveErrorIsReported) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  TcpClient client;
  zq_test::StdoutCapture out;
  zq_test::StdoutCapture errors(STDERR_FILENO);
  EXPECT_EQ(-1, client.recv());
  EXPECT_GT(0, client.recv_len);
  EXPECT_EQ("recv failed: Bad file descriptor\n", errors.Text());
  EXPECT_NE(std::string::npos, out.Text().find("Service | DEBUG: recv length is -1,something is wrong 9\n"));
}

TEST(TcpClientTest, ReconnectClosesTheOldSocketFirst) {
  ConnectedPair first;
  ASSERT_TRUE(first.client->connected);
  uint16_t second_port = 0;
  UniqueFd second_listener = zq_test::ListenOnLoopback(&second_port);

  EXPECT_EQ(0, first.client->connect("127.0.0.1", second_port));
  EXPECT_TRUE(first.client->connected);
  EXPECT_TRUE(zq_test::WaitForEndOfStream(first.peer.get(), 5s)) << "the old connection stays open";
  UniqueFd second_peer = zq_test::AcceptWithin(second_listener.get(), 5s);
  EXPECT_TRUE(second_peer.valid());
}

TEST(TcpClientTest, DisconnectAndAdoptedSockets) {
  TcpClient unconnected;
  EXPECT_EQ(0, unconnected.disconnect());
  EXPECT_EQ(-1, unconnected.sock);
  EXPECT_FALSE(unconnected.connected);

  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  close(pipe_fds[1]);
  {
    // An adopted descriptor belongs to the client and is closed with it, once.
    TcpClient adopted(pipe_fds[0]);
    EXPECT_TRUE(adopted.connected);
    EXPECT_EQ("", adopted.host);
    EXPECT_EQ(0, adopted.disconnect());
    EXPECT_FALSE(zq_test::DescriptorOpen(pipe_fds[0]));
    // A descriptor opened meanwhile with the same number is not closed again.
    int reused = dup(STDIN_FILENO);
    EXPECT_EQ(0, adopted.disconnect());
    EXPECT_TRUE(zq_test::DescriptorOpen(reused));
    close(reused);
  }
}

}  // namespace
