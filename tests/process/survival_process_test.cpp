// The real binary outlives what it talks to: a reader of its output that
// exits, a TCP notification receiver that goes away and comes back, and
// hours of log lines on a flash of bounded size.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


#include "support/cloud_backend.h"
#include "support/files.h"
#include "support/snmp_tools.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CloudBackendFake;

// The processes whose parent is `parent` and whose program is the service.
std::vector<pid_t> ServiceChildren(pid_t parent) {
  std::vector<pid_t> found;
  std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
  pid_t pid = 0;
  while (children >> pid) {
    char target[4096] = {0};
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == ZQ_SERVICE_BINARY) found.push_back(pid);
  }
  return found;
}

// Alive and not a zombie.
bool ProcessRuns(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

class SurvivalProcessTest : public zq_test::CloudProcessTest {
 protected:
  SurvivalProcessTest() { root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud_, 1, 2)); }
};

TEST_F(SurvivalProcessTest, ReaderOfStandardOutputAndErrorThatExitsEndsNothing) {
  StartCameraPeer();
  // Both outputs go into one pipe whose reader takes three lines and exits;
  // the shell stays, so the service's parent is known.
  const std::string command = std::string("'") + ZQ_SERVICE_BINARY + "' 2>&1 | head -n 3 >/dev/null; sleep 120";
  auto shell = std::make_unique<zq_test::ChildProcess>(environment_.env, "/bin/sh",
                                                       std::vector<std::string>{"-c", command});
  std::vector<pid_t> services;
  for (int i = 0; i < 100 && services.empty(); ++i) {
    std::this_thread::sleep_for(50ms);
    services = ServiceChildren(shell->pid());
  }
  ASSERT_EQ(1u, services.size());
  const pid_t service = services[0];
  ASSERT_TRUE(cloud_.WaitForAccepted(1, 15s));
  // The reader is long gone by the first report; every line since met a
  // closed pipe.
  std::this_thread::sleep_for(5s);
  EXPECT_TRUE(ProcessRuns(service)) << "the service ended with its reader";
  const size_t heartbeats = cloud_.Reports(CloudBackendFake::kHeartbeatPath).size();
  EXPECT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, heartbeats + 2, 10s));
  EXPECT_TRUE(ProcessRuns(service));
  kill(service, SIGKILL);
}

TEST_F(SurvivalProcessTest, TcpNotificationReceiverStoppedAndStartedAgain) {
  const std::string heartbeat = ".1.0.0.4.0.1";
  auto receiver = std::make_unique<zq_test::TrapReceiver>(true);
  const uint16_t port = receiver->port();
  environment_.AddSnmpTrapSink(port, true);
  StartCameraPeer();
  auto service = StartService();
  ASSERT_TRUE(receiver->WaitFor(heartbeat, 1, 40s)) << service->Stderr().substr(0, 2000);

  // The receiver goes away: its end of the connection closes, and the next
  // notifications find the sink dead.
  receiver.reset();
  std::this_thread::sleep_for(25s);
  ASSERT_TRUE(service->Running()) << "status " << service->WaitForExit(1s).value_or(-1);

  receiver = std::make_unique<zq_test::TrapReceiver>(true, port);
  const auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(receiver->WaitFor(heartbeat, 1, 35s)) << "no notification after the receiver came back";
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
  printf("notifications resumed %.1f s after the receiver came back\n", seconds);
  EXPECT_LE(seconds, 30.0);
  EXPECT_TRUE(service->Running());
  // The library's debug output is still on (only the "trap" token is off).
  EXPECT_NE(std::string::npos, service->Stderr().find("trace: "));
}

TEST_F(SurvivalProcessTest, FileLogStaysWithinOneMebibyteAndOneOlderGeneration) {
  // The log file's fixed path lies on the device's flash. The service runs in
  // a mount namespace of its own where a tmpfs covers /mnt and a directory
  // of this test stands at that path; nothing outside the namespace changes.
  zq_test::TempDir logs("zqlogs");
  const std::string current = logs / "log_daemon.txt";
  const std::string older = logs / "log_daemon.txt.1";
  // An earlier run left a full file and an older generation: plenty of
  // traffic in a short test.
  zq_test::WriteFile(current, std::string(1024 * 1024 - 3000, 'x') + "\n");
  zq_test::WriteFile(older, "generation before\n");

  StartCameraPeer();
  zq_test::Env env = environment_.env;
  env["LOG_TYPE"] = "1";
  env["LOG_LEVEL"] = "4";
  const std::string script = "mount -t tmpfs tmpfs /mnt && mkdir -p /mnt/flash/smartinfo && mount --bind '" +
                             logs.path() + "' /mnt/flash/smartinfo && exec '" + ZQ_SERVICE_BINARY + "'";
  auto service = std::make_unique<zq_test::ChildProcess>(
      env, "/usr/bin/unshare",
      std::vector<std::string>{"--mount", "--propagation", "private", "/bin/sh", "-c", script});
  ASSERT_TRUE(cloud_.WaitForAccepted(1, 15s)) << service->Stdout() << service->Stderr();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 6, 20s));
  ASSERT_TRUE(service->Running());

  struct stat info {};
  ASSERT_EQ(0, stat(current.c_str(), &info));
  EXPECT_LE(info.st_size, 1024 * 1024);
  const std::string moved = zq_test::ReadFile(older);
  EXPECT_EQ(std::string(1024 * 1024 - 3000, 'x') + "\n", moved.substr(0, 1024 * 1024 - 2999))
      << "the full file became the older generation, replacing the one before";
  EXPECT_EQ(std::string::npos, moved.find("generation before"));
  EXPECT_FALSE(zq_test::FileExists(logs / "log_daemon.txt.2"));
  EXPECT_FALSE(zq_test::FileExists(logs / "log_daemon.txt.1.1"));
  // The newest lines are in the current file: the latest heartbeat went out
  // after the move.
  const std::string text = zq_test::ReadFile(current);
  EXPECT_NE(std::string::npos, text.find("INFO: Do heart beat\n"));
  EXPECT_EQ(std::string::npos, text.find("xxxx"));
  // Nothing of it reached standard output.
  EXPECT_EQ(std::string::npos, service->Stdout().find("Do heart beat"));
}

}  // namespace
