#include "service/ipc_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/camera_ipc_peer.h"
#include "service/ipc_helper.h"
#include "support/child_process.h"
#include "support/log_settings.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::IpcHelper;
using zq_camera_service::IpcMessage;
using zq_camera_service::IpcService;
using zq_fakes::CameraIpcPeer;
using zq_fakes::CameraPeerFault;

IpcMessage Request(const std::string& id, const std::string& body) {
  IpcMessage message;
  EXPECT_EQ(0, message.SetJsonRequest(id, body.data(), body.size()));
  return message;
}

IpcMessage Request(const std::string& id) { return Request(id, "{\"RequestId\":\"" + id + "\"}"); }

// The ids of the replies handed to a service's "counting" handler; it
// outlives the service it is registered on.
class CountingHandler {
 public:
  void RegisterOn(IpcService& service) {
    service.RegisterIpcService("counting", [this](IpcMessage* reply) {
      std::lock_guard<std::mutex> lock(mutex_);
      ids_.push_back(reply->request_id);
    });
  }
  std::vector<std::string> Ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> ids_;
};

// The fake camera peer, not yet listening, on `port`.
CameraIpcPeer::Options PeerOnPort(uint16_t port) {
  CameraIpcPeer::Options options;
  options.port = port;
  return options;
}

// Log lines at DEBUG level are captured for the fixture's whole life: the
// link's thread logs at any moment, and the settings must not change under it.
class LoggedTest : public ::testing::Test {
 protected:
  ~LoggedTest() override {
    if (HasFailure()) std::cerr << "captured output:\n" << capture_.Text();
  }
  // Waits (bounded) until the captured output holds `needle` `count` times.
  bool WaitForLog(const std::string& needle, std::chrono::milliseconds timeout = 5s, size_t count = 1) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (zq_test::CountOccurrences(capture_.Text(), needle) < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  zq_test::ScopedLogSettings settings_{4, 3, ""};
  zq_test::StdoutCapture capture_;
};

// A link to the fake camera peer on a free port, with its own helper.
class IpcLinkTest : public LoggedTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.Start());
    service_ = std::make_unique<IpcService>("127.0.0.1", peer_.port(), reply_bound_);
    helper_ = std::make_unique<IpcHelper>(service_.get());
    // Registered before the start, so it is the "ipchelper" that stays.
    service_->RegisterIpcService("ipchelper", [this](IpcMessage* reply) { helper_->UpdateResponse(reply); });
    counting_.RegisterOn(*service_);
    ASSERT_EQ(0, service_->StartService("tcp://127.0.0.1:" + std::to_string(peer_.port())));
    ASSERT_TRUE(peer_.WaitForConnections(1, 5s));
  }
  void TearDown() override {
    if (service_) service_->StopService();
  }
  std::vector<std::string> SeenIds() { return counting_.Ids(); }

  // Posts `request` (kept by the caller while the link holds it) to a peer
  // that takes it and never answers, and waits until the link waits for
  // its reply.
  void PostToASilentPeer(IpcMessage* request) {
    peer_.SetFault(CameraPeerFault::kSilent);
    EXPECT_EQ(0, service_->PostMessage("counting", request));
    ASSERT_TRUE(peer_.WaitForRequests(1, 5s));
    ASSERT_TRUE(WaitForLog("Service | INFO: recv\n"));
  }

  // Waits (bounded) until the "counting" handler has seen `count` replies.
  bool WaitForSeen(size_t count, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (SeenIds().size() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  // The link's bound on an unanswered request; fixtures that show what
  // happens when it passes set a short one before SetUp.
  std::chrono::milliseconds reply_bound_ = IpcService::kReplyBound;
  CameraIpcPeer peer_;
  CountingHandler counting_;
  std::unique_ptr<IpcService> service_;
  std::unique_ptr<IpcHelper> helper_;
};

// Runs SendSyncMessage on a thread of its own; false when it has not
// returned within `timeout` (the caller is then released with a stand-in
// reply, so that the test can end).
bool SendSyncWithin(IpcHelper& helper, IpcMessage& request, IpcMessage& reply, std::chrono::milliseconds timeout) {
  std::promise<int> result;
  std::future<int> returned = result.get_future();
  std::thread caller([&] { result.set_value(helper.SendSyncMessage(request, reply)); });
  bool in_time = returned.wait_for(timeout) == std::future_status::ready;
  if (!in_time) {
    IpcMessage stand_in = Request(request.request_id, "{\"stand-in\":true}");
    helper.UpdateResponse(&stand_in);
  }
  caller.join();
  return in_time && returned.get() == 0;
}

TEST_F(IpcLinkTest, RoundTripDeliversTheWholeReplyFrame) {
  IpcMessage request = Request("1");
  IpcMessage reply;
  ASSERT_EQ(0, helper_->SendSyncMessage(request, reply));

  std::string expected = CameraIpcPeer::BuildReply("1", CameraIpcPeer::Options());
  EXPECT_EQ("1", reply.request_id);
  ASSERT_EQ(static_cast<int32_t>(expected.size()), reply.size);
  EXPECT_EQ(expected, std::string(reply.data.get(), static_cast<size_t>(reply.size)));
  IpcMessage left;
  EXPECT_FALSE(helper_->TakeResponse("1", left)) << "the collected reply stays in the table";

  auto requests = peer_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(requests[0].well_formed) << requests[0].problem;
  EXPECT_EQ("{\"RequestId\":\"1\"}", requests[0].body);
  EXPECT_NE(std::string::npos, capture_.Text().find("Service | DEBUG: ipc message send\n"
                                                    "Service | DEBUG: data get\n"
                                                    "Service | INFO: send\n"
                                                    "Service | DEBUG: client send\n"
                                                    "Service | DEBUG: msg delete\nbegin recv\n"
                                                    "Service | INFO: recv\n"));
}

TEST_F(IpcLinkTest, ConcurrentCallersEachGetTheirOwnReply) {
  const std::vector<std::string> ids = {"a", "b", "c", "d"};
  std::vector<IpcMessage> replies(ids.size());
  std::vector<std::thread> callers;
  for (size_t i = 0; i < ids.size(); ++i) {
    callers.emplace_back([&, i] {
      IpcMessage request = Request(ids[i]);
      EXPECT_EQ(0, helper_->SendSyncMessage(request, replies[i]));
    });
  }
  for (auto& caller : callers) caller.join();
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], replies[i].request_id);
    EXPECT_EQ(CameraIpcPeer::BuildReply(ids[i], CameraIpcPeer::Options()),
              std::string(replies[i].data.get(), static_cast<size_t>(replies[i].size)));
  }
  EXPECT_EQ(ids.size(), peer_.Requests().size());
}

struct FaultCase {
  CameraPeerFault fault;
  const char* log;   // the line that shows the reply was dropped; "" when none is sent
  bool link_goes_on;  // whether later exchanges still work
};

std::string ParamName(CameraPeerFault fault) {
  std::string name = zq_fakes::CameraPeerFaultName(fault);
  for (char& ch : name) {
    if (ch == '-') ch = '_';
  }
  return name;
}

class IpcFaultTest : public IpcLinkTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(IpcFaultTest, DroppedReplyLeavesTheCallerWaiting) {
  const FaultCase& c = GetParam();
  peer_.SetFault(c.fault);
  std::atomic<bool> returned{false};
  IpcMessage reply;
  std::thread caller([&] {
    IpcMessage request = Request("1");
    EXPECT_EQ(0, helper_->SendSyncMessage(request, reply));
    returned = true;
  });
  ASSERT_TRUE(peer_.WaitForRequests(1, 5s));
  if (c.log[0] != '\0') {
    EXPECT_TRUE(peer_.WaitForReplies(1, 5s));
    EXPECT_TRUE(WaitForLog(c.log)) << c.log;
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(returned) << "a dropped reply must not release the caller";

  // Only a reply for its own id releases the caller.
  IpcMessage late = Request("1", "{\"late\":true}");
  helper_->UpdateResponse(&late);
  caller.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(late.size, reply.size);

  if (c.link_goes_on) {
    peer_.SetFault(CameraPeerFault::kNone);
    IpcMessage next = Request("2");
    IpcMessage next_reply;
    EXPECT_EQ(0, helper_->SendSyncMessage(next, next_reply));
    EXPECT_EQ("2", next_reply.request_id);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, IpcFaultTest,
    ::testing::Values(
        FaultCase{CameraPeerFault::kWrongHeaderSize, "Service | ERROR: Parse raw data failed with head size not correct!\n",
                  true},
        FaultCase{CameraPeerFault::kBodyType2, "Service | ERROR: Non json type not support\n", true},
        FaultCase{CameraPeerFault::kWrongId, "ipc reply dropped: no request waits for id \"not-1\"\n", true},
        // The caller's withdrawal ends the wait for the reply that never
        // comes, and the link goes on with the next request.
        FaultCase{CameraPeerFault::kSilent, "", true}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return ParamName(info.param.fault); });

// Ways a peer may write a correct answer on a stream: each must come out as
// the one whole reply frame.
class IpcWriteModeTest : public IpcLinkTest, public ::testing::WithParamInterface<CameraPeerFault> {};

TEST_P(IpcWriteModeTest, ReplyArrivesWholeHoweverItIsWritten) {
  peer_.SetFault(GetParam());
  CameraIpcPeer::Options shaped;
  shaped.fault = GetParam();
  for (const std::string id : {"1", "2"}) {
    IpcMessage request = Request(id);
    IpcMessage reply;
    ASSERT_EQ(0, helper_->SendSyncMessage(request, reply));
    EXPECT_EQ(id, reply.request_id);
    EXPECT_EQ(CameraIpcPeer::BuildReply(id, shaped), std::string(reply.data.get(), static_cast<size_t>(reply.size)));
  }
  EXPECT_EQ(2u, peer_.Requests().size()) << "an answered request went again";
  EXPECT_EQ(1u, peer_.Connections());
  EXPECT_EQ(std::string::npos, capture_.Text().find("ERROR")) << capture_.Text();
  if (GetParam() == CameraPeerFault::kMergedReplies) {
    EXPECT_TRUE(WaitForLog("ipc reply dropped: no request waits for id \"unasked-2\"\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, IpcWriteModeTest,
                         ::testing::Values(CameraPeerFault::kNone, CameraPeerFault::kSplitHeaderBody,
                                           CameraPeerFault::kByteByByte, CameraPeerFault::kLargeBody,
                                           CameraPeerFault::kMergedReplies),
                         [](const ::testing::TestParamInfo<CameraPeerFault>& info) { return ParamName(info.param); });

// A camera software that answers an abandoned request late or repeats
// itself: frames for ids nobody waits for, each in a write of its own,
// before or after the reply. Each is dropped and the link reads on for the
// reply to the request in flight.
struct StrayCase {
  CameraPeerFault mode;
  // The ids dropped by the time the third exchange is done: the stray frames
  // written before a reply, or after the replies of the first two exchanges
  // (which come before the next reply on the stream).
  std::vector<std::string> dropped;
};

// The ids of the first `count` stray frames about each request.
std::vector<std::string> StrayIds(std::initializer_list<const char*> requests, int count) {
  std::vector<std::string> ids;
  for (const char* request : requests) {
    for (int n = 1; n <= count; ++n) ids.push_back(CameraIpcPeer::StrayId(request, n));
  }
  return ids;
}

void PrintTo(const StrayCase& c, std::ostream* out) { *out << zq_fakes::CameraPeerFaultName(c.mode); }

class IpcStrayTest : public IpcLinkTest, public ::testing::WithParamInterface<StrayCase> {};

TEST_P(IpcStrayTest, FramesNobodyWaitsForAreDroppedAndEachCallerGetsItsOwnReply) {
  peer_.SetFault(GetParam().mode);
  for (const std::string id : {"1", "2", "3"}) {
    IpcMessage request = Request(id);
    IpcMessage reply;
    ASSERT_TRUE(SendSyncWithin(*helper_, request, reply, 20s)) << "the reply to " << id << " was never taken";
    EXPECT_EQ(id, reply.request_id);
    EXPECT_EQ(CameraIpcPeer::BuildReply(id, CameraIpcPeer::Options()),
              std::string(reply.data.get(), static_cast<size_t>(reply.size)));
  }
  // The peer counts a reply once its write is done, which may be after the
  // caller has it.
  ASSERT_TRUE(peer_.WaitForReplies(3, 5s));
  auto requests = peer_.Requests();
  ASSERT_EQ(3u, requests.size()) << "an answered request went again";
  for (const auto& request : requests) EXPECT_TRUE(request.replied);
  EXPECT_GE(peer_.StrayFrames(), GetParam().dropped.size());
  EXPECT_EQ(1u, peer_.Connections()) << "frames nobody waits for are no reason to drop the link";
  std::string out = capture_.Text();
  for (const std::string& id : GetParam().dropped) {
    EXPECT_EQ(1u, zq_test::CountOccurrences(out, "ipc reply dropped: no request waits for id \"" + id + "\"\n")) << id;
  }
  EXPECT_EQ(std::string::npos, out.find("ERROR")) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Strays, IpcStrayTest,
    ::testing::Values(StrayCase{CameraPeerFault::kStrayFirst, StrayIds({"1", "2", "3"}, 1)},
                      StrayCase{CameraPeerFault::kStraysFirst, StrayIds({"1", "2", "3"}, CameraIpcPeer::kStrayCount)},
                      StrayCase{CameraPeerFault::kStrayAfter, StrayIds({"1", "2"}, 1)},
                      StrayCase{CameraPeerFault::kRepeatedReply, {"1", "2"}}),
    [](const ::testing::TestParamInfo<StrayCase>& info) { return ParamName(info.param.mode); });

// A link whose bound on an unanswered request is short enough to pass
// within a test.
class IpcBoundTest : public IpcLinkTest {
 protected:
  IpcBoundTest() { reply_bound_ = 1s; }
  const std::string kNoReply = "Service | ERROR: ipc no reply for request \"1\" within 1000 ms\n";
};

TEST_F(IpcBoundTest, ConnectionLeftUnansweredIsGivenUpAndTheRequestGoesAgainOnce) {
  peer_.SetFault(CameraPeerFault::kSilentThenAnswer);
  IpcMessage request = Request("1");
  IpcMessage reply;
  ASSERT_TRUE(SendSyncWithin(*helper_, request, reply, 20s)) << "the link waited on the silent connection";
  EXPECT_EQ("1", reply.request_id);
  ASSERT_TRUE(peer_.WaitForReplies(1, 5s));  // counted once the peer's write is done
  auto requests = peer_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_FALSE(requests[0].replied);
  EXPECT_TRUE(requests[1].replied);
  EXPECT_EQ("1", requests[1].request_id);
  EXPECT_EQ(2u, peer_.Connections());
  std::string out = capture_.Text();
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, kNoReply)) << out;
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, " down, reconnecting\n")) << out;
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, " up again\n")) << out;

  // The new connection carries the next exchange, and nothing answered goes
  // again however long the link then stays idle (three bounds here).
  IpcMessage next = Request("2");
  ASSERT_TRUE(SendSyncWithin(*helper_, next, reply, 20s));
  EXPECT_EQ("2", reply.request_id);
  std::this_thread::sleep_for(3 * reply_bound_);
  EXPECT_EQ(3u, peer_.Requests().size());
  EXPECT_EQ(2u, peer_.Connections());
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture_.Text(), kNoReply));
}

TEST_F(IpcBoundTest, PeerThatNeverAnswersIsAskedAgainOnANewConnectionAfterEachBound) {
  // Before the bound, a peer that took the request and stayed silent held
  // the link (and start-up) for good.
  peer_.SetFault(CameraPeerFault::kSilent);
  IpcMessage request = Request("1");
  EXPECT_EQ(0, service_->PostMessage("counting", &request));
  // A bound, then pauses of 0.5 and 1 s before the second and third connections.
  ASSERT_TRUE(peer_.WaitForRequests(3, 30s));
  EXPECT_GE(peer_.Connections(), 3u);
  for (const auto& request_seen : peer_.Requests()) EXPECT_EQ("1", request_seen.request_id);
  EXPECT_TRUE(WaitForLog(kNoReply, 5s, 2));
  EXPECT_TRUE(SeenIds().empty());
  service_->StopService();
}

TEST_F(IpcBoundTest, WithdrawnRequestIsNeitherWaitedForNorSentAgain) {
  IpcMessage first = Request("1");
  ASSERT_NO_FATAL_FAILURE(PostToASilentPeer(&first));
  peer_.SetFault(CameraPeerFault::kNone);
  service_->WithdrawMessage(&first);
  IpcMessage second = Request("2");
  EXPECT_EQ(0, service_->PostMessage("counting", &second));
  ASSERT_TRUE(WaitForSeen(1));
  EXPECT_EQ(std::vector<std::string>{"2"}, SeenIds());
  // Well past the bound the withdrawn request would have had: not sent
  // again, and its silence cost the link nothing.
  std::this_thread::sleep_for(3 * reply_bound_);
  auto requests = peer_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_EQ("2", requests[1].request_id);
  EXPECT_EQ(1u, peer_.Connections());
  EXPECT_EQ(std::string::npos, capture_.Text().find("ERROR")) << capture_.Text();
}

TEST_F(IpcLinkTest, PaddedReplyIsTakenByItsLengthAndThePaddingResetsTheLink) {
  peer_.SetFault(CameraPeerFault::kPaddedReply);
  IpcMessage request = Request("1");
  IpcMessage reply;
  ASSERT_EQ(0, helper_->SendSyncMessage(request, reply));
  EXPECT_EQ("1", reply.request_id);
  EXPECT_EQ(CameraIpcPeer::BuildReply("1", CameraIpcPeer::Options()),
            std::string(reply.data.get(), static_cast<size_t>(reply.size)));
  // The zeros after the frame read as a header of size 0: the stream
  // cannot be trusted any more, and the link starts a new one.
  peer_.SetFault(CameraPeerFault::kNone);
  IpcMessage next = Request("2");
  IpcMessage next_reply;
  ASSERT_EQ(0, helper_->SendSyncMessage(next, next_reply));
  EXPECT_EQ("2", next_reply.request_id);
  EXPECT_TRUE(WaitForLog("Service | ERROR: Parse raw data failed with head size not correct!\n"));
  EXPECT_EQ(2u, peer_.Connections());
}

TEST_F(IpcLinkTest, RequestLostWithItsConnectionGoesAgainOnTheNextOne) {
  peer_.SetFault(CameraPeerFault::kCloseThenAnswer);
  IpcMessage request = Request("1");
  IpcMessage reply;
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(0, helper_->SendSyncMessage(request, reply));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ("1", reply.request_id);
  // The peer notes its reply once sent; the link may have read it before.
  ASSERT_TRUE(peer_.WaitForReplies(1, 10s));
  auto requests = peer_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_FALSE(requests[0].replied);
  EXPECT_TRUE(requests[1].replied);
  EXPECT_EQ(2u, peer_.Connections());
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture_.Text(), "Service | ERROR: ipc link to 127.0.0.1:"));
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture_.Text(), " up again\n"));
}

TEST_F(IpcLinkTest, PeerThatKeepsClosingIsRetriedWithGrowingPausesUntilItAnswers) {
  peer_.SetFault(CameraPeerFault::kCloseAfterRequest);
  IpcMessage first = Request("1");
  EXPECT_EQ(0, service_->PostMessage("counting", &first));
  EXPECT_TRUE(WaitForLog("Service | INFO: recv length 0\n"));
  // Pauses of 0.5, 1 and 2 s: at most four connections in 3.5 s, not a storm.
  std::this_thread::sleep_for(3500ms);
  size_t connections = peer_.Connections();
  EXPECT_GE(connections, 2u);
  EXPECT_LE(connections, 4u);
  EXPECT_TRUE(SeenIds().empty());
  // Each connection that was made and lost is logged once; attempts are not.
  EXPECT_LE(zq_test::CountOccurrences(capture_.Text(), "Service | ERROR: ipc link to 127.0.0.1:"), connections);

  peer_.SetFault(CameraPeerFault::kNone);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (SeenIds().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(std::vector<std::string>{"1"}, SeenIds());
  for (const auto& request : peer_.Requests()) EXPECT_EQ("1", request.request_id);
  service_->StopService();
}

TEST_F(IpcLinkTest, UnknownHandlerNameStillSendsAndDropsTheReply) {
  IpcMessage orphan = Request("3");
  EXPECT_EQ(-1, service_->PostMessage("nobody", &orphan));
  ASSERT_TRUE(peer_.WaitForReplies(1, 5s));
  EXPECT_TRUE(WaitForLog("ipc reply dropped: no request waits for id \"3\"\n"));

  IpcMessage known = Request("4");
  EXPECT_EQ(0, service_->PostMessage("counting", &known));
  // The handler has run once the second exchange is done with its reply.
  ASSERT_TRUE(WaitForLog("Service | DEBUG: delete data\n", 5s, 2));
  EXPECT_EQ(std::vector<std::string>{"4"}, SeenIds());
}

TEST_F(IpcLinkTest, RequestWithoutIdIsRefusedAndNeverSent) {
  IpcMessage anonymous = Request("", "{}");
  EXPECT_EQ(-1, service_->PostMessage("counting", &anonymous));
  IpcMessage reply;
  EXPECT_EQ(-1, helper_->SendSyncMessage(anonymous, reply));
  EXPECT_NE(std::string::npos, capture_.Text().find("Service | ERROR: ipc request without request id refused\n"));

  IpcMessage named = Request("5");
  ASSERT_EQ(0, helper_->SendSyncMessage(named, reply));
  auto requests = peer_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("5", requests[0].request_id);
}

TEST_F(IpcLinkTest, FirstRegistrationOfANameStays) {
  std::atomic<int> impostor_calls{0};
  EXPECT_EQ(0, service_->RegisterIpcService("ipchelper", [&](IpcMessage*) { ++impostor_calls; }));
  IpcMessage request = Request("6");
  IpcMessage reply;
  ASSERT_EQ(0, helper_->SendSyncMessage(request, reply));
  EXPECT_EQ("6", reply.request_id);
  EXPECT_EQ(0, impostor_calls.load());
}

TEST_F(IpcLinkTest, EmptyBodyTravelsAsAHeaderInAWholeBlock) {
  IpcMessage request = Request("7", "");
  EXPECT_EQ(40, request.size);
  EXPECT_EQ(0, service_->PostMessage("counting", &request));
  ASSERT_TRUE(peer_.WaitForRequests(1, 5s));
  auto requests = peer_.Requests();
  EXPECT_TRUE(requests[0].well_formed) << requests[0].problem;
  EXPECT_EQ(40, requests[0].header_size);
  EXPECT_EQ(0, requests[0].body_size);
  EXPECT_EQ(1, requests[0].body_type);
  // The record stays in the queue until sent, and no reply marks the end of
  // its use: join the link's thread before it goes.
  EXPECT_TRUE(WaitForLog("Service | DEBUG: client send\n"));
  service_->StopService();
}

TEST_F(IpcLinkTest, StopEndsAReceiveThatWaitsForASilentPeer) {
  IpcMessage request = Request("8");
  ASSERT_NO_FATAL_FAILURE(PostToASilentPeer(&request));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(0, service_->StopService());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(0, service_->StopService());
}

TEST_F(IpcLinkTest, SecondStartIsRefused) {
  EXPECT_EQ(-1, service_->StartService("tcp://127.0.0.1:9658"));
  IpcMessage request = Request("9");
  IpcMessage reply;
  EXPECT_EQ(0, helper_->SendSyncMessage(request, reply));
  EXPECT_EQ(1u, peer_.Connections());
}

class IpcUnlinkedTest : public LoggedTest {};

TEST_F(IpcUnlinkedTest, PeerStartingLateGetsTheRequestOnceItListens) {
  uint16_t port = zq_test::FreeTcpPort();
  CountingHandler counting;
  IpcService service("127.0.0.1", port);
  counting.RegisterOn(service);
  {
    zq_test::StdoutCapture errors(STDERR_FILENO);
    EXPECT_EQ(0, service.StartService("tcp://127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(3u, zq_test::CountOccurrences(errors.Text(), "Error on connecting: 111  Connection refused\n"));
  }
  IpcMessage request = Request("1");
  EXPECT_EQ(0, service.PostMessage("counting", &request));
  const std::string down = "Service | ERROR: ipc link to 127.0.0.1:" + std::to_string(port) + " down, reconnecting\n";
  EXPECT_TRUE(WaitForLog(down));
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(std::string::npos, capture_.Text().find("Service | INFO: send\n")) << "nothing is sent without a link";

  CameraIpcPeer peer(PeerOnPort(port));
  ASSERT_TRUE(peer.Start());
  // The longest pause between attempts is 5 s.
  EXPECT_TRUE(peer.WaitForReplies(1, 10s));
  EXPECT_TRUE(WaitForLog("Service | DEBUG: delete data\n"));
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture_.Text(), down));
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture_.Text(), " up again\n"));
  EXPECT_EQ(0, service.StopService());
  EXPECT_EQ(std::vector<std::string>{"1"}, counting.Ids());
  EXPECT_EQ(1u, peer.Requests().size());
}

TEST_F(IpcUnlinkedTest, RequestWithdrawnWhileTheLinkIsDownIsNotSentOnTheNextConnection) {
  uint16_t port = 0;
  zq_test::UniqueFd listener = zq_test::ListenOnLoopback(&port);
  CountingHandler counting;
  IpcService service("127.0.0.1", port, 1s);
  counting.RegisterOn(service);
  ASSERT_EQ(0, service.StartService("tcp://127.0.0.1:" + std::to_string(port)));
  zq_test::UniqueFd connection = zq_test::AcceptWithin(listener.get(), 5s);
  ASSERT_TRUE(connection.valid());
  IpcMessage first = Request("1");
  EXPECT_EQ(0, service.PostMessage("counting", &first));
  ASSERT_EQ(static_cast<size_t>(CameraIpcPeer::kBlockSize),
            zq_test::ReadBytes(connection.get(), CameraIpcPeer::kBlockSize, 10s).size());
  // Gone without an answer, and the port closed: the link waits to reconnect.
  listener.reset();
  connection.reset();
  const std::string down = "Service | ERROR: ipc link to 127.0.0.1:" + std::to_string(port) + " down, reconnecting\n";
  ASSERT_TRUE(WaitForLog(down));
  service.WithdrawMessage(&first);
  IpcMessage second = Request("2");
  EXPECT_EQ(0, service.PostMessage("counting", &second));

  CameraIpcPeer peer(PeerOnPort(port));
  ASSERT_TRUE(peer.Start());
  ASSERT_TRUE(peer.WaitForReplies(1, 20s));
  // The handler has run once the exchange is done with its reply.
  ASSERT_TRUE(WaitForLog("Service | DEBUG: delete data\n"));
  EXPECT_EQ(0, service.StopService());
  auto requests = peer.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("2", requests[0].request_id);
  EXPECT_EQ(std::vector<std::string>{"2"}, counting.Ids());
}

TEST_F(IpcUnlinkedTest, PeerThatStopsReadingIsGivenUpAfterTheBound) {
  uint16_t port = 0;
  zq_test::UniqueFd listener = zq_test::ListenOnLoopback(&port);
  // Small enough that a whole 1 MiB block cannot wait in the buffers.
  int small = 4096;
  setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  IpcService service("127.0.0.1", port, 1s);
  ASSERT_EQ(0, service.StartService("tcp://127.0.0.1:" + std::to_string(port)));
  zq_test::UniqueFd hung = zq_test::AcceptWithin(listener.get(), 5s);
  ASSERT_TRUE(hung.valid());
  IpcMessage request = Request("1");
  EXPECT_EQ(-1, service.PostMessage("nobody", &request));
  // The link gives the connection up and tries a new one.
  zq_test::UniqueFd next = zq_test::AcceptWithin(listener.get(), 20s);
  EXPECT_TRUE(next.valid()) << "the link stayed on a peer that does not read";
  EXPECT_TRUE(WaitForLog(" down, reconnecting\n"));
  EXPECT_EQ(0, service.StopService());
}

TEST_F(IpcUnlinkedTest, StopEndsTheWaitForAnAbsentPeer) {
  IpcService service("127.0.0.1", zq_test::FreeTcpPort());
  {
    zq_test::StdoutCapture errors(STDERR_FILENO);
    EXPECT_EQ(0, service.StartService("tcp://127.0.0.1:1"));
  }
  IpcMessage request = Request("1");
  EXPECT_EQ(-1, service.PostMessage("nobody", &request));
  EXPECT_TRUE(WaitForLog(" down, reconnecting\n"));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(0, service.StopService());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

TEST_F(IpcUnlinkedTest, ReceiveLoopOfAServerSideLinkDeliversPendingReplies) {
  uint16_t port = zq_test::FreeTcpPort();
  auto server = std::make_unique<TcpServer>(port);
  ASSERT_EQ(0, server->start());
  zq_test::UniqueFd client = zq_test::ConnectToLoopback(port);
  ASSERT_TRUE(client.valid());
  ASSERT_EQ(0, server->accept());

  CountingHandler counting;
  IpcService service("127.0.0.1", zq_test::FreeTcpPort());
  service.SetServerForTest(std::move(server));
  counting.RegisterOn(service);
  // Nothing sends it (the link is not started); it only makes "r1" pending.
  IpcMessage request = Request("r1");
  EXPECT_EQ(0, service.PostMessage("counting", &request));

  std::thread receiver([&] { IpcService::StaticRecvThread(&service); });
  std::string frame = CameraIpcPeer::BuildReply("r1", CameraIpcPeer::Options());
  ASSERT_EQ(static_cast<ssize_t>(frame.size()), ::send(client.get(), frame.data(), frame.size(), 0));
  ASSERT_TRUE(WaitForLog("Service | INFO: begin read header size 40"));
  client.reset();
  receiver.join();
  EXPECT_EQ(std::vector<std::string>{"r1"}, counting.Ids());
}

TEST(IpcHelperTest, SecondReplyForAnIdIsDiscardedAndTheFirstKept) {
  IpcHelper helper(nullptr);
  IpcMessage first = Request("x", "{\"n\":1}");
  IpcMessage second = Request("x", "{\"n\":22}");
  helper.UpdateResponse(&first);
  helper.UpdateResponse(&second);
  IpcMessage taken;
  ASSERT_TRUE(helper.TakeResponse("x", taken));
  EXPECT_EQ(first.size, taken.size);
  EXPECT_EQ(0, memcmp(first.data.get(), taken.data.get(), static_cast<size_t>(first.size)));
  EXPECT_NE(first.data.get(), taken.data.get()) << "the table keeps a copy, not the caller's frame";
  EXPECT_FALSE(helper.TakeResponse("x", taken));
}

TEST(IpcHelperTest, StaticHandlerFeedsTheProcessWideHelper) {
  IpcMessage reply = Request("static-1");
  IpcHelper::StaticUpdateResponse(&reply);
  IpcMessage taken;
  ASSERT_TRUE(IpcHelper::GetInstance()->TakeResponse("static-1", taken));
  EXPECT_EQ(reply.size, taken.size);
  EXPECT_EQ(IpcHelper::GetInstance(), IpcHelper::GetInstance());
  EXPECT_EQ(IpcService::GetInstance(), IpcService::GetInstance());
}

}  // namespace
