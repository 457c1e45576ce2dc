// The capture service's camera-picture reader (share buffer 34) and H.264
// stream reader (share buffer 35). Nothing in the system runs them; they
// stand ready for a caller.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "base/log.h"
#include "platform/inf_share_buf.h"
#include "service/data_upload_service.h"

namespace zq_camera_service {

namespace {

// What one fetch asks of the library: the header and the largest frame the
// readers accept.
constexpr int kFrameFetchCapacity = static_cast<int>(kShareBufFrameHeaderSize + kMaxShareBufFrameLength);
// Reads per call before a reader gives up on finding a new frame.
constexpr int kFrameAttempts = 3;

// Frame times of the last picture handed out and of the last stream frame
// queued, process-wide.
std::atomic<uint64_t> last_camera_pic_time{0};
std::atomic<uint64_t> last_stream_frame_time{0};

}  // namespace

void DataUploadService::ResetFrameTimesForTest() {
  last_camera_pic_time = 0;
  last_stream_frame_time = 0;
}

bool DataUploadService::FetchFrame(FrameRead read, int handle, char* frame, ShareBufFrameHeader* header) {
  // A read that writes nothing leaves a header that says "no frame".
  memset(frame, 0, kShareBufFrameHeaderSize);
  const int result = read(handle, kFrameFetchCapacity, frame);
  *header = DecodeShareBufFrameHeader(frame);
  if (result < 0) return false;
  // A positive result is the frame's size, cut to the capacity when it is
  // larger; a library that answers 0 either wrote nothing (the header is
  // still zero) or filled the buffer without saying how far, so nothing
  // beyond the buffer is trusted then.
  const size_t fetched = result > 0 ? std::min<size_t>(static_cast<size_t>(result), kFrameFetchCapacity)
                                    : static_cast<size_t>(kFrameFetchCapacity);
  if (fetched < kShareBufFrameHeaderSize) return false;
  // frame_len comes from shared memory: a frame is whole only when all of
  // its bytes were fetched.
  return header->frame_len != 0 && header->frame_len <= kMaxShareBufFrameLength &&
         header->frame_len <= fetched - kShareBufFrameHeaderSize;
}

void DataUploadService::CheckCapCameraPicRoutine() {
  std::lock_guard<std::mutex> lock(camera_pic_lock);
  if (camera_pic_share_buf == 0) {
    camera_pic_share_buf = Inf_ShareBufInit(SHARE_BUF_CAMERA_PIC, 0);
    if (camera_pic_share_buf == 0) {
      zq_error("Failed to create camera instance\n");
      return;
    }
  }
  zq_info("Camera rountine %d %d\n", camera_pic_requested.load() ? 1 : 0, camera_pic_share_buf);
  // Taken rather than read: a request raised while this one is being served
  // stays pending for the next call instead of being cleared unserved.
  if (!camera_pic_requested.exchange(false)) return;

  if (!camera_frame_buffer) camera_frame_buffer.reset(new char[kFrameFetchCapacity]);
  char* frame = camera_frame_buffer.get();
  ShareBufFrameHeader header;
  bool found = false;
  for (int attempt = 0; attempt < kFrameAttempts && !found; ++attempt) {
    const bool whole = FetchFrame(Inf_ShareBufGetCurFrame, camera_pic_share_buf, frame, &header);
    zq_info("camera tick %lld %lld %d\n", static_cast<long long>(header.frame_time),
            static_cast<long long>(last_camera_pic_time.load()), static_cast<int>(header.frame_len));
    found = whole && header.frame_time != last_camera_pic_time.load();
  }
  if (!found) {
    zq_error("Not camera pic found\n");
    camera_pic_requested = true;  // still wanted
    return;
  }

  last_camera_pic_time = header.frame_time;
  const size_t length = header.frame_len;
  if (camera_pic_capacity < length) {
    camera_pic_buffer.reset(new char[length]);
    camera_pic_capacity = length;
  } else {
    memset(camera_pic_buffer.get(), 0, length);
  }
  memcpy(camera_pic_buffer.get(), frame + kShareBufFrameHeaderSize, length);
  zq_info("Found camera pic!!!!\n");

  std::lock_guard<std::mutex> handlers_guard(handlers_lock);
  for (auto& entry : handlers) entry.second->OnCameraDataUploadCallback(static_cast<int>(length), camera_pic_buffer.get());
}

void DataUploadService::CheckCapCameraStreamRoutine() {
  std::lock_guard<std::mutex> lock(stream_control_lock);
  const bool requested = stream_requested.load();
  if (requested && !stream_thread_running) {
    ResetH264Stream();
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
      zq_error("Failed to create thread attr\n");
      return;
    }
    const int rc = pthread_create(&stream_thread, &attr, StaticCapStreamThread, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      zq_error("Failed to create thread\n");
      return;
    }
    stream_thread_running = true;
  } else if (!requested && stream_thread_running) {
    JoinStreamThreadLocked();
  }
}

void DataUploadService::StopStreamThread() {
  std::lock_guard<std::mutex> lock(stream_control_lock);
  if (stream_thread_running) JoinStreamThreadLocked();
}

void DataUploadService::JoinStreamThreadLocked() {
  // The thread only opens the stream buffer and ends: it is joined, never
  // cancelled (it may hold stream_lock).
  if (pthread_join(stream_thread, nullptr) != 0) zq_error("Join stream thread failed\n");
  stream_thread_running = false;
  ResetH264Stream();
}

void* DataUploadService::StaticCapStreamThread(void* service) {
  if (service != nullptr) static_cast<DataUploadService*>(service)->CapStreamThread();
  return nullptr;
}

void DataUploadService::CapStreamThread() {
  std::lock_guard<std::mutex> lock(stream_lock);
  if (stream_share_buf != 0) return;
  stream_share_buf = Inf_ShareBufInit(SHARE_BUF_H264, 0);
  if (stream_share_buf == 0) zq_error("Failed to create camera stream instance\n");
}

int DataUploadService::ResetH264Stream() {
  std::lock_guard<std::mutex> lock(stream_lock);
  h264_queue.clear();
  h264_read_offset = 0;
  h264_queued_bytes = 0;
  h264_key_frame_seen = false;
  return 0;
}

bool DataUploadService::QueueNextStreamFrame() {
  if (!stream_frame_buffer) stream_frame_buffer.reset(new char[kFrameFetchCapacity]);
  char* frame = stream_frame_buffer.get();
  // Every read that queues nothing (no new frame, a frame cut short, or a
  // frame before the first key frame) counts towards the limit.
  for (int attempt = 0; attempt < kFrameAttempts; ++attempt) {
    ShareBufFrameHeader header;
    const bool whole = FetchFrame(Inf_ShareBufGetOneFrame, stream_share_buf, frame, &header);
    zq_info("camera tick %lld %lld %d\n", static_cast<long long>(header.frame_time),
            static_cast<long long>(last_stream_frame_time.load()), static_cast<int>(header.frame_len));
    if (!whole || header.frame_time == last_stream_frame_time.load()) continue;
    // A decoder can only start at a key frame.
    if (header.key_frame != 1 && !h264_key_frame_seen) continue;
    h264_key_frame_seen = true;
    last_stream_frame_time = header.frame_time;
    const size_t dropped = DropOldestH264Frames(header.frame_len);
    if (dropped > 0) zq_warn("h264 queue full, %zu oldest frames dropped\n", dropped);
    h264_queued_bytes += header.frame_len;
    h264_queue.push_back(std::string(frame + kShareBufFrameHeaderSize, header.frame_len));
    return true;
  }
  return false;
}

size_t DataUploadService::DropOldestH264Frames(size_t incoming) {
  // A frame is at most kMaxShareBufFrameLength, within the byte bound, so
  // the new frame itself always fits once the older ones are gone.
  size_t dropped = 0;
  while (!h264_queue.empty() &&
         (h264_queue.size() >= kMaxQueuedH264Frames || h264_queued_bytes + incoming > kMaxQueuedH264Bytes)) {
    PopH264Head();
    ++dropped;
  }
  return dropped;
}

// Only called with stream_lock held and the queue not empty: nothing else
// takes elements out, so front() and pop_front() never wait.
void DataUploadService::PopH264Head() {
  h264_queued_bytes -= h264_queue.front().size();
  h264_read_offset = 0;
  h264_queue.pop_front();
}

int DataUploadService::ReadCapH264Stream(void* buffer, int len) {
  std::lock_guard<std::mutex> lock(stream_lock);
  if (stream_share_buf == 0 || !stream_requested.load()) return -1;
  if (len < 0 || (buffer == nullptr && len > 0)) return -1;
  QueueNextStreamFrame();

  // Only this function takes elements out, under stream_lock, so the head
  // seen after the emptiness check is still there.
  char* out = static_cast<char*>(buffer);
  const size_t wanted = static_cast<size_t>(len);
  size_t copied = 0;
  while (copied < wanted && !h264_queue.empty()) {
    const std::string& head = h264_queue.front();
    const size_t rest = head.size() - h264_read_offset;
    if (wanted - copied <= rest) {
      memcpy(out + copied, head.data() + h264_read_offset, wanted - copied);
      h264_read_offset += wanted - copied;
      copied = wanted;
    } else {
      memcpy(out + copied, head.data() + h264_read_offset, rest);
      copied += rest;
      PopH264Head();
    }
  }
  return static_cast<int>(copied);
}

void DataUploadService::CloseReaderShareBuffers() {
  {
    std::lock_guard<std::mutex> lock(camera_pic_lock);
    if (camera_pic_share_buf != 0) Inf_ShareBufUnInit(camera_pic_share_buf);
    camera_pic_share_buf = 0;
    camera_pic_buffer.reset();
    camera_pic_capacity = 0;
  }
  std::lock_guard<std::mutex> lock(stream_lock);
  if (stream_share_buf != 0) Inf_ShareBufUnInit(stream_share_buf);
  stream_share_buf = 0;
}

}  // namespace zq_camera_service
