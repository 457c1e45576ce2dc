// One authentication round trip through the real HTTP transport against the
// cloud back-end fake, and the retry loop of StartService.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/config_manager.h"
#include "base/json_member.h"
#include "service/auth_service.h"
#include "service/net_service.h"
#include "service/service_manager.h"
#include "support/cloud_backend.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::AuthService;
using zq_camera_service::ConfigManager;
using zq_test::CloudBackendFake;
using zq_test::HttpReply;

const char* const kMac = "12:43:94:27:66:24";

class AuthRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("ConfigPath");
    zq_camera_service::NetService::GetInstance()->StartService();
    WriteConfigs(zq_test::CloudBaseConfig(cloud_));
  }
  void WriteConfigs(const std::string& base) {
    zq_test::WriteFile(dir_ / "BaseConfig.json", base);
    zq_test::WriteFile(dir_ / "VersionConfig.json", zq_test::VersionConfig(4));
    ConfigManager::GetInstance()->LoadConfigs(dir_.path() + "/");
  }

  zq_test::ScopedLogSettings quiet_{0, 3, ""};
  CloudBackendFake cloud_;
  zq_test::TempDir dir_;
};

TEST_F(AuthRequestTest, ReplyKindsGiveTheirResultCodes) {
  const std::string accept = cloud_.AcceptReplyBody();
  struct Case {
    const char* name;
    HttpReply reply;
    int result;
  };
  const Case cases[] = {
      {"accepted", HttpReply::Json(accept), 0},
      {"accepted after a byte order mark", HttpReply::Json("\xEF\xBB\xBF" + accept), 0},
      {"trailing text", HttpReply::Json(accept + "}"), AuthService::kReplyNotJson},
      {"garbage", HttpReply::Text("\x01\x02not json"), AuthService::kReplyNotJson},
      {"Error reply", HttpReply::Json("{\"Response\":{\"Error\":{\"Code\":\"X\"}}}"), AuthService::kReplyRefused},
      {"status 404", HttpReply::Status(404), AuthService::kReplyRefused},
      {"status 500 with a JSON body", HttpReply::Json(accept, 500), AuthService::kReplyRefused},
      {"200 without a body", HttpReply::Json(""), -2},
      {"connection dropped", HttpReply::Drop(), -2},
  };
  for (const Case& c : cases) {
    AuthService service;
    ASSERT_EQ(0, service.LoadSettings());
    cloud_.QueueAuthReply(c.reply);
    EXPECT_EQ(c.result, service.RequestCommonConfig()) << c.name;
    rapidjson::Document header;
    EXPECT_EQ(c.result == 0 ? 0 : -1, service.GetMessageToCompose(header)) << c.name;
  }
  EXPECT_EQ(sizeof(cases) / sizeof(cases[0]), cloud_.AuthRequests().size());
}

TEST_F(AuthRequestTest, StallPastTheTimeoutIsNoReply) {
  AuthService service;
  ASSERT_EQ(0, service.LoadSettings());
  cloud_.QueueAuthReply(HttpReply::Stall(8s, HttpReply::Json(cloud_.AcceptReplyBody())));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(-2, service.RequestCommonConfig());
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 4500ms);
  EXPECT_LE(took, 7500ms);
}

TEST_F(AuthRequestTest, FirstTryAcceptanceAndTheFirstHeaderContinuesTheCount) {
  AuthService service;
  zq_test::ScopedLogSettings loud(4, 3, "");
  zq_test::StdoutCapture capture;
  ASSERT_EQ(0, service.StartService());
  auto requests = cloud_.AuthRequests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_TRUE(requests[0].signature_valid);
  EXPECT_EQ(CloudBackendFake::AuthBody(kMac, 4, "1", service.Signature(), requests[0].timestamp), requests[0].body);
  EXPECT_EQ(std::to_string(requests[0].timestamp), service.TimeStamp());
  EXPECT_EQ(kMac, service.Mac());
  EXPECT_EQ("initial-key", service.CloudKey());

  rapidjson::Document header;
  ASSERT_EQ(0, service.GetMessageToCompose(header));
  std::string id;
  EXPECT_TRUE(zq_camera_service::json::GetString(header, "RequestId", &id));
  EXPECT_EQ("2", id);
  std::string out = capture.Text();
  EXPECT_NE(std::string::npos, out.find("Service | INFO: Request message {         \"ProtocolVersion\":1,")) << out;
  EXPECT_NE(std::string::npos, out.find("Service | INFO: Request common config succeed!\n")) << out;
  EXPECT_EQ(std::string::npos, out.find("initial-key")) << out;
}

TEST_F(AuthRequestTest, RequestLineShowsTheBodyAsSentWhateverTheKey) {
  // The body holds the key's signature, not the key: its log line is the
  // body byte for byte even when the key's text stands in it (here "1").
  zq_test::CloudSettings settings;
  settings.key = "1";
  CloudBackendFake cloud("1", settings);
  WriteConfigs(zq_test::CloudBaseConfig(cloud));
  AuthService service;
  ASSERT_EQ(0, service.LoadSettings());
  zq_test::ScopedLogSettings loud(4, 3, "");
  zq_test::StdoutCapture capture;
  ASSERT_EQ(0, service.RequestCommonConfig());
  auto requests = cloud.AuthRequests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(requests[0].signature_valid);
  std::string out = capture.Text();
  EXPECT_NE(std::string::npos, out.find("Service | INFO: Request message " + requests[0].body + "\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Service | INFO: Key=***&Mac=12:43:94:27:66:24&TimeStamp=" +
                                        std::to_string(requests[0].timestamp) + "Service | ")) << out;
}

TEST_F(AuthRequestTest, RetriesUntilAcceptedWithIncreasingRequestIds) {
  AuthService service;
  service.SetRetryDelay(50ms);
  cloud_.QueueAuthReply(HttpReply::Status(404));
  cloud_.QueueAuthError();
  cloud_.QueueAuthReply(HttpReply::Text("nonsense"));
  zq_test::ScopedLogSettings errors(1, 3, "");
  zq_test::StdoutCapture capture;
  ASSERT_EQ(0, service.StartService());
  auto requests = cloud_.AuthRequests();
  ASSERT_EQ(4u, requests.size());
  for (size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(std::to_string(i + 1), requests[i].request_id);
  std::string out = capture.Text();
  EXPECT_EQ(2u, zq_test::CountOccurrences(out, "Service | ERROR: Failed to request auth message 16777472\n")) << out;
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Service | ERROR: Failed to request auth message 83886081\n")) << out;
  EXPECT_EQ(0u, out.find("Service | ERROR: Net response error: \n404\n")) << out;
  EXPECT_EQ(3u, zq_test::CountOccurrences(capture.Text(), "Retry connect auth in 2 second\n"));
  EXPECT_EQ(5, service.NextRequestId());
}

TEST_F(AuthRequestTest, MissingConfigUrlFailsInTheTransportAndIsRetriedUntilStopped) {
  WriteConfigs("{\"NewKey\": \"initial-key\"}");
  AuthService service;
  service.SetRetryDelay(50ms);
  std::thread stopper([&] {
    std::this_thread::sleep_for(500ms);
    service.StopService();
  });
  zq_test::ScopedLogSettings errors(1, 3, "");
  zq_test::StdoutCapture capture;
  EXPECT_EQ(-1, service.StartService());
  stopper.join();
  EXPECT_EQ(0u, cloud_.AuthRequests().size());
  EXPECT_GE(zq_test::CountOccurrences(capture.Text(), "Failed to request auth message -2\n"), 2u) << capture.Text();
  rapidjson::Document header;
  EXPECT_EQ(-1, service.GetMessageToCompose(header));
}

TEST_F(AuthRequestTest, InProcessHelperAuthenticatesServiceZero) {
  AuthService* service = zq_test::AuthenticateInProcess(dir_.path() + "/");
  ASSERT_NE(nullptr, service);
  EXPECT_EQ(service, zq_camera_service::ServiceManager::GetInstance()->GetServiceBy(zq_camera_service::SERVICE_AUTH));
  rapidjson::Document header;
  ASSERT_EQ(0, service->GetMessageToCompose(header));

  // Against a second back end handing out another key, a later call
  // authenticates the same service again.
  zq_test::CloudSettings settings;
  settings.key = "other-key";
  CloudBackendFake other("initial-key", settings);
  zq_test::TempDir other_dir;
  zq_test::WriteFile(other_dir / "BaseConfig.json", zq_test::CloudBaseConfig(other));
  zq_test::WriteFile(other_dir / "VersionConfig.json", zq_test::VersionConfig(1));
  EXPECT_EQ(service, zq_test::AuthenticateInProcess(other_dir.path() + "/"));
  EXPECT_EQ("other-key", service->CloudKey());

  // A back end that never accepts: null once the time allowed is over.
  other.SetExpectedKey("unknown-key");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, zq_test::AuthenticateInProcess(other_dir.path() + "/", 1s));
  EXPECT_LE(std::chrono::steady_clock::now() - started, 5s);
}

}  // namespace
