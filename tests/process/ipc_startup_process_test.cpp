// Start-up's encoder-information request over the camera link: the real
// binary against the fake camera software on 127.0.0.1:9658.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/build_kind.h"
#include "support/cloud_backend.h"
#include "support/loopback.h"
#include "support/proc_figures.h"

namespace {

using namespace std::chrono_literals;
using zq_fakes::CameraPeerFault;

const char* const kLinkDown = "Service | ERROR: ipc link to 127.0.0.1:9658 down, reconnecting\n";
const char* const kLinkUp = "Service | INFO: ipc link to 127.0.0.1:9658 up again\n";

// CPU ticks a process may use over `seconds` while it waits for the camera
// software: under 1 % of a core. A sanitizer's runtime adds threads of its
// own (thread sanitizer's background thread wakes many times a second), so
// its builds get a tenth of a core, still far below one spinning thread.
long AbsentPeerTickBudget(long seconds) {
  return sysconf(_SC_CLK_TCK) * seconds / (zq_test::kSanitizerBuild ? 10 : 100);
}

// Service 1 comes after authentication, which the cloud fake accepts at once.
class IpcStartupProcessTest : public zq_test::CloudProcessTest {
 protected:
  void SetUp() override { root_.WriteVersionConfig(zq_test::VersionConfig(3)); }
};

TEST_F(IpcStartupProcessTest, StartUpWaitsForTheDelayedReplyThenGoesOn) {
  auto& peer = StartCameraPeer(1500ms);
  auto service = StartService();
  ASSERT_TRUE(peer.WaitForRequests(1, 10s)) << service->Stdout();
  auto requests = peer.Requests();
  // The peer answers 1.5 s after the request came in, not before.
  const auto asked = requests[0].arrival;
  EXPECT_TRUE(requests[0].well_formed) << requests[0].problem;
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_NE(std::string::npos, requests[0].body.find("\"CommandType\":\"GetEncodeInfos\""));

  std::this_thread::sleep_until(asked + 700ms);
  // Only a look taken before the reply was due tells; a machine too busy to
  // take it in time leaves it to the order of the lines checked below.
  const std::string early = service->Stdout();
  if (std::chrono::steady_clock::now() < asked + 1500ms) {
    EXPECT_EQ(std::string::npos, early.find("config service response")) << "did not wait for the reply";
    EXPECT_EQ(std::string::npos, early.find("Start service 3")) << "start-up went on without the reply";
  }
  ASSERT_TRUE(service->WaitForStdout("Service | INFO: config service response: {\n", 10s)) << service->Stdout();
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 1500ms);

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

TEST_F(IpcStartupProcessTest, AbsentPeerCostsNoCpuAndStartUpGoesOnOnceItListens) {
  // Whatever else may listen on the fixed port, the fixed-ports lock keeps
  // this suite's own peers away; anything left means the check is void.
  if (zq_test::ConnectToLoopback(9658).valid()) GTEST_SKIP() << "something listens on 127.0.0.1:9658";
  root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud_, 1, 2));
  zq_test::CameraPeer late(0ms, CameraPeerFault::kNone, zq_test::CameraPeer::Listen::kLater);
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStderr("Error on connecting: 111  Connection refused\n", 10s, 3)) << service->Stderr();
  ASSERT_TRUE(service->WaitForStdout("Service | INFO: config service sendmessage: ", 10s)) << service->Stdout();
  ASSERT_TRUE(service->WaitForStdout(kLinkDown, 10s)) << service->Stdout();

  // Waiting, not spinning: the link retries a few times a second at most,
  // and everything else of the process is idle until start-up is through.
  long before = zq_test::CpuTicks(service->pid());
  std::this_thread::sleep_for(10s);
  long used = zq_test::CpuTicks(service->pid()) - before;
  EXPECT_LT(used, AbsentPeerTickBudget(10)) << "ticks used in 10 s while the peer was absent: " << used;
  EXPECT_TRUE(service->Running());
  EXPECT_EQ(std::string::npos, service->Stdout().find("config service response"));
  EXPECT_EQ(std::string::npos, service->Stdout().find("Start service 3"));
  // The initial connection's errors, then nothing per attempt.
  EXPECT_EQ(3u, zq_test::CountOccurrences(service->Stderr(), "Error on connecting:"));
  EXPECT_EQ(1u, zq_test::CountOccurrences(service->Stdout(), kLinkDown));
  EXPECT_EQ(0u, zq_test::CountOccurrences(service->Stdout(), "Service | INFO: send\n")) << "sent without a link";

  late.Start();
  ASSERT_TRUE(cloud_.WaitForReports(zq_test::CloudBackendFake::kHeartbeatPath, 1, 10s)) << service->Stdout();
  auto requests = late->Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(requests[0].well_formed) << requests[0].problem;
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_EQ(1u, zq_test::CountOccurrences(service->Stdout(), kLinkUp));
  EXPECT_EQ(1u, zq_test::CountOccurrences(service->Stdout(), kLinkDown));
}

// The camera software as a device meets it: late, restarting, writing its
// answer in pieces or merged with another frame, or answering at length.
TEST_F(IpcStartupProcessTest, AnswerHoldingANumberNoDoubleHoldsEndsTheWait) {
  // Such a reply cannot be written out again, so the log shows it as null;
  // its request id must still be read, or start-up would wait for good.
  root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud_, 1, 2));
  zq_test::CameraPeer peer(0ms, CameraPeerFault::kHugeNumber);
  auto service = StartService();
  ASSERT_TRUE(cloud_.WaitForReports(zq_test::CloudBackendFake::kHeartbeatPath, 1, 10s)) << service->Stdout();
  EXPECT_NE(std::string::npos, service->Stdout().find("Service | INFO: config service response: null\n"))
      << service->Stdout();
  EXPECT_EQ(1u, peer->Requests().size());
}

TEST_F(IpcStartupProcessTest, StartUpCompletesWhateverWayThePeerWritesItsAnswer) {
  root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud_, 1, 2));
  using Peer = zq_fakes::CameraIpcPeer;
  struct Case {
    const char* name;
    CameraPeerFault mode;
    bool listens_late;     // comes up 2 s after the service
    size_t requests;       // what the peer receives: a request lost with its connection goes again
    bool link_drops_once;  // the link logs going down and coming back once
    std::vector<std::string> dropped;  // ids of frames that came before the answer, dropped unasked for
    const char* log;                   // a line that shows how the answer came ("" for none)
  };
  const Case cases[] = {
      {"late start", CameraPeerFault::kNone, true, 1, true, {}, ""},
      {"header then body", CameraPeerFault::kSplitHeaderBody, false, 1, false, {}, ""},
      {"byte by byte", CameraPeerFault::kByteByByte, false, 1, false, {}, ""},
      {"200 KiB body", CameraPeerFault::kLargeBody, false, 1, false, {}, ""},
      {"closed unanswered, then answers", CameraPeerFault::kCloseThenAnswer, false, 2, true, {}, ""},
      {"two frames in one send", CameraPeerFault::kMergedReplies, false, 1, false, {Peer::UnaskedId("1")}, ""},
      // A camera software answering an abandoned request late, or repeating
      // itself: frames nobody asked for, each in a write of its own.
      {"a stray frame, then the answer in a later write", CameraPeerFault::kStrayFirst, false, 1, false,
       {Peer::StrayId("1", 1)}, ""},
      {"several stray frames, then the answer", CameraPeerFault::kStraysFirst, false, 1, false,
       {Peer::StrayId("1", 1), Peer::StrayId("1", 2), Peer::StrayId("1", 3)}, ""},
      {"a stray frame after the answer", CameraPeerFault::kStrayAfter, false, 1, false, {}, ""},
      {"the answer twice", CameraPeerFault::kRepeatedReply, false, 1, false, {}, ""},
      // Accepted and never answered: the link gives up on the connection
      // after its bound and asks again on a new one.
      {"silent first connection, then answers", CameraPeerFault::kSilentThenAnswer, false, 2, true, {},
       "Service | ERROR: ipc no reply for request \"1\" within 10000 ms\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t heartbeats = cloud_.Reports(zq_test::CloudBackendFake::kHeartbeatPath).size();
    zq_test::CameraPeer peer(0ms, c.mode,
                             c.listens_late ? zq_test::CameraPeer::Listen::kLater : zq_test::CameraPeer::Listen::kNow);
    auto service = StartService();
    if (c.listens_late) {
      std::this_thread::sleep_for(2s);
      peer.Start();
    }
    // The link's bound on a silent peer (10 s), its first pause and the
    // exchange itself, with room for a busy machine.
    ASSERT_TRUE(peer->WaitForReplies(1, 40s)) << service->Stdout();
    // Start-up is through once the businesses send their first heartbeat,
    // which they do a heartbeat period after the answer.
    ASSERT_TRUE(cloud_.WaitForReports(zq_test::CloudBackendFake::kHeartbeatPath, heartbeats + 1, 10s))
        << service->Stdout();
    ASSERT_TRUE(service->WaitForStdout("Service | INFO: config service response: {\n", 1s)) << service->Stdout();
    auto reports = cloud_.Reports(zq_test::CloudBackendFake::kHeartbeatPath);
    auto answered = peer->Requests().back().replied_at;
    EXPECT_LT(reports[heartbeats].raw.arrival - answered, 10s);

    std::string out = service->Stdout();
    EXPECT_NE(std::string::npos, out.find("\"RequestId\": \"1\",")) << out;
    EXPECT_EQ(std::string::npos, out.find("Service | ERROR: Parse raw data")) << out;
    auto requests = peer->Requests();
    ASSERT_EQ(c.requests, requests.size());
    for (const auto& request : requests) {
      EXPECT_TRUE(request.well_formed) << request.problem;
      EXPECT_EQ("1", request.request_id);
    }
    // Answered the first time it got through, and not sent again after that.
    EXPECT_TRUE(requests.back().replied);
    for (size_t i = 0; i + 1 < requests.size(); ++i) EXPECT_FALSE(requests[i].replied);
    EXPECT_EQ(c.link_drops_once ? 1u : 0u, zq_test::CountOccurrences(out, kLinkDown)) << out;
    EXPECT_EQ(c.link_drops_once ? 1u : 0u, zq_test::CountOccurrences(out, kLinkUp)) << out;
    // Each frame nobody asked for is dropped once, and before the answer is shown.
    size_t shown = out.find("Service | INFO: config service response: {\n");
    for (const std::string& id : c.dropped) {
      std::string line = "ipc reply dropped: no request waits for id \"" + id + "\"\n";
      EXPECT_EQ(1u, zq_test::CountOccurrences(out, line)) << line << out;
      EXPECT_LT(out.find(line), shown) << line;
    }
    if (c.log[0] != '\0') {
      EXPECT_EQ(1u, zq_test::CountOccurrences(out, c.log)) << out;
    }
    EXPECT_TRUE(service->Running());
    service->Kill();
  }
}

TEST_F(IpcStartupProcessTest, MisbehavingPeerLeavesStartUpWaitingWithoutACrash) {
  struct Case {
    CameraPeerFault fault;
    const char* log;  // shows the process took the reply and dropped it ("" when nothing comes)
    bool times_out;   // no reply to the request comes on the connection, which is given up after the bound
  };
  const Case cases[] = {
      {CameraPeerFault::kSilent, "Service | INFO: recv\n", true},
      {CameraPeerFault::kCloseAfterRequest, "Service | INFO: recv length 0\n", false},
      {CameraPeerFault::kWrongId, "ipc reply dropped: no request waits for id \"not-1\"\n", true},
      {CameraPeerFault::kBodyType2, "Service | ERROR: Non json type not support\n", true},
  };
  const char* const no_reply = "Service | ERROR: ipc no reply for request \"1\" within 10000 ms\n";
  for (const Case& c : cases) {
    const char* name = zq_fakes::CameraPeerFaultName(c.fault);
    auto& peer = StartCameraPeer(0ms, c.fault);
    auto service = StartService();
    ASSERT_TRUE(peer.WaitForRequests(1, 10s)) << name;
    EXPECT_TRUE(service->WaitForStdout(c.log, 10s)) << name << ": " << service->Stdout();
    // The request goes again on a new connection: after the bound when the
    // peer keeps the connection (start-up used to wait on it for good),
    // after the first pause when it closes it.
    ASSERT_TRUE(peer.WaitForRequests(2, 30s)) << name << ": " << service->Stdout();
    for (const auto& request : peer.Requests()) EXPECT_EQ("1", request.request_id) << name;
    EXPECT_LE(2u, peer.Connections()) << name;
    if (c.times_out) {
      EXPECT_TRUE(service->WaitForStdout(no_reply, 10s)) << name << ": " << service->Stdout();
    }
    EXPECT_TRUE(service->Running()) << name;
    EXPECT_EQ(std::string::npos, service->Stdout().find("config service response")) << name;
    EXPECT_EQ(std::string::npos, service->Stdout().find("Start service 3")) << name;
    service->Kill();
  }
}

}  // namespace
