#include "service/ipc_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
    service_ = std::make_unique<IpcService>("127.0.0.1", peer_.port());
    helper_ = std::make_unique<IpcHelper>(service_.get());
    // Registered before the start, so it is the "ipchelper" that stays.
    service_->RegisterIpcService("ipchelper", [this](IpcMessage* reply) { helper_->UpdateResponse(reply); });
    service_->RegisterIpcService("counting", [this](IpcMessage* reply) {
      std::lock_guard<std::mutex> lock(seen_mutex_);
      seen_ids_.push_back(reply->request_id);
    });
    ASSERT_EQ(0, service_->StartService("tcp://127.0.0.1:" + std::to_string(peer_.port())));
    ASSERT_TRUE(peer_.WaitForConnections(1, 5s));
  }
  void TearDown() override {
    if (service_) service_->StopService();
  }
  std::vector<std::string> SeenIds() {
    std::lock_guard<std::mutex> lock(seen_mutex_);
    return seen_ids_;
  }

  CameraIpcPeer peer_;
  std::unique_ptr<IpcService> service_;
  std::unique_ptr<IpcHelper> helper_;
  std::mutex seen_mutex_;
  std::vector<std::string> seen_ids_;
};

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
        FaultCase{CameraPeerFault::kSilent, "", false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
      std::string name = zq_fakes::CameraPeerFaultName(info.param.fault);
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

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
                         [](const ::testing::TestParamInfo<CameraPeerFault>& info) {
                           std::string name = zq_fakes::CameraPeerFaultName(info.param);
                           for (char& ch : name) {
                             if (ch == '-') ch = '_';
                           }
                           return name;
                         });

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
  peer_.SetFault(CameraPeerFault::kSilent);
  IpcMessage request = Request("8");
  EXPECT_EQ(0, service_->PostMessage("counting", &request));
  ASSERT_TRUE(peer_.WaitForRequests(1, 5s));
  ASSERT_TRUE(WaitForLog("Service | INFO: recv\n"));
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
  IpcService service("127.0.0.1", port);
  std::vector<std::string> seen;
  std::mutex seen_mutex;
  service.RegisterIpcService("counting", [&](IpcMessage* reply) {
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen.push_back(reply->request_id);
  });
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

  CameraIpcPeer::Options options;
  options.port = port;
  CameraIpcPeer peer(options);
  ASSERT_TRUE(peer.Start());
  // The longest pause between attempts is 5 s.
  EXPECT_TRUE(peer.WaitForReplies(1, 10s));
  EXPECT_TRUE(WaitForLog("Service | DEBUG: delete data\n"));
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture_.Text(), down));
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture_.Text(), " up again\n"));
  EXPECT_EQ(0, service.StopService());
  std::lock_guard<std::mutex> lock(seen_mutex);
  EXPECT_EQ(std::vector<std::string>{"1"}, seen);
  EXPECT_EQ(1u, peer.Requests().size());
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

  IpcService service("127.0.0.1", zq_test::FreeTcpPort());
  service.SetServerForTest(std::move(server));
  std::vector<std::string> seen;
  service.RegisterIpcService("counting", [&](IpcMessage* reply) { seen.push_back(reply->request_id); });
  // Nothing sends it (the link is not started); it only makes "r1" pending.
  IpcMessage request = Request("r1");
  EXPECT_EQ(0, service.PostMessage("counting", &request));

  std::thread receiver([&] { IpcService::StaticRecvThread(&service); });
  std::string frame = CameraIpcPeer::BuildReply("r1", CameraIpcPeer::Options());
  ASSERT_EQ(static_cast<ssize_t>(frame.size()), ::send(client.get(), frame.data(), frame.size(), 0));
  ASSERT_TRUE(WaitForLog("Service | INFO: begin read header size 40"));
  client.reset();
  receiver.join();
  EXPECT_EQ(std::vector<std::string>{"r1"}, seen);
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
