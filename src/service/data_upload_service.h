// Service 2: fetches the newest face list and its face images from the
// camera's share buffer 40 every 200 ms and hands each batch to every
// registered consumer, synchronously on its own fetch thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/shared_queue.h"
#include "service/base_service.h"
#include "service/face_info_upload.h"
#include "service/i_data_upload_service.h"
#include "service/share_buf_frame_header.h"

namespace zq_camera_service {

constexpr int SHARE_BUF_FACE = 40;
constexpr int SHARE_BUF_CAMERA_PIC = 34;
constexpr int SHARE_BUF_H264 = 35;
constexpr int FACE_BUFFER_SIZE = 1048576;
// Image bytes one batch may hold. A face list can name thousands of groups;
// without a bound one list could make the pass hold gigabytes of images. The
// pass asks for no further image once the batch is full or an image does not
// fit, and drops the rest of the list.
constexpr int64_t FACE_BATCH_IMAGE_LIMIT = 16 * 1048576;

// What the H.264 reader keeps queued for a caller that reads less than the
// stream brings: past either bound the oldest frames are dropped.
constexpr size_t kMaxQueuedH264Frames = 64;
constexpr size_t kMaxQueuedH264Bytes = 16 * 1048576;
static_assert(kMaxShareBufFrameLength <= kMaxQueuedH264Bytes, "the newest frame always fits");

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

  // Camera picture (buffer 34) and H.264 stream (buffer 35) readers; no pass
  // runs them (data_upload_service_readers.cpp).
  //
  // Serves one pending picture request: the newest picture, when it is new,
  // goes to every consumer's OnCameraDataUploadCallback.
  void CheckCapCameraPicRoutine();
  // Starts or stops the stream thread to match stream_requested.
  void CheckCapCameraStreamRoutine();
  void CapStreamThread();
  static void* StaticCapStreamThread(void* service);
  // Empties the stream state; 0.
  int ResetH264Stream();
  // Queues the next stream frame (if a new one comes within three reads) and
  // copies up to `len` queued bytes into `buffer`; the number copied, or -1
  // when the stream is not open or not requested.
  int ReadCapH264Stream(void* buffer, int len);
  // The frame times of the last picture handed out and the last stream frame
  // queued are process-wide; tests start them from 0 again.
  static void ResetFrameTimesForTest();

  // Raised by the picture upload when it wants a camera picture; served by
  // the picture reader.
  std::atomic<bool> camera_pic_requested{false};
  std::atomic<bool> stream_requested{false};

 private:
  // Fetches one frame (header and data) with `read` into `frame`, which holds
  // the header and kMaxShareBufFrameLength bytes; true and the header when it
  // holds a frame whose whole data was fetched.
  using FrameRead = int (*)(int handle, int capacity, char* buffer);
  static bool FetchFrame(FrameRead read, int handle, char* frame, ShareBufFrameHeader* header);
  bool QueueNextStreamFrame();
  // Makes room for one more frame of `incoming` bytes within the queue's
  // bounds, oldest first; the number of frames dropped.
  size_t DropOldestH264Frames(size_t incoming);
  void PopH264Head();
  void StopStreamThread();
  void JoinStreamThreadLocked();
  void CloseReaderShareBuffers();
  // Sleeps `duration` unless a stop comes first; false once stopped.
  bool SleepWhileRunning(std::chrono::milliseconds duration);
  void CloseShareBuffers();

  int face_share_buf = 0;
  int camera_pic_share_buf = 0;  // guarded by camera_pic_lock
  int stream_share_buf = 0;      // guarded by stream_lock
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

  // Picture reader: the lock spans a whole routine, consumers included, so
  // the picture stays valid while they look at it.
  std::mutex camera_pic_lock;
  std::unique_ptr<char[]> camera_pic_buffer;  // the last picture handed out
  size_t camera_pic_capacity = 0;
  std::unique_ptr<char[]> camera_frame_buffer;  // header and picture as fetched, made on first use

  // Stream reader. stream_control_lock spans starting and stopping the
  // thread; stream_lock a whole read and a whole reset (taken after
  // stream_control_lock when both are held).
  std::mutex stream_control_lock;
  bool stream_thread_running = false;
  pthread_t stream_thread{};
  std::mutex stream_lock;
  SharedQueue<std::string> h264_queue;  // one element per frame, oldest first
  size_t h264_read_offset = 0;          // bytes of the head element already copied out
  size_t h264_queued_bytes = 0;         // bytes of every queued element
  bool h264_key_frame_seen = false;
  std::unique_ptr<char[]> stream_frame_buffer;  // header and frame as fetched, made on first use
};

}  // namespace zq_camera_service
