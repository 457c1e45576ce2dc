#include "base/tcp_server.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "support/log_settings.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_test::UniqueFd;

constexpr size_t kFrame = TcpServer::kFrameSize;

// A started server on a free port with one raw client accepted.
struct ServedClient {
  ServedClient() : port(zq_test::FreeTcpPort()), server(std::make_unique<TcpServer>(port)) {
    EXPECT_EQ(0, server->start());
    client = zq_test::ConnectToLoopback(port);
    EXPECT_TRUE(client.valid());
    EXPECT_EQ(0, server->accept());
  }
  uint16_t port;
  std::unique_ptr<TcpServer> server;
  UniqueFd client;
};

TEST(TcpServerTest, RefusalsAreLoggedWithTheirCodes) {
  uint16_t held_port = 0;
  UniqueFd holder = zq_test::ListenOnLoopback(&held_port);
  struct Case {
    const char* name;
    std::function<int(TcpServer&)> action;
    unsigned int port;  // 0: the server is made without a port
    int result;
    std::string log;
  };
  const Case cases[] = {
      {"start without a port", [](TcpServer& s) { return s.start(); }, 0, -1,
       "Service | DEBUG: ERROR No port defined to listen to\n"},
      {"start on a port another socket listens on", [](TcpServer& s) { return s.start(); }, held_port, -2,
       "Service | DEBUG: servier bind error:Address already in use\n"},
      {"accept before start", [](TcpServer& s) { return s.accept(); }, zq_test::FreeTcpPort(), -1,
       "Service | DEBUG: not start,please start\n"},
      {"accept on a server without a port", [](TcpServer& s) { return s.accept(); }, 0, -1,
       "Service | DEBUG: not start,please start\n"},
  };
  for (const Case& c : cases) {
    zq_test::ScopedLogSettings settings(4, 3, "");
    std::unique_ptr<TcpServer> server = c.port == 0 ? std::make_unique<TcpServer>() : std::make_unique<TcpServer>(c.port);
    zq_test::StdoutCapture capture;
    EXPECT_EQ(c.result, c.action(*server)) << c.name;
    EXPECT_EQ(c.log, capture.Text()) << c.name;
    EXPECT_FALSE(server->listening) << c.name;
  }
}

TEST(TcpServerTest, ReceivesWhatOneReadReturns) {
  ServedClient served;
  std::string message(120, 'q');
  ASSERT_EQ(120, ::send(served.client.get(), message.data(), message.size(), 0));
  EXPECT_EQ(0, served.server->recv());
  EXPECT_EQ(120, served.server->recv_len);
  EXPECT_EQ(message, std::string(served.server->frame_buffer.get(), 120));

  char untouched[8] = "keepme";
  int length = -7;
  EXPECT_EQ(0, served.server->getMsg(length, untouched));
  EXPECT_EQ(120, length);
  EXPECT_STREQ("keepme", untouched);

  served.client.reset();
  EXPECT_EQ(0, served.server->recv());
  EXPECT_EQ(0, served.server->recv_len);
}

TEST(TcpServerTest, TextLeavesAsOneWhole4MiBFrame) {
  ServedClient served;
  // The frame is larger than the socket buffers: read while it is sent.
  auto reading = std::async(std::launch::async, [&] { return zq_test::ReadBytes(served.client.get(), kFrame + 1, 10s); });
  EXPECT_EQ(0, served.server->send(const_cast<char*>("abc")));
  served.server->stop();
  EXPECT_TRUE(zq_test::IsZeroPaddedFrame(reading.get(), "abc", kFrame));
}

TEST(TcpServerTest, TextLongerThanTheFrameIsRefused) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  ServedClient served;
  std::string text(kFrame + 1, 't');
  EXPECT_EQ(-1, served.server->send(&text[0]));
  served.server->stop();
  EXPECT_EQ("", zq_test::ReadBytes(served.client.get(), 1, 2s));
}

TEST(TcpServerTest, ListeningSocketProbesKeepAlive) {
  uint16_t port = zq_test::FreeTcpPort();
  TcpServer server(port);
  auto option = [&](int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(server.listen_sock, level, name, &value, &length);
    return value;
  };
  EXPECT_EQ(1, option(SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(1, option(SOL_SOCKET, SO_REUSEADDR));
  EXPECT_EQ(1, option(IPPROTO_TCP, TCP_KEEPIDLE));
  EXPECT_EQ(1, option(IPPROTO_TCP, TCP_KEEPINTVL));
  EXPECT_EQ(10, option(IPPROTO_TCP, TCP_KEEPCNT));

  zq_test::ScopedLogSettings settings(4, 3, "");
  zq_test::StdoutCapture capture;
  EXPECT_EQ(-1, server.enable_keepalive(-1));
  EXPECT_EQ("Service | DEBUG: keep alive error:Bad file descriptor\n", capture.Text());
}

TEST(TcpServerTest, StopAndDestroyCloseOnlyTheServersOwnSockets) {
  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  {
    TcpServer unused;
    EXPECT_EQ(0, unused.stop());
    EXPECT_EQ(0, unused.stop());
  }
  {
    uint16_t port = zq_test::FreeTcpPort();
    TcpServer never_served(port);
    ASSERT_EQ(0, never_served.start());
    int listen_fd = never_served.listen_sock;
    EXPECT_EQ(0, never_served.stop());
    EXPECT_FALSE(zq_test::DescriptorOpen(listen_fd));
    EXPECT_FALSE(zq_test::ConnectToLoopback(port).valid()) << "still listening after stop";
    // The number may now belong to someone else; a second stop leaves it alone.
    int reused = dup(pipe_fds[0]);
    EXPECT_EQ(0, never_served.stop());
    EXPECT_TRUE(zq_test::DescriptorOpen(reused));
    close(reused);
  }
  {
    ServedClient served;
    EXPECT_EQ(0, served.server->stop());
    EXPECT_TRUE(zq_test::WaitForEndOfStream(served.client.get(), 5s));
    EXPECT_EQ(0, served.server->stop());
    served.server.reset();
  }
  EXPECT_TRUE(zq_test::DescriptorOpen(STDIN_FILENO));
  EXPECT_TRUE(zq_test::DescriptorOpen(pipe_fds[0]));
  EXPECT_TRUE(zq_test::DescriptorOpen(pipe_fds[1]));
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST(TcpServerTest, StoppedServerRefusesToServe) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  ServedClient served;
  ASSERT_EQ(0, served.server->stop());
  zq_test::StdoutCapture out;
  zq_test::StdoutCapture errors(STDERR_FILENO);
  EXPECT_EQ(-1, served.server->accept());
  EXPECT_EQ(-1, served.server->send(const_cast<char*>("late")));
  EXPECT_EQ(-1, served.server->recv());
  EXPECT_EQ("Service | DEBUG: not start,please start\n"
            "Service | DEBUG: send error:Transport endpoint is not connected\n"
            "Service | DEBUG: recv length is -1,something is wrong 107\n",
            out.Text());
  EXPECT_EQ("recv failed: Transport endpoint is not connected\n", errors.Text());
}

TEST(TcpServerTest, RestartsAfterStopWithANewInit) {
  uint16_t port = zq_test::FreeTcpPort();
  TcpServer server(port);
  ASSERT_EQ(0, server.start());
  ASSERT_EQ(0, server.stop());
  ASSERT_EQ(0, server.init(port));
  ASSERT_EQ(0, server.start());
  EXPECT_FALSE(server.stopped);
  UniqueFd client = zq_test::ConnectToLoopback(port);
  ASSERT_TRUE(client.valid());
  EXPECT_EQ(0, server.accept());
}

TEST(TcpServerTest, NextClientReplacesAndClosesThePrevious) {
  ServedClient served;
  UniqueFd second = zq_test::ConnectToLoopback(served.port);
  ASSERT_TRUE(second.valid());
  EXPECT_EQ(0, served.server->accept());
  EXPECT_TRUE(zq_test::WaitForEndOfStream(served.client.get(), 5s));
  auto reading = std::async(std::launch::async, [&] { return zq_test::ReadBytes(second.get(), kFrame, 10s); });
  EXPECT_EQ(0, served.server->send(const_cast<char*>("to the second")));
  EXPECT_EQ("to the second", reading.get().substr(0, 13));
}

}  // namespace
