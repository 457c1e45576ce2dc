#include "business/private_cloud_data_upload_business.h"

#include <sys/time.h>

#include "base/json_member.h"
#include "base/log.h"
#include "base/utils.h"
#include "proto/retail_preprocess.pb.h"
#include "service/auth_service.h"
#include "service/net_helper.h"
#include "service/net_message.h"
#include "service/service_manager.h"

namespace zq_camera_service {

namespace {

constexpr std::chrono::milliseconds kHeaderRetry(200);

int64_t WallSeconds() {
  struct timeval now {};
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec);
}

// The header signed by the authentication service of the process (service 0).
int ComposeProcessHeader(rapidjson::Document& header) {
  auto* auth = static_cast<AuthService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_AUTH));
  return auth != nullptr ? auth->GetMessageToCompose(header) : -1;
}

DataUploadService* ProcessCaptureService() {
  return static_cast<DataUploadService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_DATA_UPLOAD));
}

std::string TextMember(const rapidjson::Value& header, const char* name) {
  std::string text;
  json::GetString(header, name, &text);  // missing or not text: ""
  return text;
}

int IntMember(const rapidjson::Value& header, const char* name) {
  int value = 0;
  json::GetInt(header, name, &value);  // missing or not an int: 0
  return value;
}

// The batch as the private cloud takes it, serialised into `body`; false
// when it does not serialise.
bool SerializeFaceRequest(const FaceBatch& batch, const rapidjson::Document& header, int32_t camera_id,
                          std::string* body) {
  std::string company_id = TextMember(header, "CompanyId");
  int shop_id = IntMember(header, "ShopId");
  // The time stamp as a 32-bit number widened with its sign; a larger
  // integer (after 2038) is taken whole rather than cut.
  int64_t timestamp = 0;
  json::GetInt64(header, "TimeStamp", &timestamp);

  zarnu::FaceDetectReq request;
  request.set_company_id(company_id);
  request.set_shop_id(static_cast<uint32_t>(shop_id));
  request.set_camera_id(static_cast<uint32_t>(camera_id));
  for (const FaceInfo_Upload& face : batch.faces) {
    zarnu::FaceInfo* info = request.add_faces();
    if (face.image && face.image_len > 0) {
      info->set_image(face.image.get(), static_cast<size_t>(face.image_len));
    } else {
      info->set_image(std::string());
    }
    zarnu::FaceInfo_Rect* rect = info->mutable_face_rect();
    rect->set_x(face.left);
    rect->set_y(face.top);
    rect->set_width(face.width);
    rect->set_height(face.height);
    info->set_face_pitch(static_cast<float>(face.pitch));
    info->set_face_yaw(static_cast<float>(face.yaw));
    info->set_face_roll(static_cast<float>(face.roll));
    info->set_face_confidence(static_cast<float>(face.confidence));
    info->set_face_score(static_cast<float>(face.quality));
  }
  request.set_timestamp(static_cast<uint64_t>(timestamp));
  request.set_type(1);
  request.set_session_id(TextMember(header, "RequestId"));
  request.set_protocol_version(static_cast<uint32_t>(IntMember(header, "ProtocolVersion")));
  request.set_mac(TextMember(header, "Mac"));
  request.set_signature(TextMember(header, "Signature"));

  return request.SerializeToString(body);
}

}  // namespace

PrivateCloudDataUploadBusiness::PrivateCloudDataUploadBusiness()
    : PrivateCloudDataUploadBusiness(Wiring{ComposeProcessHeader, ProcessCaptureService, WallSeconds}) {}

PrivateCloudDataUploadBusiness::PrivateCloudDataUploadBusiness(Wiring wiring) : wiring(std::move(wiring)) {
  if (!this->wiring.compose_header) this->wiring.compose_header = ComposeProcessHeader;
  if (!this->wiring.capture_service) this->wiring.capture_service = ProcessCaptureService;
  if (!this->wiring.wall_seconds) this->wiring.wall_seconds = WallSeconds;
}

PrivateCloudDataUploadBusiness::~PrivateCloudDataUploadBusiness() { StopBusiness(); }

int PrivateCloudDataUploadBusiness::StartBusiness() {
  rapidjson::Document* config = nullptr;
  int code = LoadBaseConfig(&config);
  if (code != 0) return code;
  pic_upload_url = TextMember(*config, "PicUploadUrl");
  camera_id = Utils::Str2Int(TextMember(*config, "CameraId"));
  max_batch_age = 5;

  if (post_thread_started) return 0;  // one upload thread per business
  DataUploadService* capture = wiring.capture_service();
  if (capture != nullptr) {
    capture->RegisterHandler(this);
    registered_with = capture;
  } else {
    zq_error("face capture service missing, no faces will arrive\n");
  }
  running = true;

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    zq_print("pthread dataUpload attr init failed\n");
    return -1;
  }
  int rc = pthread_create(&post_thread, &attr, StaticPostHandler, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    zq_print("thread dataupload create failed\n");
    return -1;
  }
  post_thread_started = true;
  return 0;
}

int PrivateCloudDataUploadBusiness::StopBusiness() {
  // Once this returns, the capture service no longer calls us: it unregisters
  // under the lock its dispatch holds.
  if (registered_with != nullptr) {
    registered_with->UnregisterHandler(this);
    registered_with = nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(sleep_lock);
    running = false;
  }
  sleep_wake.notify_all();
  face_queue.Stop();
  if (post_thread_started) {
    // Joined, never cancelled: the thread may be inside an HTTP exchange,
    // which ends within its time-out.
    pthread_join(post_thread, nullptr);
    post_thread_started = false;
    zq_print("destroy dataupload thread succeed\n");
  }
  return 0;
}

void PrivateCloudDataUploadBusiness::OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>& faces) {
  int64_t now = wiring.wall_seconds();
  FaceBatch batch;
  batch.faces.reserve(faces.size());
  int refused = 0;
  for (FaceInfo_Upload* face : faces) {
    if (face == nullptr || face->image_len < 0 || (!face->image && face->image_len > 0)) {
      ++refused;
      continue;
    }
    FaceInfo_Upload copy = CopyFaceInfo(*face);
    copy.timestamp = now;
    batch.image_bytes += copy.image_len;
    batch.faces.push_back(std::move(copy));
  }
  if (refused > 0) zq_error("face upload: %d records without valid image not queued\n", refused);
  size_t dropped = face_queue.Push(std::move(batch));
  if (dropped > 0) zq_warn("face upload queue full, oldest batches dropped: %zu faces\n", dropped);
}

bool PrivateCloudDataUploadBusiness::ComposeHeader(rapidjson::Document& header) {
  return wiring.compose_header(header) == 0 && header.IsObject();
}

bool PrivateCloudDataUploadBusiness::SleepWhileRunning(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(sleep_lock);
  sleep_wake.wait_for(lock, duration, [this] { return !running; });
  return running;
}

void PrivateCloudDataUploadBusiness::PostHandler() {
  while (running) {
    FaceBatch batch;
    if (!face_queue.Take(&batch)) return;
    if (batch.faces.empty()) continue;
    // The batch is ours now: posted once, or dropped unsent once too old.
    for (;;) {
      rapidjson::Document header;
      if (ComposeHeader(header)) {
        PostBatch(batch, header);
        break;
      }
      if (!SleepWhileRunning(kHeaderRetry)) return;
      if (wiring.wall_seconds() - batch.faces.front().timestamp > max_batch_age) {
        zq_warn("face upload: no common header, batch of %zu faces dropped unsent\n", batch.faces.size());
        break;
      }
    }
  }
}

void* PrivateCloudDataUploadBusiness::StaticPostHandler(void* business) {
  if (business != nullptr) static_cast<PrivateCloudDataUploadBusiness*>(business)->PostHandler();
  return nullptr;
}

void PrivateCloudDataUploadBusiness::PostBatch(const FaceBatch& batch, const rapidjson::Document& header) {
  NetMessage message;
  {
    // The message and its serialised text each hold every image of the
    // batch once more: both are gone before the exchange, during which the
    // request lives only in the record the transport sends.
    std::string body;
    if (!SerializeFaceRequest(batch, header, camera_id, &body)) {
      zq_error("face upload: request does not serialise\n");
      return;
    }
    zq_print("send message size: %d\n", static_cast<int>(body.size()));
    if (!message.SetBody(body)) {
      zq_error("face upload: request too large to send\n");
      return;
    }
  }
  std::string url = Utils::StringFormat("%s/zarnu/retailapi/facedetect?company_id=%s&shop_id=%d",
                                        pic_upload_url.c_str(), TextMember(header, "CompanyId").c_str(),
                                        IntMember(header, "ShopId"));
  zq_print("url: %s\n", url.c_str());
  message.method = "post";
  message.url = url;
  message.header = "Content-Type: application/x-protobuf";
  message.timeout = kRequestTimeoutSeconds;
  NetMessage reply;
  NetHelper::GetInstance()->SendSyncMessage(message, reply);

  if (!reply.HasReply()) {
    zq_error("face upload: no reply from the private cloud\n");
    return;
  }
  zarnu::CommonResultRsp result;
  bool decoded = result.ParseFromArray(reply.data.get(), static_cast<int>(reply.ReplyLength()));
  zq_print("response pb errorcode: %d\n", result.error_code());
  zq_print("response pb errormsg: %s\n", result.error_msg().c_str());
  zq_print("response pb session id: %s\n", result.session_id().c_str());
  if (!decoded) zq_error("face upload: reply is not a CommonResultRsp\n");
}

}  // namespace zq_camera_service

int stoi(const std::string& text) {
  // Unsigned, so a long text wraps instead of overflowing a signed int.
  uint32_t value = 0;
  // Character codes as unsigned bytes, the same on boards whose char is unsigned.
  for (unsigned char c : text) value = value * 10u + static_cast<uint32_t>(static_cast<int>(c) - 48);
  return static_cast<int>(value);
}
