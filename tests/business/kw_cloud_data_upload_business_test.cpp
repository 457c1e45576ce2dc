#include "business/kw_cloud_data_upload_business.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/config_manager.h"
#include "business/business_manager.h"
#include "business/monitor_config_business.h"
#include "fakes/frame_share_buf_writer.h"
#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "service/data_upload_service.h"
#include "service/service_manager.h"
#include "support/child_process.h"
#include "support/cloud_backend.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/process_wide_threads.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using namespace zq_camera_service;
using zq_test::CloudBackendFake;

// The capture service and the upload thread log throughout: every line goes
// to standard output, where the tests capture it.
const auto* const kLogs = ::testing::AddGlobalTestEnvironment(new zq_test::ProgramLogSettings(4, 3, ""));

// The process-wide businesses and services run threads.
const auto* const kStop = ::testing::AddGlobalTestEnvironment(new zq_test::StopProcessWideThreads);

std::vector<std::string> MemberNames(const rapidjson::Value& object) {
  std::vector<std::string> names;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) names.emplace_back(it->name.GetString());
  return names;
}

// An authenticated process with the capture service, and a started picture
// upload pointed at the cloud fake.
class KwCloudDataUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zq_test::WriteFile(config_dir_ / "BaseConfig.json", zq_test::CloudBaseConfig(cloud_));
    zq_test::WriteFile(config_dir_ / "VersionConfig.json", zq_test::VersionConfig(1));
    ASSERT_NE(nullptr, zq_test::AuthenticateInProcess(config_dir_.path() + "/"));
    ServiceManager* services = ServiceManager::GetInstance();
    if (services->GetServiceBy(SERVICE_DATA_UPLOAD) == nullptr) services->CreateServiceBy(SERVICE_DATA_UPLOAD);
    capture_ = dynamic_cast<DataUploadService*>(services->GetServiceBy(SERVICE_DATA_UPLOAD));
    ASSERT_NE(nullptr, capture_);
    ASSERT_EQ(0, business_.StartBusiness());
  }

  // Hands a picture over as the capture service does, from a buffer that is
  // gone after the call.
  void HandOver(const std::string& bytes) {
    std::vector<char> buffer(bytes.begin(), bytes.end());
    business_.OnCameraDataUploadCallback(static_cast<int>(buffer.size()), buffer.data());
    std::fill(buffer.begin(), buffer.end(), 'X');
  }

  rapidjson::Document PictureBody(size_t index) {
    rapidjson::Document body;
    auto pictures = cloud_.Reports(CloudBackendFake::kPicturePath);
    if (index < pictures.size()) body.Parse(pictures[index].raw.body.c_str());
    return body;
  }

  CloudBackendFake cloud_;
  zq_test::TempDir config_dir_;
  DataUploadService* capture_ = nullptr;
  KwCloudDataUploadBusiness business_;
};

TEST_F(KwCloudDataUploadTest, PicturesArriveAsExactBase64WithCameraAndActIds) {
  EXPECT_EQ(cloud_.url(), business_.ConfigUrl());
  EXPECT_EQ("3", business_.CameraId());
  HandOver(std::string("\x00\xFF\x00", 3));
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kPicturePath, 1, 10s));

  std::mt19937 random(20240611);
  std::string large(1 << 20, '\0');
  for (char& byte : large) byte = static_cast<char>(random() & 0xFF);
  business_.SetActId(42);
  HandOver(large);
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kPicturePath, 2, 20s));

  auto pictures = cloud_.Reports(CloudBackendFake::kPicturePath);
  for (const auto& picture : pictures) {
    EXPECT_TRUE(picture.signature_valid);
    EXPECT_EQ("application/json", picture.raw.Header("Content-Type"));
  }
  rapidjson::Document first = PictureBody(0);
  ASSERT_TRUE(first.IsObject());
  EXPECT_EQ((std::vector<std::string>{"ProtocolVersion", "Mac", "Key", "CompanyId", "ShopId", "RequestId", "Signature",
                                      "TimeStamp", "CameraId", "ActId", "Picture"}),
            MemberNames(first));
  EXPECT_STREQ("AP8A", first["Picture"].GetString());
  EXPECT_EQ(3, first["CameraId"].GetInt());
  EXPECT_EQ(0, first["ActId"].GetInt());  // before any picture request

  rapidjson::Document second = PictureBody(1);
  ASSERT_TRUE(second.IsObject());
  EXPECT_EQ(42, second["ActId"].GetInt());
  std::string encoded(second["Picture"].GetString(), second["Picture"].GetStringLength());
  ASSERT_EQ(4u * ((large.size() + 2) / 3), encoded.size());
  EXPECT_EQ(std::string::npos, encoded.find_first_not_of(
                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="));
  EXPECT_TRUE(base64_decode(encoded) == large);
}

TEST_F(KwCloudDataUploadTest, EmptyAndInvalidPicturesAreSkippedAndFacesIgnored) {
  zq_test::StdoutCapture out;
  char byte = 'x';
  business_.OnCameraDataUploadCallback(0, nullptr);
  business_.OnCameraDataUploadCallback(0, &byte);
  business_.OnCameraDataUploadCallback(-1, &byte);
  business_.OnCameraDataUploadCallback(5, nullptr);
  // Face batches, handed over directly and through the capture service's registry.
  FaceInfo_Upload face{};
  face.width = 10;
  std::vector<FaceInfo_Upload*> one_face{&face};
  business_.OnFaceDataUploadCallback(one_face);
  capture_->OnHandleFaceInfo(1, &face);
  HandOver("real");
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kPicturePath, 1, 10s));
  std::this_thread::sleep_for(200ms);
  auto pictures = cloud_.Reports(CloudBackendFake::kPicturePath);
  ASSERT_EQ(1u, pictures.size());
  EXPECT_STREQ("cmVhbA==", PictureBody(0)["Picture"].GetString());
  std::string text = out.Text();
  EXPECT_EQ(1u, zq_test::CountOccurrences(text, "ERROR: KwCloudData picture ignored: length -1, bytes given\n")) << text;
  EXPECT_EQ(1u, zq_test::CountOccurrences(text, "ERROR: KwCloudData picture ignored: length 5, bytes null\n")) << text;
}

TEST_F(KwCloudDataUploadTest, QueuedPicturesGoInOrderAndTheOldestWaitingOnesAreDropped) {
  zq_test::StdoutCapture out;
  // The first upload is held by the back end while ten more pictures arrive.
  cloud_.server().QueueReply("POST", CloudBackendFake::kPicturePath,
                             zq_test::HttpReply::Stall(1500ms, zq_test::HttpReply::Json("{\"Response\":{}}")));
  HandOver("p0");
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kPicturePath, 1, 10s));
  for (int i = 1; i <= 10; ++i) HandOver("p" + std::to_string(i));
  EXPECT_EQ(KwCloudDataUploadBusiness::kMaxQueuedPictures, business_.QueuedPictures());
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kPicturePath, 9, 20s));
  std::this_thread::sleep_for(300ms);
  std::vector<std::string> sent;
  for (size_t i = 0; i < cloud_.Reports(CloudBackendFake::kPicturePath).size(); ++i) {
    sent.push_back(base64_decode(PictureBody(i)["Picture"].GetString()));
  }
  EXPECT_EQ((std::vector<std::string>{"p0", "p3", "p4", "p5", "p6", "p7", "p8", "p9", "p10"}), sent);
  EXPECT_EQ(2u, zq_test::CountOccurrences(out.Text(), "WARN: KwCloudData picture queue full, dropped 1 oldest picture(s)\n"))
      << out.Text();
}

TEST_F(KwCloudDataUploadTest, RepliesAreLoggedAndAMissingReplyIsReported) {
  zq_test::StdoutCapture out;
  cloud_.server().QueueReply("POST", CloudBackendFake::kPicturePath, zq_test::HttpReply::Json("{\"Response\":{\"ok\":1}}"));
  cloud_.server().QueueReply("POST", CloudBackendFake::kPicturePath, zq_test::HttpReply::Drop());
  cloud_.server().QueueReply("POST", CloudBackendFake::kPicturePath, zq_test::HttpReply::Status(404));
  HandOver("a");
  HandOver("b");
  HandOver("c");
  EXPECT_TRUE(out.WaitFor("INFO: KwCloudData upload busi response:\n{\"Response\":{\"ok\":1}}\n", 10s)) << out.Text();
  EXPECT_TRUE(out.WaitFor("\nKwCloudData upload busi response:null\n", 10s)) << out.Text();
  EXPECT_TRUE(out.WaitFor("ERROR: KwCloudData upload busi response:null\n", 10s)) << out.Text();
  EXPECT_TRUE(out.WaitFor("INFO: KwCloudData upload busi response:\n404\n", 10s)) << out.Text();
  // Each picture was posted once, whatever its reply.
  EXPECT_EQ(3u, cloud_.Reports(CloudBackendFake::kPicturePath).size());
}

TEST_F(KwCloudDataUploadTest, SetActIdRaisesThePictureRequestOfTheCaptureService) {
  zq_test::StdoutCapture out;
  capture_->camera_pic_requested = false;
  business_.SetActId(-8);
  EXPECT_EQ(-8, business_.ActId());
  EXPECT_TRUE(capture_->camera_pic_requested.load());
  std::string text = out.Text();
  EXPECT_NE(std::string::npos, text.find("INFO: KwCloud data set act id\nService | INFO: KwCloud data set cap camera flag\n"))
      << text;
  capture_->camera_pic_requested = false;
}

TEST_F(KwCloudDataUploadTest, HeartbeatReplyWithCatchCameraPicReachesBusinessOne) {
  BusinessManager* manager = BusinessManager::GetInstance();
  if (manager->GetBusinessBy(BUSINESS_KWCLOUD_DATA_UPLOAD) == nullptr) {
    manager->CreateBusinessBy(BUSINESS_KWCLOUD_DATA_UPLOAD);
  }
  auto* registered = dynamic_cast<KwCloudDataUploadBusiness*>(manager->GetBusinessBy(BUSINESS_KWCLOUD_DATA_UPLOAD));
  ASSERT_NE(nullptr, registered);
  MonitorConfigBusiness reports;
  struct Case {
    int timer;
    std::string reply;
    int act_id;
    bool requested;
  };
  const Case cases[] = {
      {TIMER_MONITOR_REPORT, "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":5}}}", 0, false},
      {TIMER_HEARTBEAT, "{\"Response\":{\"ExtMsg\":{\"cmd\":\"catchcamerapic\",\"actid\":5}}}", 0, false},
      {TIMER_HEARTBEAT, "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":5}}}", 5, true},
      {TIMER_HEARTBEAT, "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\"}}}", 0, true},
  };
  registered->SetActId(0);
  for (const Case& c : cases) {
    capture_->camera_pic_requested = false;
    std::string reply = c.reply;
    EXPECT_EQ(0, reports.HandleResponseBy(c.timer, reply)) << c.reply;
    EXPECT_EQ(c.act_id, registered->ActId()) << c.reply;
    EXPECT_EQ(c.requested, capture_->camera_pic_requested.load()) << c.reply;
    registered->SetActId(0);
  }
  capture_->camera_pic_requested = false;
}

TEST_F(KwCloudDataUploadTest, StopEndsTheThreadAndLaterPicturesStayUnsent) {
  zq_test::StdoutCapture out;
  HandOver("before");
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kPicturePath, 1, 10s));
  EXPECT_EQ(0, business_.StopBusiness());
  EXPECT_NE(std::string::npos, out.Text().find("destroy dataupload thread succeed\n"));
  HandOver("after");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(1u, cloud_.Reports(CloudBackendFake::kPicturePath).size());
  EXPECT_EQ(0, business_.StopBusiness());  // a second stop is harmless
}

TEST_F(KwCloudDataUploadTest, RequestedCameraPictureIsUploadedWithTheActIdOfTheRequest) {
  namespace stand_in = zq_camera_service::platform::share_buf_stand_in;
  zq_test::TempDir frames("zqframes");
  stand_in::SetDirectory(frames.path());
  const std::string picture("\xff\xd8\x00jpeg\x00\xff\xd9", 10);
  zq_fakes::FrameShareBufWriter(frames.path())
      .PutFrame(SHARE_BUF_CAMERA_PIC, 1, zq_fakes::FrameShareBufWriter::FrameBytes(777, false, picture));

  // The heartbeat reply's request, as the report business passes it on.
  business_.SetActId(31);
  ASSERT_TRUE(capture_->camera_pic_requested.load());
  // The capture service's picture reader serves the request: every
  // registered consumer, this business among them, gets the picture.
  capture_->CheckCapCameraPicRoutine();
  EXPECT_FALSE(capture_->camera_pic_requested.load());
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kPicturePath, 1, 10s));
  rapidjson::Document body = PictureBody(0);
  ASSERT_TRUE(body.IsObject());
  EXPECT_EQ(31, body["ActId"].GetInt());
  EXPECT_TRUE(base64_decode(body["Picture"].GetString()) == picture);
  stand_in::Reset();
}

}  // namespace

namespace {

// The body's "CameraId" is the number the configured text starts with, and
// its "ActId" the act id current when the body is composed.
TEST(KwCloudDataUploadCompose, CameraIdFromTheConfiguredTextAndTheCurrentActId) {
  struct Case {
    const char* name;
    std::string camera_member;  // "" leaves the member out
    int camera_id;
  };
  const Case cases[] = {
      {"number text", "\"CameraId\": \"17\"", 17},
      {"text that does not start with a number", "\"CameraId\": \"cam-17\"", 0},
      {"empty text", "\"CameraId\": \"\"", 0},
      {"a JSON number is not the configured text", "\"CameraId\": 17", 0},
      {"missing", "", 0},
  };
  zq_test::TempDir config_dir;
  rapidjson::Document header;
  header.Parse("{\"RequestId\":\"1\",\"TimeStamp\":1700000000}");
  for (const Case& c : cases) {
    zq_test::WriteFile(config_dir / "BaseConfig.json",
                       "{\"ConfigUrl\": \"http://127.0.0.1:9\"" +
                           (c.camera_member.empty() ? std::string() : ", " + c.camera_member) + "}");
    ConfigManager::GetInstance()->LoadConfigs(config_dir.path() + "/");
    KwCloudDataUploadBusiness business;
    ASSERT_EQ(0, business.StartBusiness()) << c.name;
    std::string picture = "AP8A";
    rapidjson::Document body;
    body.Parse(business.ComposePostMessage(header, picture).c_str());
    ASSERT_TRUE(body.IsObject()) << c.name;
    EXPECT_EQ((std::vector<std::string>{"RequestId", "TimeStamp", "CameraId", "ActId", "Picture"}), MemberNames(body))
        << c.name;
    EXPECT_EQ(c.camera_id, body["CameraId"].GetInt()) << c.name;
    EXPECT_EQ(0, body["ActId"].GetInt()) << c.name;
    EXPECT_STREQ("AP8A", body["Picture"].GetString()) << c.name;

    business.SetActId(9);
    body.Parse(business.ComposePostMessage(header, picture).c_str());
    ASSERT_TRUE(body.IsObject()) << c.name;
    EXPECT_EQ(9, body["ActId"].GetInt()) << c.name;
    // The caller's header is left as it was.
    EXPECT_EQ((std::vector<std::string>{"RequestId", "TimeStamp"}), MemberNames(header)) << c.name;
  }
  // The picture request SetActId raised is not left standing for others.
  auto* capture = dynamic_cast<DataUploadService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_DATA_UPLOAD));
  if (capture != nullptr) capture->camera_pic_requested = false;
}

}  // namespace
