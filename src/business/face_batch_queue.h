// The private-cloud upload's queue of face batches: a FIFO bounded in batches
// and in image bytes, dropping the oldest batches when full.
//
// Not a SharedQueue: dropping from the producer's side needs a consumer that
// owns what it took, so Take() moves the head out instead of handing out a
// reference to it. A batch taken is outside the queue and can no longer be
// dropped by a push.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "service/face_info_upload.h"

namespace zq_camera_service {

struct FaceBatch {
  std::vector<FaceInfo_Upload> faces;
  int64_t image_bytes = 0;

  FaceBatch() = default;
  FaceBatch(FaceBatch&&) = default;
  FaceBatch& operator=(FaceBatch&&) = default;
};

class FaceBatchQueue {
 public:
  FaceBatchQueue(size_t max_batches, int64_t max_image_bytes);
  FaceBatchQueue(const FaceBatchQueue&) = delete;
  FaceBatchQueue& operator=(const FaceBatchQueue&) = delete;

  // Appends the batch, first dropping the oldest batches until it fits (a
  // batch that cannot fit even alone is dropped itself). The number of faces
  // dropped; 0 when nothing was.
  size_t Push(FaceBatch batch);
  // Waits for the head and moves it out; false once Stop() was called.
  bool Take(FaceBatch* out);
  // Wakes every waiter; Take() refuses from then on.
  void Stop();

  size_t size();
  int64_t image_bytes();

 private:
  const size_t max_batches;
  const int64_t max_image_bytes;
  std::mutex mutex;
  std::condition_variable cond;
  std::deque<FaceBatch> batches;
  int64_t queued_image_bytes = 0;
  bool stopped = false;
};

}  // namespace zq_camera_service
