#include "business/face_batch_queue.h"

namespace zq_camera_service {

FaceBatchQueue::FaceBatchQueue(size_t max_batches, int64_t max_image_bytes)
    : max_batches(max_batches), max_image_bytes(max_image_bytes) {}

size_t FaceBatchQueue::Push(FaceBatch batch) {
  size_t dropped_faces = 0;
  // Released outside the lock: freeing megabytes of images need not hold up the consumer.
  std::vector<FaceBatch> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (batch.image_bytes > max_image_bytes || max_batches == 0) {
      dropped_faces = batch.faces.size();
      dropped.push_back(std::move(batch));
    } else {
      while (!batches.empty() &&
             (batches.size() + 1 > max_batches || queued_image_bytes + batch.image_bytes > max_image_bytes)) {
        dropped_faces += batches.front().faces.size();
        queued_image_bytes -= batches.front().image_bytes;
        dropped.push_back(std::move(batches.front()));
        batches.pop_front();
      }
      queued_image_bytes += batch.image_bytes;
      batches.push_back(std::move(batch));
    }
  }
  cond.notify_one();
  return dropped_faces;
}

bool FaceBatchQueue::Take(FaceBatch* out) {
  std::unique_lock<std::mutex> lock(mutex);
  cond.wait(lock, [this] { return stopped || !batches.empty(); });
  if (stopped) return false;
  *out = std::move(batches.front());
  batches.pop_front();
  queued_image_bytes -= out->image_bytes;
  return true;
}

void FaceBatchQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
  }
  cond.notify_all();
}

size_t FaceBatchQueue::size() {
  std::lock_guard<std::mutex> lock(mutex);
  return batches.size();
}

int64_t FaceBatchQueue::image_bytes() {
  std::lock_guard<std::mutex> lock(mutex);
  return queued_image_bytes;
}

}  // namespace zq_camera_service
