// The SNMP agent inside the real binary: it answers on the port its
// configuration names, and a port it cannot open ends the process before
// anything else starts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "support/service_process.h"
#include "support/snmp_tools.h"

namespace {

using namespace std::chrono_literals;

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

}  // namespace
