#include "snmp/sink_target.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

TEST(SinkTargetTest, HostPortAndTransportOfEachKindOfLine) {
  struct Case {
    const char* token;
    const char* line;
    const char* host;
    bool stream;
    const char* address;
    const char* default_port;
    bool ipv6;
  } cases[] = {
      {"trap2sink", "127.0.0.1:1162 public", "127.0.0.1:1162", false, "127.0.0.1:1162", "162", false},
      {"trap2sink", "tcp:127.0.0.1:1162 public", "tcp:127.0.0.1:1162", true, "127.0.0.1:1162", "162", false},
      {"trapsink", "TCP:receiver.example public 2162", "TCP:receiver.example", true, "receiver.example", "2162",
       false},
      {"informsink", "-name n1 -tag t1 -s 127.0.0.2 -profile p tcp6:[::1]:1162 secret", "tcp6:[::1]:1162", true,
       "[::1]:1162", "162", true},
      {"trap2sink", "  udp:127.0.0.1   \"a community\"  ", "udp:127.0.0.1", false, "127.0.0.1", "162", false},
      {"trap2sink", "[::1]:1162 public", "[::1]:1162", false, "[::1]:1162", "162", true},
      {"trapsess", "-v 2c -c public tcpv6:[::1]:1162", "tcpv6:[::1]:1162", true, "[::1]:1162", "162", true},
      {"trapsess", "-v 2c -c public -Ci 127.0.0.1:1162", "127.0.0.1:1162", false, "127.0.0.1:1162", "162", false},
      {"trapsess", "-v 3 -u user -l authNoPriv -a SHA -A secret tlstcp:127.0.0.1:10161", "tlstcp:127.0.0.1:10161",
       true, "127.0.0.1:10161", "162", false},
      {"trap2sink", "", "", false, "", "162", false},
  };
  for (const Case& c : cases) {
    SinkTarget target = ParseSinkTarget(c.token, c.line);
    SCOPED_TRACE(std::string(c.token) + " " + c.line);
    EXPECT_EQ(c.host, target.host);
    EXPECT_EQ(c.stream, target.stream);
    EXPECT_EQ(c.address, target.address);
    EXPECT_EQ(c.default_port, target.default_port);
    EXPECT_EQ(c.ipv6, target.ipv6);
  }
}

TEST(SinkTargetTest, ResolvesLiteralAddressesWithTheirPortOrTheDefault) {
  sockaddr_storage address{};
  socklen_t length = 0;
  ASSERT_TRUE(ResolveSinkTarget(ParseSinkTarget("trap2sink", "tcp:127.0.0.1:1162 public"), &address, &length));
  auto* in = reinterpret_cast<sockaddr_in*>(&address);
  EXPECT_EQ(AF_INET, in->sin_family);
  EXPECT_EQ(sizeof(sockaddr_in), length);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), in->sin_addr.s_addr);
  EXPECT_EQ(1162, ntohs(in->sin_port));

  ASSERT_TRUE(ResolveSinkTarget(ParseSinkTarget("trap2sink", "tcp:127.0.0.1 public 2162"), &address, &length));
  EXPECT_EQ(2162, ntohs(in->sin_port));

  ASSERT_TRUE(ResolveSinkTarget(ParseSinkTarget("trap2sink", "tcp6:[::1] public"), &address, &length));
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
  EXPECT_EQ(AF_INET6, in6->sin6_family);
  EXPECT_EQ(sizeof(sockaddr_in6), length);
  EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr));
  EXPECT_EQ(162, ntohs(in6->sin6_port));

  EXPECT_FALSE(ResolveSinkTarget(ParseSinkTarget("trap2sink", ""), &address, &length));
}

}  // namespace
