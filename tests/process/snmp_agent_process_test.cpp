// The SNMP agent inside the real binary: it answers on the port its
// configuration names, a port it cannot open ends the process before
// anything else starts, a flood of requests costs what answering them costs,
// and a notification receiver that is gone costs the others nothing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "support/service_process.h"
#include "support/snmp_tools.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kHeartbeat = ".1.0.0.4.0.1";

const char* const kDeviceAgentFile = "/mnt/flash/smart/zarnu_service/current/config/snmpd.conf";

class SnmpAgentProcessTest : public zq_test::ServiceProcessTest {};

// The socket inodes the process holds open.
std::set<std::string> SocketInodes(pid_t pid) {
  std::set<std::string> inodes;
  std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fd_dir.c_str());
  if (dir == nullptr) return inodes;
  while (dirent* entry = readdir(dir)) {
    char target[256] = {0};
    ssize_t n = readlink((fd_dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    std::string link(target, n > 0 ? static_cast<size_t>(n) : 0);
    if (link.rfind("socket:[", 0) == 0) inodes.insert(link.substr(8, link.size() - 9));
  }
  closedir(dir);
  return inodes;
}

// Local "address:port" (hex, as the kernel lists it) of every TCP socket in
// LISTEN state among `inodes`.
std::vector<std::string> TcpListeners(const std::set<std::string>& inodes) {
  std::vector<std::string> listeners;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "0A" && inodes.count(inode) != 0) listeners.push_back(local);
    }
  }
  return listeners;
}

TEST_F(SnmpAgentProcessTest, AnswersOnItsConfiguredPortWithoutTheDeviceFile) {
  struct stat info {};
  bool device_file_present = stat(kDeviceAgentFile, &info) == 0;
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig());
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("zq_camera_service major version: 3 \n", 20s)) << service->Stdout();
  ASSERT_TRUE(service->WaitForStdout("NET-SNMP test\n", 10s));

  std::vector<zq_test::SnmpVarbind> answer =
      zq_test::SnmpGet(environment_.snmp_port, {".1.3.6.1.2.1.1.3.0", ".1.3.6.1.2.1.1.1.0"});
  ASSERT_EQ(2u, answer.size()) << service->Stderr().substr(0, 4000);
  EXPECT_EQ(".1.3.6.1.2.1.1.3.0", answer[0].name);
  EXPECT_EQ("Timeticks", answer[0].type);
  EXPECT_EQ(".1.3.6.1.2.1.1.1.0", answer[1].name);
  EXPECT_EQ("STRING", answer[1].type);

  std::string out = service->Stdout();
  // The agent is up before the configuration documents are read.
  EXPECT_LT(out.find("setParam\n"), out.find("major version"));
  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: check and process snmptrap\n"));
  if (!device_file_present) {
    EXPECT_TRUE(service->WaitForStderr(std::string(kDeviceAgentFile) + ": No such file or directory", 5s));
  }
  // The agent opens no listener but its configured UDP port: no SMUX or
  // AgentX socket of the distribution's library.
  EXPECT_TRUE(TcpListeners(SocketInodes(service->pid())).empty());
  EXPECT_TRUE(service->Running());
}

TEST_F(SnmpAgentProcessTest, FirstHeartbeatNotificationComesAnIntervalAfterStartCarryingIt) {
  const std::string heartbeat = ".1.0.0.4.0.1";
  zq_test::TrapReceiver receiver;
  environment_.AddSnmpTrapSink(receiver.port());
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig());
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  auto started = std::chrono::steady_clock::now();
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("NET-SNMP test\n", 10s)) << service->Stdout();

  // Well into the interval, nothing has gone out yet.
  std::this_thread::sleep_for(started + 10s - std::chrono::steady_clock::now());
  EXPECT_TRUE(receiver.Notifications(heartbeat).empty());
  ASSERT_TRUE(receiver.WaitFor(heartbeat, 1, 20s)) << service->Stderr().substr(0, 4000);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GT(seconds, 19.0);
  EXPECT_LT(seconds, 25.0);

  std::vector<zq_test::SnmpNotification> received = receiver.Notifications(heartbeat);
  ASSERT_EQ(1u, received.size());
  // sysUpTime.0 first (the receiver line starts with it), then the eight.
  EXPECT_GE(received[0].uptime, 1950);
  EXPECT_LE(received[0].uptime, 2300);
  EXPECT_EQ(zq_test::DescribeVarbinds(zq_test::DeviceNotificationVarbinds(4, "20")),
            zq_test::DescribeVarbinds(received[0].varbinds));
  EXPECT_TRUE(service->Running());
}

TEST_F(SnmpAgentProcessTest, PortTakenByAnotherProcessEndsTheServiceWithStatusOne) {
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig());
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  zq_camera_service::UniqueFd holder(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_TRUE(holder.valid());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(environment_.snmp_port);
  ASSERT_EQ(0, bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));

  auto service = StartService();
  std::optional<int> status = service->WaitForExit(30s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(1, *status);
  EXPECT_NE(std::string::npos, service->Stderr().find("Server Exiting with code 1\n"));
  std::string out = service->Stdout();
  EXPECT_NE(std::string::npos, out.find("setParam\n"));
  // Nothing after the agent ran: no configuration document was read.
  EXPECT_EQ(std::string::npos, out.find("config")) << out;
  EXPECT_EQ(std::string::npos, out.find("major version")) << out;
  EXPECT_EQ(std::string::npos, out.find("NET-SNMP test")) << out;
}

// snmpget of sysUpTime.0 about once a second for as long as `go_on` says
// so; snmpget gives up after 2 s (1 s, one retry).
struct GetRecord {
  int asked = 0;
  int unanswered = 0;
  double slowest_seconds = 0;
  std::string Describe() const {
    return std::to_string(unanswered) + " of " + std::to_string(asked) + " unanswered, slowest answer " +
           std::to_string(slowest_seconds) + " s";
  }
};

GetRecord AskWhile(uint16_t port, const std::function<bool()>& go_on) {
  GetRecord record;
  while (go_on()) {
    auto asked = Clock::now();
    ++record.asked;
    if (zq_test::SnmpGet(port, {".1.3.6.1.2.1.1.3.0"}).empty()) {
      ++record.unanswered;
    } else {
      record.slowest_seconds =
          std::max(record.slowest_seconds, std::chrono::duration<double>(Clock::now() - asked).count());
    }
    std::this_thread::sleep_until(asked + 1s);
  }
  return record;
}

// Every notification arrived once: two of the same kind less than half a
// second apart (the modules poll once a second) are one sent twice.
void ExpectEachNotificationOnce(const std::vector<zq_test::SnmpNotification>& received, const std::string& where) {
  std::map<std::string, std::vector<long>> uptimes;
  for (const zq_test::SnmpNotification& notification : received) {
    uptimes[notification.TrapOid()].push_back(notification.uptime);
  }
  for (auto& [trap_oid, times] : uptimes) {
    std::sort(times.begin(), times.end());
    std::string all;
    for (long time : times) all += std::to_string(time) + " ";
    for (size_t i = 1; i < times.size(); ++i) {
      if (times[i] - times[i - 1] >= 50) continue;
      ADD_FAILURE() << where << ": " << trap_oid << " arrived twice; sent at " << all;
      break;
    }
  }
}

bool InOwnNetwork() {
  const char* own = getenv("ZQ_TEST_OWN_NETWORK");
  return own != nullptr && std::string(own) == "1";
}

TEST_F(SnmpAgentProcessTest, RequestFloodAtTheDefaultThresholdIsAnsweredWithAQuietStandardError) {
  // No cloud address: nothing but the agent has anything to say.
  root_.WriteBaseConfig("{}");
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  auto service = StartService({{"LOG_LEVEL", "<unset>"}});
  ASSERT_TRUE(service->WaitForStdout("NET-SNMP test\n", 20s)) << service->Stdout();

  zq_test::SnmpFloodFigures flood;
  std::atomic<bool> flooding{true};
  std::thread flooder([&] {
    flood = zq_test::FloodSnmpRequests(environment_.snmp_port, zq_test::SnmpRequestKind::kBulk, 50, 30s);
    flooding = false;
  });
  GetRecord gets = AskWhile(environment_.snmp_port, [&] { return flooding.load(); });
  flooder.join();

  EXPECT_EQ(0, gets.unanswered) << gets.Describe();
  EXPECT_GT(gets.asked, 20);
  EXPECT_EQ(1500u, flood.sent);
  EXPECT_GT(flood.answered, flood.sent / 2) << flood.answered << " of " << flood.sent << " answered";
  std::string err = service->Stderr();
  EXPECT_LT(err.size(), 4096u) << err.substr(0, 3000);
  EXPECT_EQ(std::string::npos, err.find("public")) << "a community string on standard error";
  EXPECT_TRUE(service->Running());
}

TEST_F(SnmpAgentProcessTest, LibraryDebugOutputAndConnectionLinesFollowTheLogThreshold) {
  root_.WriteBaseConfig("{}");
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  struct Case {
    std::string log_level;
    bool debug;
    bool connections;
  } cases[] = {{"<unset>", false, false}, {"1", false, false}, {"3", false, true}, {"4", true, true}};
  for (const Case& c : cases) {
    auto service = StartService({{"LOG_LEVEL", c.log_level}});
    ASSERT_TRUE(service->WaitForStdout("NET-SNMP test\n", 20s)) << c.log_level;
    ASSERT_EQ(1u, zq_test::SnmpGet(environment_.snmp_port, {".1.3.6.1.2.1.1.3.0"}).size()) << c.log_level;
    // The agent logged the request before it answered; the module lines come
    // from the start.
    std::string err = service->Stderr();
    EXPECT_EQ(c.debug, err.find("cpuTrap: Initializing\n") != std::string::npos) << c.log_level;
    EXPECT_EQ(c.debug, err.find("trace: ") != std::string::npos) << c.log_level;
    EXPECT_EQ(c.debug, err.find("dumph_recv") != std::string::npos) << c.log_level;
    EXPECT_EQ(c.connections, err.find("Connection from UDP: [127.0.0.1]") != std::string::npos) << c.log_level;
    EXPECT_NE(std::string::npos, err.find("NET_SNMP version ")) << c.log_level;
    if (!c.debug) {
      EXPECT_LT(err.size(), 2048u) << c.log_level << "\n" << err.substr(0, 3000);
    }
  }
}

// A TCP receiver that went away and whose host then answers no connection;
// one whose host answers none from the start; a UDP receiver with no route.
enum class UnreachableSink { kTcpReceiverGoneSilent, kTcpHostSilentFromTheStart, kNoRoute };

class SnmpUnreachableSinkProcessTest : public zq_test::ServiceProcessTest,
                                       public ::testing::WithParamInterface<UnreachableSink> {};

TEST_P(SnmpUnreachableSinkProcessTest, OtherReceiversGetEachNotificationOnceAndTheAgentKeepsAnswering) {
  zq_test::TrapReceiver healthy;
  environment_.AddSnmpTrapSink(healthy.port());
  std::unique_ptr<zq_test::TrapReceiver> tcp_receiver;
  uint16_t tcp_port = 0;
  if (GetParam() == UnreachableSink::kNoRoute) {
    // A loopback address with no route, in this test's own network only.
    if (!InOwnNetwork()) GTEST_SKIP() << "needs a network of its own to change its routes";
    zq_test::ChildProcess route(environment_.env, "/usr/sbin/ip",
                                {"route", "add", "unreachable", "127.66.0.1/32", "table", "local"});
    std::optional<int> status = route.WaitForExit(10s);
    ASSERT_TRUE(status.has_value() && *status == 0) << route.Stderr();
    const std::string conf = environment_.snmp_conf_dir + "/Test.conf";
    zq_test::WriteFile(conf, zq_test::ReadFile(conf) + "trap2sink 127.66.0.1:16200 public\n");
  } else {
    tcp_receiver = std::make_unique<zq_test::TrapReceiver>(true);
    tcp_port = tcp_receiver->port();
    environment_.AddSnmpTrapSink(tcp_port, true);
  }
  std::unique_ptr<zq_test::SilentTcpPort> silent;
  if (GetParam() == UnreachableSink::kTcpHostSilentFromTheStart) {
    tcp_receiver.reset();
    silent = std::make_unique<zq_test::SilentTcpPort>(tcp_port);
    ASSERT_TRUE(silent->silent());
  }
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig());
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("NET-SNMP test\n", 20s)) << service->Stdout();

  if (tcp_receiver) {
    ASSERT_TRUE(tcp_receiver->WaitFor(kHeartbeat, 1, 40s)) << service->Stdout();
    // The receiver goes, and its host answers no connection any more.
    tcp_receiver.reset();
    silent = std::make_unique<zq_test::SilentTcpPort>(tcp_port);
    ASSERT_TRUE(silent->silent());
  }

  // Three more heartbeats, every 20 s, with a question every second.
  const size_t before = healthy.Notifications(kHeartbeat).size();
  const auto give_up = Clock::now() + 90s;
  GetRecord gets = AskWhile(environment_.snmp_port, [&] {
    return healthy.Notifications(kHeartbeat).size() < before + 3 && Clock::now() < give_up;
  });
  EXPECT_GE(healthy.Notifications(kHeartbeat).size(), before + 3);
  EXPECT_EQ(0, gets.unanswered) << gets.Describe();
  ExpectEachNotificationOnce(healthy.Notifications(), "healthy receiver");
  // Said once, not at every attempt.
  EXPECT_EQ(1u, zq_test::CountOccurrences(service->Stdout(), "ERROR: notification receiver")) << service->Stdout();

  if (silent) {
    // The receiver is back: it gets notifications again once the pause in
    // force has passed (80 s at the most by now) and the next one goes out.
    silent.reset();
    tcp_receiver = std::make_unique<zq_test::TrapReceiver>(true, tcp_port);
    const auto back = Clock::now();
    gets = AskWhile(environment_.snmp_port, [&] {
      return tcp_receiver->Notifications(kHeartbeat).empty() && Clock::now() < back + 120s;
    });
    ASSERT_FALSE(tcp_receiver->Notifications(kHeartbeat).empty()) << service->Stdout();
    printf("notifications reached the TCP receiver %.1f s after it came back\n",
           std::chrono::duration<double>(Clock::now() - back).count());
    EXPECT_EQ(0, gets.unanswered) << gets.Describe();
    EXPECT_TRUE(service->WaitForStdout(
        "notification receiver tcp:127.0.0.1:" + std::to_string(tcp_port) + " reachable again\n", 5s));
    ExpectEachNotificationOnce(tcp_receiver->Notifications(), "TCP receiver back");
  }
  ExpectEachNotificationOnce(healthy.Notifications(), "healthy receiver");
  EXPECT_TRUE(service->Running());
}

INSTANTIATE_TEST_SUITE_P(Sinks, SnmpUnreachableSinkProcessTest,
                         ::testing::Values(UnreachableSink::kTcpReceiverGoneSilent,
                                           UnreachableSink::kTcpHostSilentFromTheStart, UnreachableSink::kNoRoute),
                         [](const ::testing::TestParamInfo<UnreachableSink>& info) {
                           switch (info.param) {
                             case UnreachableSink::kTcpReceiverGoneSilent:
                               return std::string("TcpReceiverGoneSilent");
                             case UnreachableSink::kTcpHostSilentFromTheStart:
                               return std::string("TcpHostSilentFromTheStart");
                             case UnreachableSink::kNoRoute:
                               break;
                           }
                           return std::string("NoRoute");
                         });

}  // namespace
