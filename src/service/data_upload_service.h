// Service 2: fetches the newest face list and its face images from the
// camera's share buffer 40 every 200 ms and hands each batch to every
// registered consumer, synchronously on its own fetch thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "service/base_service.h"
#include "service/face_info_upload.h"
#include "service/i_data_upload_service.h"

namespace zq_camera_service {

constexpr int SHARE_BUF_FACE = 40;
constexpr int SHARE_BUF_CAMERA_PIC = 34;
constexpr int SHARE_BUF_H264 = 35;
constexpr int FACE_BUFFER_SIZE = 1048576;
// Image bytes one batch may hold. A face list can name thousands of groups;
// without a bound one list could make the pass hold gigabytes of images.
constexpr int64_t FACE_BATCH_IMAGE_LIMIT = 16 * 1048576;

class DataUploadService : public BaseService {
 public:
  DataUploadService();
  ~DataUploadService() override;
  DataUploadService(const DataUploadService&) = delete;
  DataUploadService& operator=(const DataUploadService&) = delete;

  // Starts the fetch thread; 0, or -1 when it cannot be started.
  int StartService() override;
  // Stops and joins the fetch thread and closes the share buffers; 0.
  int StopService() override;

  // Adds a consumer (once); always 0.
  int RegisterHandler(IDataUploadService* handler);
  // 0, or -1 when the consumer is not registered.
  int UnregisterHandler(IDataUploadService* handler);
  // Hands one copy of `count` records stored one after another from `faces`
  // to every consumer in registry order, then releases the copy.
  void OnHandleFaceInfo(int count, FaceInfo_Upload* faces);
  // Releases the image bytes of one record (not the record itself).
  void RemoveFaceInfoFromPool(FaceInfo_Upload* face);
  // One pass of the face fetch.
  void CheckCapFaceRoutine();
  void DoDataFetchServiceThread();
  static void* StaticDataFetchService(void* service);

  // Raised by the picture upload when it wants a camera picture; served by
  // the picture reader.
  std::atomic<bool> camera_pic_requested{false};
  std::atomic<bool> stream_requested{false};

 private:
  // Sleeps `duration` unless a stop comes first; false once stopped.
  bool SleepWhileRunning(std::chrono::milliseconds duration);
  void CloseShareBuffers();

  int face_share_buf = 0;
  int camera_pic_share_buf = 0;
  int stream_share_buf = 0;
  std::atomic<bool> running{false};

  std::mutex face_copy_lock;
  // One lock for registration and the whole dispatch: the fetch thread runs
  // before the consumers register, so both meet at start-up.
  std::mutex handlers_lock;
  std::map<intptr_t, IDataUploadService*> handlers;

  pthread_t fetch_thread{};
  bool fetch_thread_started = false;
  std::mutex sleep_lock;
  std::condition_variable sleep_wake;

  // Working buffers of a pass, on the heap (1 MiB each). The list buffer has
  // one byte more than the capacity given to the library, so a list that
  // fills the whole capacity can still be terminated.
  std::unique_ptr<char[]> face_list_buffer;
  std::unique_ptr<char[]> face_image_buffer;
};

}  // namespace zq_camera_service
