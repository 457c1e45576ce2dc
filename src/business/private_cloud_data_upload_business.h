// Business 2: the end of the face road. Keeps its own copy of every face
// batch the capture service hands it and posts each batch once, from its own
// upload thread, to the private cloud as a signed zarnu::FaceDetectReq.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "business/base_business.h"
#include "business/face_batch_queue.h"
#include "service/data_upload_service.h"
#include "service/i_data_upload_service.h"

namespace zq_camera_service {

class PrivateCloudDataUploadBusiness : public BaseBusiness, private IDataUploadService {
 public:
  // What the business reaches outside itself. The process uses the defaults:
  // the authentication service's signed header, the capture service of the
  // service manager and the wall clock; tests put their own in.
  struct Wiring {
    std::function<int(rapidjson::Document&)> compose_header;
    std::function<DataUploadService*()> capture_service;
    std::function<int64_t()> wall_seconds;
  };

  static constexpr size_t kMaxQueuedBatches = 64;
  static constexpr int64_t kMaxQueuedImageBytes = 16 * 1048576;
  static constexpr int kRequestTimeoutSeconds = 5;

  PrivateCloudDataUploadBusiness();
  explicit PrivateCloudDataUploadBusiness(Wiring wiring);
  ~PrivateCloudDataUploadBusiness() override;
  PrivateCloudDataUploadBusiness(const PrivateCloudDataUploadBusiness&) = delete;
  PrivateCloudDataUploadBusiness& operator=(const PrivateCloudDataUploadBusiness&) = delete;

  // 0; the configuration error code when the base configuration is missing;
  // -1 when the upload thread cannot be started.
  int StartBusiness() override;
  // Unregisters, stops and joins the upload thread; 0.
  int StopBusiness() override;
  int DoTimeOutHandler(int) override { return 0; }

  void PostHandler();
  static void* StaticPostHandler(void* business);

  size_t QueuedBatches() { return face_queue.size(); }

 private:
  void OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>& faces) override;
  void OnCameraDataUploadCallback(int, char*) override {}

  // A fresh signed header; false while none can be composed (or it is not an object).
  bool ComposeHeader(rapidjson::Document& header);
  void PostBatch(const FaceBatch& batch, const rapidjson::Document& header);
  bool SleepWhileRunning(std::chrono::milliseconds duration);

  Wiring wiring;
  std::atomic<bool> running{false};
  FaceBatchQueue face_queue{kMaxQueuedBatches, kMaxQueuedImageBytes};
  pthread_t post_thread{};
  bool post_thread_started = false;
  std::mutex sleep_lock;
  std::condition_variable sleep_wake;
  DataUploadService* registered_with = nullptr;

  std::string pic_upload_url;
  int32_t camera_id = 0;
  int64_t max_batch_age = 5;
};

}  // namespace zq_camera_service

// Decimal text to int the plain way: from 0, each character times ten plus
// its code minus '0'; no sign, no check of the characters, "" gives 0. Kept
// for callers that want exactly that; the business itself uses Utils::Str2Int.
// Arithmetic wraps modulo 2^32 rather than overflowing.
int stoi(const std::string& text);
