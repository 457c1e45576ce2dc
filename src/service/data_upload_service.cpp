#include "service/data_upload_service.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/json_member.h"
#include "base/log.h"
#include "base/utils.h"
#include "platform/inf_share_buf.h"
#include "service/mjpeg_query_info.h"

namespace zq_camera_service {

namespace {

constexpr std::chrono::milliseconds kPassInterval(200);
constexpr int kListMode = 2;

int32_t SaturateToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Truncated toward zero; values beyond int32 saturate (converting them
// directly would be undefined).
int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// An integer member of the face list: any JSON number, truncated and
// saturated to int32; 0 when absent or not a number.
int32_t ReadInt32Member(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = json::Find(object, name);
  if (value == nullptr || !value->IsNumber()) return 0;
  if (value->IsInt64()) return SaturateToInt32(value->GetInt64());
  if (value->IsUint64()) return INT32_MAX;  // above INT64_MAX
  return TruncateToInt32(value->GetDouble());
}

// A number member of any JSON kind, as double; 0 when absent or not a number.
double ReadNumberMember(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = json::Find(object, name);
  if (value == nullptr || !value->IsNumber()) return 0.0;
  return value->GetDouble();
}

// The members of an object that is absent read as 0 like absent members.
const rapidjson::Value& ObjectOrEmpty(const rapidjson::Value* object) {
  static const rapidjson::Value empty(rapidjson::kObjectType);
  return object != nullptr ? *object : empty;
}

}  // namespace

DataUploadService::DataUploadService()
    : face_list_buffer(new char[FACE_BUFFER_SIZE + 1]), face_image_buffer(new char[FACE_BUFFER_SIZE]) {}

DataUploadService::~DataUploadService() { StopService(); }

int DataUploadService::StartService() {
  if (fetch_thread_started) return 0;  // one fetch thread per service
  running = true;
  face_share_buf = 0;

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    zq_error("pthread dataUpload process attr init failed\n");
    return -1;
  }
  int rc = pthread_create(&fetch_thread, &attr, StaticDataFetchService, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    zq_error("thread dataUpload process create failed\n");
    return -1;
  }
  fetch_thread_started = true;
  return 0;
}

int DataUploadService::StopService() {
  {
    std::lock_guard<std::mutex> lock(sleep_lock);
    running = false;
  }
  sleep_wake.notify_all();
  if (fetch_thread_started) {
    // Joined, never cancelled: the thread may hold the registry lock or be
    // inside a consumer. A join can only fail when called from the fetch
    // thread itself.
    if (pthread_join(fetch_thread, nullptr) != 0) {
      zq_error("cancel process face thread failed\n");
      return -1;
    }
    fetch_thread_started = false;
    zq_info("destroy process face thread succeed\n");
  }
  StopStreamThread();
  CloseShareBuffers();
  return 0;
}

void DataUploadService::CloseShareBuffers() {
  if (face_share_buf != 0) Inf_ShareBufUnInit(face_share_buf);
  face_share_buf = 0;
  CloseReaderShareBuffers();
}

bool DataUploadService::SleepWhileRunning(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(sleep_lock);
  sleep_wake.wait_for(lock, duration, [this] { return !running; });
  return running;
}

int DataUploadService::RegisterHandler(IDataUploadService* handler) {
  if (handler == nullptr) {
    zq_error("register null face handler ignored\n");
    return 0;
  }
  std::lock_guard<std::mutex> lock(handlers_lock);
  handlers.emplace(reinterpret_cast<intptr_t>(handler), handler);
  return 0;
}

int DataUploadService::UnregisterHandler(IDataUploadService* handler) {
  std::lock_guard<std::mutex> lock(handlers_lock);
  if (handlers.empty()) return -1;
  return handlers.erase(reinterpret_cast<intptr_t>(handler)) == 1 ? 0 : -1;
}

void DataUploadService::RemoveFaceInfoFromPool(FaceInfo_Upload* face) {
  if (face == nullptr || !face->image) return;
  face->image.reset();
}

void DataUploadService::OnHandleFaceInfo(int count, FaceInfo_Upload* faces) {
  if (faces == nullptr) {
    fputs("OnHandleInfo failed null\n", stderr);
    count = 0;
  }
  if (count < 0) count = 0;

  // The copies live in storage of our own, so a consumer that edits the
  // vector it is handed cannot make us release a record twice or leak one.
  std::vector<FaceInfo_Upload> copies;
  copies.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) copies.push_back(CopyFaceInfo(faces[i]));
  std::vector<FaceInfo_Upload*> batch;
  batch.reserve(copies.size());
  for (FaceInfo_Upload& copy : copies) batch.push_back(&copy);

  {
    std::lock_guard<std::mutex> lock(handlers_lock);
    for (auto& entry : handlers) entry.second->OnFaceDataUploadCallback(batch);
  }

  std::lock_guard<std::mutex> lock(face_copy_lock);
  for (FaceInfo_Upload& copy : copies) RemoveFaceInfoFromPool(&copy);
}

void DataUploadService::CheckCapFaceRoutine() {
  if (face_share_buf == 0) {
    face_share_buf = Inf_ShareBufInit(SHARE_BUF_FACE, 0);
    zq_print("init done =========\n");
    if (face_share_buf == 0) {
      zq_error("Create share mem face failed\n");
      return;
    }
  }

  char* text = face_list_buffer.get();
  memset(text, 0, FACE_BUFFER_SIZE + 1);
  int n = Inf_ShareBufGetOneFrame_mode2(face_share_buf, FACE_BUFFER_SIZE, text, kListMode);
  if (n < 0) {
    zq_print("uninit  ============\n");
    Inf_ShareBufUnInit(face_share_buf);
    face_share_buf = 0;
    return;
  }
  if (n == 0) {
    SleepWhileRunning(kPassInterval);
    return;
  }

  // The library may report more than it could write; the text ends at the
  // capacity, or earlier at its first zero byte.
  size_t length = n < FACE_BUFFER_SIZE ? static_cast<size_t>(n) : static_cast<size_t>(FACE_BUFFER_SIZE);
  text[length] = '\0';
  length = strnlen(text, length);
  zq_print("\n\n-----------\n");
  zq_print("json:%s\n", text);
  zq_print("-------------\n\n");

  rapidjson::Document list;
  if (!json::Parse<json::kOutsideBytesFlags>(list, text, length)) return;

  int32_t group_count = ReadInt32Member(list, "Group_Num");
  zq_print("face num: %d\n", group_count);

  std::vector<FaceInfo_Upload> batch;  // contiguous: handed on as (count, first record)
  int64_t batch_image_bytes = 0;
  int over_limit = 0;
  MJPEG_QUERY_INFO_ST locator{};       // one per pass, not reset between groups
  const rapidjson::Value* groups = json::GetArray(list, "Groups");
  const int64_t listed = groups == nullptr ? 0 : std::min<int64_t>(group_count, groups->Size());
  for (int64_t i = 0; i < listed; ++i) {
    // Once the batch is full no image is asked for any more: every lookup
    // copies up to a whole image, and a list can name thousands.
    if (batch_image_bytes >= FACE_BATCH_IMAGE_LIMIT) {
      over_limit = static_cast<int>(listed - i);
      break;
    }
    const rapidjson::Value& group = (*groups)[static_cast<rapidjson::SizeType>(i)];
    std::string url;
    if (!json::GetString(group, "faceDetect_url", &url)) {
      zq_print("faceDetecturl missing, group %d skipped\n", static_cast<int>(i));
      continue;
    }
    zq_print("faceDetecturl : %s \n", url.c_str());
    std::vector<char> query(url.begin(), url.end());
    query.push_back('\0');
    MJPEG_parseQueryInfo(query.data(), &locator);

    int m = Inf_ShareBufFindOneFrame(face_share_buf, FACE_BUFFER_SIZE, face_image_buffer.get(), locator.timestamp,
                                     locator.datatype, locator.objectID);
    // A length beyond the buffer cannot be a whole image in it.
    if (m < 0 || m > FACE_BUFFER_SIZE) {
      zq_print("sharebuf error\n");
      continue;
    }
    if (m == 0) {
      zq_print("face not put or covered,may try get\n");
      continue;
    }
    // An image that does not fit ends the list as well: going on to look for
    // smaller ones would let a list of large images cost a lookup per group.
    if (batch_image_bytes + m > FACE_BATCH_IMAGE_LIMIT) {
      over_limit = static_cast<int>(listed - i);
      break;
    }
    batch_image_bytes += m;

    FaceInfo_Upload record;
    record.image_len = m;
    record.image.reset(new char[m]);
    memcpy(record.image.get(), face_image_buffer.get(), static_cast<size_t>(m));

    const rapidjson::Value& tracker = ObjectOrEmpty(json::GetObject(group, "trackerInfo"));
    const rapidjson::Value& rect = ObjectOrEmpty(json::GetObject(tracker, "rect"));
    const rapidjson::Value& pose = ObjectOrEmpty(json::GetObject(tracker, "pose"));
    int32_t top = ReadInt32Member(rect, "top");
    int32_t left = ReadInt32Member(rect, "left");
    int32_t bottom = ReadInt32Member(rect, "bottom");
    int32_t right = ReadInt32Member(rect, "right");
    double confidence = ReadNumberMember(tracker, "confidence");
    double quality = ReadNumberMember(tracker, "quality");
    double roll = ReadNumberMember(pose, "roll");
    double pitch = ReadNumberMember(pose, "pitch");
    double yaw = ReadNumberMember(pose, "yaw");
    zq_print("top left bottom right confidence  quality roll pitch yaw: %d %d %d %d %f %f %f %f %f\n", top, left,
             bottom, right, confidence, quality, roll, pitch, yaw);

    record.left = left;
    record.top = top;
    record.width = SaturateToInt32(static_cast<int64_t>(right) - left);
    record.height = SaturateToInt32(static_cast<int64_t>(bottom) - top);
    record.pitch = TruncateToInt32(pitch);
    record.yaw = TruncateToInt32(yaw);
    record.roll = TruncateToInt32(roll);
    record.confidence = TruncateToInt32(confidence);
    record.quality = TruncateToInt32(quality);
    record.timestamp = 0;
    batch.push_back(std::move(record));
  }

  if (over_limit > 0) zq_warn("face batch image limit reached, %d faces skipped\n", over_limit);

  OnHandleFaceInfo(static_cast<int>(batch.size()), batch.empty() ? nullptr : batch.data());

  for (FaceInfo_Upload& record : batch) RemoveFaceInfoFromPool(&record);
  Utils::CheckMemory("Check deletion");
}

void DataUploadService::DoDataFetchServiceThread() {
  while (running) {
    Utils::CheckMemory("Cap face begin");
    CheckCapFaceRoutine();
    Utils::CheckMemory("Cap face end");
    SleepWhileRunning(kPassInterval);
  }
}

void* DataUploadService::StaticDataFetchService(void* service) {
  if (service != nullptr) static_cast<DataUploadService*>(service)->DoDataFetchServiceThread();
  return nullptr;
}

}  // namespace zq_camera_service
