// The private-cloud face upload in-process: batches handed by the capture
// service reach the private-cloud fake as signed FaceDetectReq messages,
// once each, through the real HTTP transport.
#include "business/private_cloud_data_upload_business.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/config_manager.h"
#include "base/json_member.h"
#include "fakes/private_cloud_fake.h"
#include "service/data_upload_service.h"
#include "service/net_service.h"
#include "support/child_process.h"
#include "support/install_root.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"
#include "support/wire_bytes.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::ConfigManager;
using zq_camera_service::DataUploadService;
using zq_camera_service::FaceInfo_Upload;
using zq_camera_service::NetService;
using zq_camera_service::PrivateCloudDataUploadBusiness;
using zq_test::PrivateCloudFake;

// Stands in for the authentication service's signed header.
class FakeHeader {
 public:
  int Compose(rapidjson::Document& header) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
    if (!available_) return -1;
    if (!text_.empty()) {
      header.Parse(text_.c_str());
      return 0;
    }
    std::string request_id = std::to_string(++request_id_);
    std::string json = "{\"ProtocolVersion\":1,\"Mac\":\"12:43:94:27:66:24\",\"Key\":\"secret\","
                       "\"CompanyId\":\"company-1\",\"ShopId\":7,\"RequestId\":\"" + request_id +
                       "\",\"Signature\":\"sig-" + request_id + "\",\"TimeStamp\":1700000000}";
    header.Parse(json.c_str());
    return 0;
  }
  void SetAvailable(bool available) {
    std::lock_guard<std::mutex> lock(mutex_);
    available_ = available;
  }
  // A fixed header text instead of the default one.
  void SetText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = text;
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  bool available_ = true;
  std::string text_;
  int calls_ = 0;
  int request_id_ = 1;
};

FaceInfo_Upload Face(int tag, const std::string& image) {
  FaceInfo_Upload face;
  face.image_len = static_cast<int32_t>(image.size());
  face.image.reset(new char[image.size() > 0 ? image.size() : 1]);
  std::copy(image.begin(), image.end(), face.image.get());
  face.left = tag;
  return face;
}

class PrivateCloudUploadTest : public ::testing::Test {
 protected:
  PrivateCloudUploadTest() : settings_(4, 3, "") {
    root_.WriteBaseConfig(zq_test::DefaultBaseConfig(cloud_.url()));
    ConfigManager::GetInstance()->LoadConfigs(root_.ConfigDir());
    NetService::GetInstance()->StartService();
  }
  ~PrivateCloudUploadTest() override { business_.reset(); }

  void Start() {
    PrivateCloudDataUploadBusiness::Wiring wiring;
    wiring.compose_header = [this](rapidjson::Document& header) { return header_.Compose(header); };
    wiring.capture_service = [this] { return &capture_; };
    wiring.wall_seconds = [this] { return now_.load(); };
    business_ = std::make_unique<PrivateCloudDataUploadBusiness>(wiring);
    ASSERT_EQ(0, business_->StartBusiness());
  }

  // Hands a batch to the consumers as the capture service's pass does.
  void Hand(std::vector<FaceInfo_Upload> faces) {
    capture_.OnHandleFaceInfo(static_cast<int>(faces.size()), faces.empty() ? nullptr : faces.data());
  }

  zq_test::ScopedLogSettings settings_;
  PrivateCloudFake cloud_;
  zq_test::InstallRoot root_;
  DataUploadService capture_;
  FakeHeader header_;
  std::atomic<int64_t> now_{1000};
  std::unique_ptr<PrivateCloudDataUploadBusiness> business_;
};

TEST_F(PrivateCloudUploadTest, ABatchBecomesOneSignedRequestWithEveryField) {
  Start();
  FaceInfo_Upload first = Face(20, std::string("\x00\xff\x01", 3));
  first.top = 10;
  first.width = 50;
  first.height = 100;
  first.pitch = -12;
  first.yaw = 0;
  first.roll = 12;
  first.confidence = 97;
  first.quality = 88;
  std::vector<FaceInfo_Upload> faces;
  faces.push_back(std::move(first));
  faces.push_back(Face(-5, std::string(1000, '\xfe')));
  Hand(std::move(faces));

  ASSERT_TRUE(cloud_.WaitForUploads(1, 10s));
  auto uploads = cloud_.Uploads();
  ASSERT_EQ(1u, uploads.size());
  const zq_test::FaceUpload& upload = uploads[0];
  EXPECT_EQ("/zarnu/retailapi/facedetect?company_id=company-1&shop_id=7", upload.request.target);
  EXPECT_EQ("application/x-protobuf", upload.request.Header("Content-Type"));
  ASSERT_TRUE(upload.decoded);
  const zarnu::FaceDetectReq& m = upload.message;
  EXPECT_EQ("company-1", m.company_id());
  EXPECT_EQ(7u, m.shop_id());
  EXPECT_EQ(3u, m.camera_id()) << "CameraId of the base configuration";
  EXPECT_EQ(1700000000u, m.timestamp());
  EXPECT_EQ(1u, m.type());
  EXPECT_EQ("2", m.session_id());
  EXPECT_EQ(1u, m.protocol_version());
  EXPECT_EQ("12:43:94:27:66:24", m.mac());
  EXPECT_EQ("sig-2", m.signature());
  ASSERT_EQ(2, m.faces_size());
  const zarnu::FaceInfo& a = m.faces(0);
  EXPECT_EQ(std::string("\x00\xff\x01", 3), a.image());
  EXPECT_EQ(20, a.face_rect().x());
  EXPECT_EQ(10, a.face_rect().y());
  EXPECT_EQ(50, a.face_rect().width());
  EXPECT_EQ(100, a.face_rect().height());
  EXPECT_EQ(-12.0f, a.face_pitch());
  EXPECT_EQ(0.0f, a.face_yaw());
  EXPECT_EQ(12.0f, a.face_roll());
  EXPECT_EQ(97.0f, a.face_confidence());
  EXPECT_EQ(88.0f, a.face_score());
  EXPECT_EQ(std::string(1000, '\xfe'), m.faces(1).image());
  EXPECT_EQ(-5, m.faces(1).face_rect().x());
  // Zero values are on the wire too.
  EXPECT_TRUE(a.has_face_yaw());
  EXPECT_TRUE(m.faces(1).face_rect().has_y());
  EXPECT_TRUE(m.faces(1).has_face_score());
  EXPECT_FALSE(upload.request.body.find("secret") != std::string::npos) << "the key is not sent";
}

TEST_F(PrivateCloudUploadTest, ZeroAndEmptyHeaderValuesAreStillSent) {
  header_.SetText("{\"ProtocolVersion\":0,\"CompanyId\":\"\",\"ShopId\":0,\"TimeStamp\":-2}");
  Start();
  std::vector<FaceInfo_Upload> faces;
  faces.push_back(Face(0, ""));
  Hand(std::move(faces));
  ASSERT_TRUE(cloud_.WaitForUploads(1, 10s));
  const zq_test::FaceUpload upload = cloud_.Uploads()[0];
  EXPECT_EQ("/zarnu/retailapi/facedetect?company_id=&shop_id=0", upload.request.target);
  ASSERT_TRUE(upload.decoded);
  const zarnu::FaceDetectReq& m = upload.message;
  for (bool present : {m.has_company_id(), m.has_shop_id(), m.has_camera_id(), m.has_timestamp(), m.has_type(),
                       m.has_session_id(), m.has_protocol_version(), m.has_mac(), m.has_signature()}) {
    EXPECT_TRUE(present);
  }
  EXPECT_EQ(static_cast<uint64_t>(-2), m.timestamp()) << "a negative second is widened with its sign";
  ASSERT_EQ(1, m.faces_size());
  EXPECT_TRUE(m.faces(0).has_image());
  EXPECT_EQ("", m.faces(0).image());
}

TEST_F(PrivateCloudUploadTest, TheBodyOnTheWireIsTheGoldenRequest) {
  // Zero, empty and negative values, all of them on the wire; the key stays home.
  header_.SetText("{\"ProtocolVersion\":2,\"Mac\":\"m\",\"Key\":\"k\",\"CompanyId\":\"C1\",\"ShopId\":0,"
                  "\"RequestId\":\"r\",\"Signature\":\"s\",\"TimeStamp\":-1}");
  Start();
  FaceInfo_Upload face = Face(-1, std::string("\x00\xff", 2));
  face.top = 2;
  face.width = 0;
  face.height = 4;
  face.pitch = -12;
  face.roll = 1;
  face.quality = 88;
  std::vector<FaceInfo_Upload> faces;
  faces.push_back(std::move(face));
  Hand(std::move(faces));
  ASSERT_TRUE(cloud_.WaitForUploads(1, 10s));
  const std::string body = cloud_.Uploads()[0].request.body;

  EXPECT_EQ(zq_test::Hex(zq_test::FromHex(
                "0A 02 43 31 10 00 18 03 "                       // company_id "C1", shop_id 0, camera_id 3
                "22 30 0A 02 00 FF "                             // one face of 48 bytes: image
                "12 11 08 FF FF FF FF FF FF FF FF FF 01 10 02 18 00 20 04 "  // rect -1, 2, 0, 4
                "1D 00 00 40 C1 25 00 00 00 00 2D 00 00 80 3F "  // pitch -12, yaw 0, roll 1
                "35 00 00 00 00 3D 00 00 B0 42 "                 // confidence 0, score 88
                "38 FF FF FF FF FF FF FF FF FF 01 40 01 4A 01 72 "  // timestamp -1 widened, type 1, session "r"
                "A0 01 02 AA 01 01 6D B2 01 01 73")),            // protocol 2, mac "m", signature "s"
            zq_test::Hex(body));
  // Read by protoc itself, without our generated classes.
  EXPECT_EQ(
      "1: \"C1\"\n2: 0\n3: 3\n4 {\n  1: \"\\000\\377\"\n  2 {\n    1: 18446744073709551615\n    2: 2\n    3: 0\n"
      "    4: 4\n  }\n  3: 0xc1400000\n  4: 0x00000000\n  5: 0x3f800000\n  6: 0x00000000\n  7: 0x42b00000\n}\n"
      "7: 18446744073709551615\n8: 1\n9: \"r\"\n20: 2\n21: \"m\"\n22: \"s\"\n",
      zq_test::DecodeRaw(body));
}

struct ReplyCase {
  const char* name;
  std::function<void(PrivateCloudFake&)> script;
  std::vector<std::string> lines;  // logged, in this order
  bool error_line;
};

TEST_F(PrivateCloudUploadTest, EveryReplyIsLoggedAndTheBatchReleased) {
  Start();
  zarnu::CommonResultRsp partial;
  partial.set_error_code(-3);
  std::string cut = partial.SerializeAsString() + "\x12\x09" "abc";  // a message field cut short
  const ReplyCase cases[] = {
      {"result", [](PrivateCloudFake& c) { c.AnswerResult(0, "ok"); },
       {"response pb errorcode: 0\n", "response pb errormsg: ok\n", "response pb session id: 2\n"}, false},
      {"error result", [](PrivateCloudFake& c) { c.AnswerResult(-7, "bad shop"); },
       {"response pb errorcode: -7\n", "response pb errormsg: bad shop\n", "response pb session id: 3\n"}, false},
      {"status 500 comes back as its digits", [](PrivateCloudFake& c) { c.AnswerStatus(500); },
       {"response pb errorcode: 0\n", "response pb errormsg: \n", "response pb session id: \n",
        "ERROR: face upload: reply is not a CommonResultRsp\n"},
       false},
      {"fields before a fault are kept", [cut](PrivateCloudFake& c) { c.AnswerBytes(cut); },
       {"response pb errorcode: -3\n", "ERROR: face upload: reply is not a CommonResultRsp\n"}, false},
      {"empty 200 is no reply", [](PrivateCloudFake& c) { c.AnswerBytes(""); },
       {"ERROR: face upload: no reply from the private cloud\n"}, false},
  };
  size_t sent = 0;
  for (const ReplyCase& c : cases) {
    c.script(cloud_);
    std::string out;
    {
      zq_test::StdoutCapture capture;
      std::vector<FaceInfo_Upload> faces;
      faces.push_back(Face(1, "x"));
      Hand(std::move(faces));
      ++sent;
      ASSERT_TRUE(cloud_.WaitForUploads(sent, 10s)) << c.name;
      ASSERT_TRUE(capture.WaitFor(c.lines.back(), 10s)) << c.name << ": " << capture.Text();
      out = capture.Text();
    }
    size_t at = 0;
    for (const std::string& line : c.lines) {
      at = out.find(line, at);
      EXPECT_NE(std::string::npos, at) << c.name << ": " << line << " in\n" << out;
      if (at == std::string::npos) break;
    }
    if (std::string(c.name) == "empty 200 is no reply") {
      EXPECT_EQ(std::string::npos, out.find("response pb")) << c.name;
    }
  }
  EXPECT_EQ(sent, cloud_.UploadCount()) << "each batch posted once";
}

TEST_F(PrivateCloudUploadTest, EmptyBatchesAndInvalidRecordsAreNotSent) {
  Start();
  std::string out;
  {
    zq_test::StdoutCapture capture;
    Hand({});
    std::vector<FaceInfo_Upload> faces;
    FaceInfo_Upload negative = Face(1, "n");
    negative.image_len = -3;
    faces.push_back(std::move(negative));
    FaceInfo_Upload lengthless;  // a length without bytes
    lengthless.image_len = 4;
    lengthless.left = 2;
    faces.push_back(std::move(lengthless));
    faces.push_back(Face(3, "ok"));
    Hand(std::move(faces));
    ASSERT_TRUE(cloud_.WaitForUploads(1, 10s));
    out = capture.Text();
  }
  std::this_thread::sleep_for(300ms);
  auto uploads = cloud_.Uploads();
  ASSERT_EQ(1u, uploads.size()) << "the empty batch went without a request";
  ASSERT_EQ(1, uploads[0].message.faces_size());
  EXPECT_EQ(3, uploads[0].message.faces(0).face_rect().x());
  EXPECT_NE(std::string::npos, out.find("ERROR: face upload: 2 records without valid image not queued\n")) << out;
}

TEST_F(PrivateCloudUploadTest, WithoutHeaderABatchWaitsAndIsDroppedWhenOlderThanFiveSeconds) {
  header_.SetAvailable(false);
  Start();
  zq_test::StdoutCapture capture;
  std::vector<FaceInfo_Upload> faces;
  faces.push_back(Face(1, "first"));
  Hand(std::move(faces));  // queued at second 1000
  int calls = header_.Calls();
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (header_.Calls() < calls + 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_GE(header_.Calls(), calls + 3) << "retried every 200 ms";

  now_ = 1005;  // exactly 5 s old: kept
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(std::string::npos, capture.Text().find("dropped unsent"));
  std::vector<FaceInfo_Upload> second;
  second.push_back(Face(2, "second"));
  Hand(std::move(second));  // queued at second 1005, waits behind the first

  now_ = 1006;
  ASSERT_TRUE(capture.WaitFor("WARN: face upload: no common header, batch of 1 faces dropped unsent\n", 5s))
      << capture.Text();
  header_.SetAvailable(true);
  ASSERT_TRUE(cloud_.WaitForUploads(1, 10s));
  std::this_thread::sleep_for(300ms);
  auto uploads = cloud_.Uploads();
  ASSERT_EQ(1u, uploads.size());
  EXPECT_EQ("second", uploads[0].message.faces(0).image());
}

TEST_F(PrivateCloudUploadTest, AHeaderThatIsNotAnObjectCountsAsNone) {
  header_.SetText("[1,2]");
  Start();
  std::vector<FaceInfo_Upload> faces;
  faces.push_back(Face(1, "x"));
  Hand(std::move(faces));
  int calls = header_.Calls();
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (header_.Calls() < calls + 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_GE(header_.Calls(), calls + 2);
  EXPECT_EQ(0u, cloud_.UploadCount());
}

TEST_F(PrivateCloudUploadTest, BatchesQueuedDuringAPostGoOneAfterTheOtherOnce) {
  cloud_.SetDelay(300ms);
  Start();
  for (int tag = 1; tag <= 3; ++tag) {
    std::vector<FaceInfo_Upload> faces;
    faces.push_back(Face(tag, "f"));
    Hand(std::move(faces));
  }
  ASSERT_TRUE(cloud_.WaitForUploads(3, 10s));
  std::this_thread::sleep_for(400ms);
  auto uploads = cloud_.Uploads();
  ASSERT_EQ(3u, uploads.size());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(i + 1, uploads[i].message.faces(0).face_rect().x());
  EXPECT_EQ(1, cloud_.server().MaxConcurrentRequests());
}

TEST_F(PrivateCloudUploadTest, AFullQueueDropsTheOldestBatchesAndSaysHowManyFaces) {
  // Hold the upload thread on its first batch while more arrive.
  std::mutex hold_mutex;
  std::condition_variable hold_cond;
  bool released = false;
  PrivateCloudDataUploadBusiness::Wiring wiring;
  wiring.compose_header = [&](rapidjson::Document& header) {
    std::unique_lock<std::mutex> lock(hold_mutex);
    hold_cond.wait(lock, [&] { return released; });
    return header_.Compose(header);
  };
  wiring.capture_service = [this] { return &capture_; };
  wiring.wall_seconds = [this] { return now_.load(); };
  business_ = std::make_unique<PrivateCloudDataUploadBusiness>(wiring);
  ASSERT_EQ(0, business_->StartBusiness());

  zq_test::StdoutCapture capture;
  std::vector<FaceInfo_Upload> first;
  first.push_back(Face(1, "a"));
  Hand(std::move(first));
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (business_->QueuedBatches() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(0u, business_->QueuedBatches()) << "the first batch is in the upload thread's hands";

  const int kBatches = 70;
  for (int tag = 2; tag <= kBatches; ++tag) {
    std::vector<FaceInfo_Upload> faces;
    faces.push_back(Face(tag, "b"));
    faces.push_back(Face(tag, "c"));
    Hand(std::move(faces));
  }
  EXPECT_EQ(64u, business_->QueuedBatches());
  std::string out = capture.Text();
  EXPECT_EQ(5u, zq_test::CountOccurrences(out, "WARN: face upload queue full, oldest batches dropped: 2 faces\n")) << out;

  {
    std::lock_guard<std::mutex> lock(hold_mutex);
    released = true;
  }
  hold_cond.notify_all();
  ASSERT_TRUE(cloud_.WaitForUploads(65, 20s));
  auto uploads = cloud_.Uploads();
  ASSERT_EQ(65u, uploads.size());
  EXPECT_EQ(1, uploads[0].message.faces(0).face_rect().x()) << "the batch in flight is never dropped";
  for (int i = 1; i < 65; ++i) EXPECT_EQ(i + 6, uploads[i].message.faces(0).face_rect().x()) << i;
}

TEST_F(PrivateCloudUploadTest, StopUnregistersAndJoins) {
  Start();
  business_->StopBusiness();
  std::vector<FaceInfo_Upload> faces;
  faces.push_back(Face(1, "late"));
  Hand(std::move(faces));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(0u, cloud_.UploadCount());
  EXPECT_EQ(0u, business_->QueuedBatches()) << "no longer registered";
}

TEST(PrivateCloudUploadStartTest, MissingBaseConfigurationIsReported) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  zq_test::InstallRoot empty_root;
  ConfigManager::GetInstance()->LoadConfigs(empty_root.ConfigDir());
  DataUploadService capture;
  PrivateCloudDataUploadBusiness::Wiring wiring;
  wiring.capture_service = [&] { return &capture; };
  PrivateCloudDataUploadBusiness business(wiring);
  std::string out;
  int result = 0;
  {
    zq_test::StdoutCapture capture_out;
    result = business.StartBusiness();
    out = capture_out.Text();
  }
  EXPECT_NE(0, result);
  EXPECT_NE(std::string::npos, out.find("ERROR: Failed to load config " + std::to_string(result) + "\n")) << out;
  FaceInfo_Upload face = Face(1, "x");
  capture.OnHandleFaceInfo(1, &face);
  EXPECT_EQ(0u, business.QueuedBatches()) << "nothing registered, nothing queued";
}

TEST(PrivateCloudStoiTest, DigitsTimesTenWithoutChecks) {
  const struct {
    std::string text;
    int value;
  } cases[] = {
      {"", 0},
      {"0", 0},
      {"7", 7},
      {"0042", 42},
      {"2147483647", 2147483647},
      {"-1", -29},     // '-' counts as its code minus 48, -3, then 10 * -3 + 1
      {"1a", 59},      // 'a' is 97: 10 + 49
      {" 5", -155},    // ' ' is 32: -16, then -160 + 5
      {"2147483648", -2147483647 - 1},  // wraps modulo 2^32
      {"4294967297", 1},
      {std::string(40, '9'), -1},  // 10^40 - 1, and 2^32 divides 10^40
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, ::stoi(c.text)) << "\"" << c.text << "\"";
}

}  // namespace
