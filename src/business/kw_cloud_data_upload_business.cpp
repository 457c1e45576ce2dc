#include "business/kw_cloud_data_upload_business.h"

#include <cstdio>

#include "base/base64.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/secret_mask.h"
#include "base/utils.h"
#include "business/kw_cloud_bodies.h"
#include "service/auth_service.h"
#include "service/data_upload_service.h"
#include "service/net_helper.h"
#include "service/net_message.h"
#include "service/service_manager.h"

namespace zq_camera_service {

KwCloudDataUploadBusiness::~KwCloudDataUploadBusiness() { StopBusiness(); }

int KwCloudDataUploadBusiness::StartBusiness() {
  rapidjson::Document* config = nullptr;
  int rc = LoadBaseConfig(&config);
  if (rc != 0) return rc;
  config_url.clear();
  json::GetString(*config, "ConfigUrl", &config_url);
  camera_id.clear();
  json::GetString(*config, "CameraId", &camera_id);

  auto* capture = dynamic_cast<DataUploadService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_DATA_UPLOAD));
  if (capture != nullptr) {
    capture->RegisterHandler(this);
    registered = true;
  } else {
    zq_error("Data upload service not found\n");
  }

  if (post_thread_started) return 0;
  running = 1;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    zq_print("pthread dataUpload attr init failed\n");
    return -1;
  }
  int created = pthread_create(&post_thread, &attr, StaticPostThread, this);
  pthread_attr_destroy(&attr);
  if (created != 0) {
    zq_print("thread dataupload create failed\n");
    return -1;
  }
  post_thread_started = true;
  return 0;
}

int KwCloudDataUploadBusiness::StopBusiness() {
  if (registered) {
    auto* capture =
        dynamic_cast<DataUploadService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_DATA_UPLOAD));
    if (capture != nullptr) capture->UnregisterHandler(this);
    registered = false;
  }
  running = 0;
  if (!post_thread_started) return 0;
  // An empty picture wakes the thread from its wait; it is skipped, and the
  // loop then sees the stop.
  picture_queue.push_back(std::string());
  pthread_join(post_thread, nullptr);
  post_thread_started = false;
  picture_queue.clear();
  zq_print("destroy dataupload thread succeed\n");
  return 0;
}

int KwCloudDataUploadBusiness::DoTimeOutHandler(int) { return 0; }

void KwCloudDataUploadBusiness::OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>&) {}

void KwCloudDataUploadBusiness::OnCameraDataUploadCallback(int length, char* picture) {
  if (length < 0 || (picture == nullptr && length > 0)) {
    zq_error("KwCloudData picture ignored: length %d, bytes %s\n", length, picture == nullptr ? "null" : "given");
    return;
  }
  // An empty picture would only be skipped by the upload thread, and it
  // must not push a real one out of the bounded queue.
  if (length == 0) return;
  size_t dropped = picture_queue.push_back_bounded(std::string(picture, static_cast<size_t>(length)),
                                                   kMaxQueuedPictures);
  if (dropped > 0) zq_warn("KwCloudData picture queue full, dropped %zu oldest picture(s)\n", dropped);
}

void KwCloudDataUploadBusiness::SetActId(int id) {
  zq_info("KwCloud data set act id\n");
  act_id = id;
  auto* capture = dynamic_cast<DataUploadService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_DATA_UPLOAD));
  if (capture == nullptr) {
    zq_error("Data upload service not found\n");
    return;
  }
  zq_info("KwCloud data set cap camera flag\n");
  capture->camera_pic_requested = true;
}

std::string KwCloudDataUploadBusiness::ComposePostMessage(rapidjson::Document& header, std::string& picture_base64) {
  return kw_cloud::PictureBody(header, Utils::Str2Int(camera_id), act_id.load(), picture_base64);
}

void* KwCloudDataUploadBusiness::StaticPostThread(void* business) {
  if (business == nullptr) return nullptr;
  static_cast<KwCloudDataUploadBusiness*>(business)->PostThread();
  return nullptr;
}

void KwCloudDataUploadBusiness::PostThread() {
  while (running) {
    // Only this thread takes pictures out, so the queue stays non-empty from
    // the wait to the take; the picture in flight is out of the queue, where
    // the bounded append cannot drop it.
    picture_queue.wait([](size_t queued) { return queued > 0; });
    std::vector<std::string> taken = picture_queue.take_front(1);
    if (taken.empty() || taken[0].empty() || !running) continue;
    UploadPicture(taken[0]);
  }
}

void KwCloudDataUploadBusiness::UploadPicture(const std::string& picture) {
  auto* auth = dynamic_cast<AuthService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_AUTH));
  rapidjson::Document header;
  // Without a header the back end cannot take the picture. The thread goes
  // on with the next one: a header may be composable again by then.
  if (auth == nullptr || auth->GetMessageToCompose(header) != 0 || !header.IsObject()) {
    zq_error("KwCloudData upload: no common header, picture of %zu bytes dropped\n", picture.size());
    return;
  }
  std::string encoded =
      base64_encode(reinterpret_cast<const unsigned char*>(picture.data()), static_cast<unsigned int>(picture.size()));
  std::string body = ComposePostMessage(header, encoded);

  NetMessage request;
  if (!request.SetBody(body)) {
    zq_error("KwCloudData upload: body of %zu bytes too long, picture dropped\n", body.size());
    return;
  }
  request.method = "post";
  request.url = config_url + kPicturePath;
  request.header = "Content-Type: application/json";
  request.timeout = 5;
  NetMessage response;
  NetHelper::GetInstance()->SendSyncMessage(request, response);
  if (!response.HasReply()) {
    puts("KwCloudData upload busi response:null");
    zq_error("KwCloudData upload busi response:null\n");
    return;
  }
  // Whatever the back end echoes, the key stays out of the log; only as much
  // is masked as a line keeps.
  if (zq_log_enabled(3)) {
    std::string reply = MaskSecret(response.ReplyView(), auth->CloudKey(), kZqLogTextLimit);
    zq_info("KwCloudData upload busi response:\n%.*s\n", static_cast<int>(reply.size()), reply.data());
  }
}

}  // namespace zq_camera_service
