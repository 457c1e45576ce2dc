// Start-up's encoder-information request over the camera link: the real
// binary against the fake camera software on 127.0.0.1:9658.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/cloud_backend.h"
#include "support/loopback.h"
#include "support/proc_figures.h"

namespace {

using namespace std::chrono_literals;
using zq_fakes::CameraPeerFault;

// Service 1 comes after authentication, which the cloud fake accepts at once.
class IpcStartupProcessTest : public zq_test::CloudProcessTest {
 protected:
  void SetUp() override { root_.WriteVersionConfig(zq_test::VersionConfig(3)); }
};

TEST_F(IpcStartupProcessTest, StartUpWaitsForTheDelayedReplyThenGoesOn) {
  auto& peer = StartCameraPeer(1500ms);
  auto service = StartService();
  ASSERT_TRUE(peer.WaitForRequests(1, 10s)) << service->Stdout();
  auto asked = std::chrono::steady_clock::now();
  auto requests = peer.Requests();
  EXPECT_TRUE(requests[0].well_formed) << requests[0].problem;
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_NE(std::string::npos, requests[0].body.find("\"CommandType\":\"GetEncodeInfos\""));

  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(std::string::npos, service->Stdout().find("config service response")) << "did not wait for the reply";
  EXPECT_EQ(std::string::npos, service->Stdout().find("Start service 3")) << "start-up went on without the reply";
  ASSERT_TRUE(service->WaitForStdout("Service | INFO: config service response: {\n", 10s)) << service->Stdout();
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 1200ms);

  std::string out = service->Stdout();
  size_t version = out.find("zq_camera_service major version: 3 \n");
  size_t start = out.find("Service | DEBUG: Start service 1\n");
  size_t sent = out.find("Service | INFO: config service sendmessage: ");
  size_t answered = out.find("\"RequestId\": \"1\",");
  ASSERT_NE(std::string::npos, version);
  ASSERT_NE(std::string::npos, start);
  ASSERT_NE(std::string::npos, sent);
  ASSERT_NE(std::string::npos, answered);
  EXPECT_LT(version, start);
  EXPECT_LT(start, sent);
  EXPECT_LT(sent, answered);
  // And then start-up goes on with the monitor.
  ASSERT_TRUE(service->WaitForStdout("Service | DEBUG: Start service 3\n", 10s)) << service->Stdout();
  EXPECT_LT(answered, service->Stdout().find("Service | DEBUG: Start service 3\n"));
  EXPECT_EQ(std::string::npos, service->Stderr().find("Error on connecting")) << "the link did not connect";
  EXPECT_TRUE(service->Running());
  EXPECT_EQ(1u, peer.Requests().size());
}

TEST_F(IpcStartupProcessTest, NothingListeningLeavesTheProcessAliveAndBlocked) {
  // Whatever else may listen on the fixed port, the fixed-ports lock keeps
  // this suite's own peers away; anything left means the check is void.
  if (zq_test::ConnectToLoopback(9658).valid()) GTEST_SKIP() << "something listens on 127.0.0.1:9658";
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStderr("Error on connecting: 111  Connection refused\n", 10s, 3)) << service->Stderr();
  ASSERT_TRUE(service->WaitForStdout("Service | INFO: config service sendmessage: ", 10s)) << service->Stdout();
  EXPECT_TRUE(service->WaitForStdout("Service | ERROR: send failed: ", 10s)) << service->Stdout();

  // Blocked, not spinning: the waiting start-up and the idle link use no CPU.
  // The bound is a quarter of a core: the face fetch and the SNMP agent keep
  // their periods meanwhile (and a sanitizer build's runtime has threads of
  // its own), while one spinning thread would take a whole core.
  long before = zq_test::CpuTicks(service->pid());
  std::this_thread::sleep_for(2s);
  long used = zq_test::CpuTicks(service->pid()) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) * 2 / 4) << "ticks used while blocked: " << used;
  EXPECT_TRUE(service->Running());
  EXPECT_EQ(std::string::npos, service->Stdout().find("config service response"));
  EXPECT_EQ(std::string::npos, service->Stdout().find("Start service 3"));
  EXPECT_EQ(3u, zq_test::CountOccurrences(service->Stderr(), "Error on connecting:"));
}

TEST_F(IpcStartupProcessTest, MisbehavingPeerLeavesStartUpWaitingWithoutACrash) {
  struct Case {
    CameraPeerFault fault;
    const char* log;  // shows the process took the reply and dropped it ("" when nothing comes)
  };
  const Case cases[] = {
      {CameraPeerFault::kSilent, "Service | INFO: recv\n"},
      {CameraPeerFault::kCloseAfterRequest, "Service | INFO: recv length 0\n"},
      {CameraPeerFault::kWrongId, "ipc reply dropped: no request waits for id \"not-1\"\n"},
      {CameraPeerFault::kBodyType2, "Service | ERROR: Non json type not support\n"},
  };
  for (const Case& c : cases) {
    const char* name = zq_fakes::CameraPeerFaultName(c.fault);
    auto& peer = StartCameraPeer(0ms, c.fault);
    auto service = StartService();
    ASSERT_TRUE(peer.WaitForRequests(1, 10s)) << name;
    EXPECT_TRUE(service->WaitForStdout(c.log, 10s)) << name << ": " << service->Stdout();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(service->Running()) << name;
    EXPECT_EQ(std::string::npos, service->Stdout().find("config service response")) << name;
    EXPECT_EQ(std::string::npos, service->Stdout().find("Start service 3")) << name;
    service->Kill();
  }
}

}  // namespace
