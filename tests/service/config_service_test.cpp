#include "service/config_service.h"

#include <gtest/gtest.h>

#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "fakes/camera_ipc_peer.h"
#include "service/ipc_helper.h"
#include "service/ipc_service.h"
#include "service/service_manager.h"
#include "support/camera_peer.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::ConfigService;
using zq_camera_service::IpcHelper;
using zq_camera_service::IpcMessage;
using zq_camera_service::IpcService;
using zq_fakes::CameraIpcPeer;

// The camera software's example request, character for character, for the
// time stamp given.
std::string ExpectedBody(const std::string& request_id, const std::string& stamp) {
  std::string body =
      "{         \"CommandType\":\"GetEncodeInfos\",         \"MajorVersion\":1,         \"MinorVersion\":0,"
      "         \"RequestId\":\"1\",         \"PatchVersion\":1,         \"TimeStamp\":1600000000     }";
  body.replace(body.find("\"1\""), 3, "\"" + request_id + "\"");
  body.replace(body.find("1600000000"), 10, stamp);
  return body;
}

// The TimeStamp member's text of a request body.
std::string StampOf(const std::string& body) {
  size_t at = body.find("\"TimeStamp\":");
  if (at == std::string::npos) return "";
  at += 12;
  size_t end = body.find_first_not_of("0123456789", at);
  return body.substr(at, end - at);
}

class ConfigServiceTest : public ::testing::Test {
 protected:
  ConfigServiceTest() : peer_(Options()) {}
  static CameraIpcPeer::Options Options() {
    CameraIpcPeer::Options options;
    options.response_members = "";  // the bare {"Response":{"RequestId":"<id>"}}
    return options;
  }
  void SetUp() override {
    ASSERT_TRUE(peer_.Start());
    link_ = std::make_unique<IpcService>("127.0.0.1", peer_.port());
    helper_ = std::make_unique<IpcHelper>(link_.get());
    link_->RegisterIpcService("ipchelper", [this](IpcMessage* reply) { helper_->UpdateResponse(reply); });
    ASSERT_EQ(0, link_->StartService("tcp://127.0.0.1:" + std::to_string(peer_.port())));
  }
  void TearDown() override {
    link_->StopService();
    if (HasFailure()) std::cerr << "captured output:\n" << capture_.Text();
  }

  // Fixed for the whole test: the link's thread logs at any moment.
  zq_test::ScopedLogSettings settings_{4, 3, ""};
  zq_test::StdoutCapture capture_;
  CameraIpcPeer peer_;
  std::unique_ptr<IpcService> link_;
  std::unique_ptr<IpcHelper> helper_;
};

TEST_F(ConfigServiceTest, RequestFollowsTheTemplateAndTheReplyIsLogged) {
  ConfigService service(helper_.get());
  long long before = static_cast<long long>(time(nullptr));
  EXPECT_EQ(0, service.StartService());
  long long after = static_cast<long long>(time(nullptr));

  auto requests = peer_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(requests[0].well_formed) << requests[0].problem;
  EXPECT_EQ("1", requests[0].request_id);
  std::string stamp = StampOf(requests[0].body);
  ASSERT_FALSE(stamp.empty()) << requests[0].body;
  EXPECT_GE(std::stoll(stamp), before);
  EXPECT_LE(std::stoll(stamp), after);
  EXPECT_EQ(ExpectedBody("1", stamp), requests[0].body);
  EXPECT_EQ(static_cast<int32_t>(requests[0].body.size()), requests[0].body_size);

  std::string out = capture_.Text();
  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: Composed request:" + requests[0].body + "\n"));
  EXPECT_NE(std::string::npos, out.find("Service | INFO: config service sendmessage: " + requests[0].body + "\n"));
  EXPECT_NE(std::string::npos, out.find("Service | INFO: config service response: {\n"
                                        "    \"Response\": {\n"
                                        "        \"RequestId\": \"1\"\n"
                                        "    }\n"
                                        "}\n"))
      << out;
}

TEST_F(ConfigServiceTest, EachStartCountsANewRequestId) {
  ConfigService service(helper_.get());
  EXPECT_EQ(0, service.StartService());
  EXPECT_EQ(0, service.StartService());
  auto requests = peer_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_EQ("2", requests[1].request_id);
  EXPECT_EQ(ExpectedBody("2", StampOf(requests[1].body)), requests[1].body);
  EXPECT_EQ(0, service.StopService());
}

// A reply frame with the given body bytes, as the transport delivers it.
IpcMessage Reply(const std::string& body) {
  IpcMessage reply;
  EXPECT_EQ(0, reply.SetJsonRequest("1", body.data(), body.size()));
  return reply;
}

// `levels` empty arrays nested in one another, pretty-printed with four-space
// indentation starting at `indent` levels.
std::string NestedArrays(int levels, int indent) {
  if (levels == 1) return "[]";
  std::string inner(static_cast<size_t>(4 * (indent + 1)), ' ');
  std::string outer(static_cast<size_t>(4 * indent), ' ');
  return "[\n" + inner + NestedArrays(levels - 1, indent + 1) + "\n" + outer + "]";
}

TEST(ConfigServiceReplyTest, ReplyBodiesAsTheLogShowsThem) {
  const std::string pretty = "{\n    \"Response\": {\n        \"RequestId\": \"1\"\n    }\n}";
  const std::string object = "{\"Response\":{\"RequestId\":\"1\"}}";
  struct Case {
    const char* name;
    std::string body;
    std::string text;
  };
  const Case cases[] = {
      {"plain object", object, pretty},
      {"byte-order mark", "\xEF\xBB\xBF" + object, pretty},
      {"lone EF", "\xEF" + object, pretty},
      {"EF BB without BF", "\xEF\xBB" + object, pretty},
      {"mark and nothing else", "\xEF\xBB\xBF", "null"},
      {"invalid JSON", "{\"Response\":", "null"},
      {"empty body", "", "null"},
      {"trailing garbage", object + "}", "null"},
      {"white space around", "  " + object + "\n", pretty},
      {"mark inside the text", "{\xEF\xBB\xBF}", "null"},
      // Writing a body out recurses once per level: one nested this deeply
      // would overflow the stack.
      {"nested far too deeply", std::string(500000, '[') + std::string(500000, ']'), "null"},
      {"one level too deep", std::string(65, '[') + std::string(65, ']'), "null"},
      {"at the deepest level", "{\"a\":" + std::string(63, '[') + std::string(63, ']') + "}",
       "{\n    \"a\": " + NestedArrays(63, 1) + "\n}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, ConfigService::DescribeReply(Reply(c.body))) << c.name;
  }
}

TEST(ConfigServiceReplyTest, FramesThatFailTheChecksAreNotSliced) {
  EXPECT_EQ("null", ConfigService::DescribeReply(IpcMessage()));
  // A body size reaching past the frame: nothing is read beyond it.
  IpcMessage reply = Reply("{\"a\":1}");
  reply.data[4] = 100;
  EXPECT_EQ("null", ConfigService::DescribeReply(reply));
  IpcMessage wrong_header = Reply("{\"a\":1}");
  wrong_header.data[0] = 41;
  EXPECT_EQ("null", ConfigService::DescribeReply(wrong_header));
}

TEST(ConfigServiceReplyTest, ComposedBodyCountsAndLogs) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  ConfigService service;
  zq_test::StdoutCapture capture;
  std::string first = service.ComposeRequestMessage("GetEncodeInfos");
  std::string second = service.ComposeRequestMessage("Other");
  EXPECT_EQ(ExpectedBody("1", StampOf(first)), first);
  EXPECT_NE(std::string::npos, second.find("\"CommandType\":\"Other\","));
  EXPECT_NE(std::string::npos, second.find("\"RequestId\":\"2\","));
  EXPECT_EQ("Service | DEBUG: Composed request:" + first + "\nService | DEBUG: Composed request:" + second + "\n",
            capture.Text());
}

TEST(ConfigServiceFactory, ServiceOneAsksTheCameraOverTheProcessWideLink) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  // The process-wide link always goes to the camera software's fixed port.
  zq_test::CameraPeer camera;
  // The link's thread logs until it is joined: stopped before the peer goes
  // and before the log settings are put back under it.
  struct LinkStop {
    ~LinkStop() { IpcService::GetInstance()->StopService(); }
  } link_stop;
  ASSERT_EQ(0, IpcService::GetInstance()->StartService("tcp://127.0.0.1:9658"));
  zq_camera_service::ServiceManager manager;
  auto* service = dynamic_cast<ConfigService*>(manager.CreateServiceBy(zq_camera_service::SERVICE_CONFIG));
  ASSERT_NE(nullptr, service);
  EXPECT_EQ("ConfigService", service->name);
  auto requests = camera->Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("1", requests[0].request_id);
  // The peer counts its reply only after the send returns, which may be after the caller woke.
  EXPECT_TRUE(camera->WaitForReplies(1, 5s));
  EXPECT_EQ(0, manager.CleanupAll());
}

}  // namespace
