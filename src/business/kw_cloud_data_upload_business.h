// Business 1: uploads camera pictures to the KwCloud back end on request. A
// heartbeat reply asks for a picture (SetActId); the capture service hands
// pictures over (OnCameraDataUploadCallback); the upload thread posts each one
// in Base64 with the common header, the camera id and the act id.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "base/shared_queue.h"
#include "business/base_business.h"
#include "service/i_data_upload_service.h"

namespace zq_camera_service {

class KwCloudDataUploadBusiness : public BaseBusiness, private IDataUploadService {
 public:
  static constexpr const char* kPicturePath = "/upload/CatchCameraPic";
  // Pictures waiting for upload; a camera that hands pictures over faster
  // than the back end takes them costs the oldest waiting ones, not memory.
  static constexpr size_t kMaxQueuedPictures = 8;

  KwCloudDataUploadBusiness() = default;
  ~KwCloudDataUploadBusiness() override;
  KwCloudDataUploadBusiness(const KwCloudDataUploadBusiness&) = delete;
  KwCloudDataUploadBusiness& operator=(const KwCloudDataUploadBusiness&) = delete;

  // Reads "ConfigUrl" and "CameraId", registers with the capture service and
  // starts the upload thread; 0, -1, or the configuration manager's code.
  int StartBusiness() override;
  // Unregisters, ends the upload thread after the picture in flight and joins
  // it; 0. Pictures still waiting are dropped.
  int StopBusiness() override;
  // The business has no timers.
  int DoTimeOutHandler(int timer_id) override;

  // Faces are not uploaded here.
  void OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>& faces) override;
  // Queues a copy of the picture (any bytes, NULs included) for upload.
  void OnCameraDataUploadCallback(int length, char* picture) override;

  // Keeps the act id of a picture request and raises the capture service's
  // picture request.
  void SetActId(int id);
  int ActId() const { return act_id.load(); }

  // The picture body: the header's members, "CameraId", "ActId", "Picture".
  std::string ComposePostMessage(rapidjson::Document& header, std::string& picture_base64);

  // The upload loop; returns when the business stops.
  void PostThread();
  static void* StaticPostThread(void* business);

  const std::string& ConfigUrl() const { return config_url; }
  const std::string& CameraId() const { return camera_id; }
  size_t QueuedPictures() { return picture_queue.size(); }

 private:
  // Posts one picture; the reply is only logged.
  void UploadPicture(const std::string& picture);

  std::atomic<uint8_t> running{0};
  // Only the upload thread takes pictures out (take_front), so the bounded
  // append may drop the oldest waiting one while another is in flight.
  SharedQueue<std::string> picture_queue;
  pthread_t post_thread{};
  bool post_thread_started = false;
  bool registered = false;
  std::atomic<int32_t> act_id{0};
  std::string config_url;
  std::string camera_id;
};

}  // namespace zq_camera_service
