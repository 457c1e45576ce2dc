// The bounded batch queue of the private-cloud upload.
#include "business/face_batch_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using zq_camera_service::FaceBatch;
using zq_camera_service::FaceBatchQueue;
using zq_camera_service::FaceInfo_Upload;

// A batch of `faces` records marked with `tag` (in `left`) holding `bytes` image bytes in all.
FaceBatch Batch(int tag, int faces, int64_t bytes) {
  FaceBatch batch;
  for (int i = 0; i < faces; ++i) {
    FaceInfo_Upload face;
    face.left = tag;
    batch.faces.push_back(std::move(face));
  }
  batch.image_bytes = bytes;
  return batch;
}

struct Push {
  int tag;
  int faces;
  int64_t bytes;
  size_t dropped_faces;
};

struct Case {
  const char* name;
  size_t max_batches;
  int64_t max_bytes;
  std::vector<Push> pushes;
  std::vector<int> left;  // tags left in the queue, oldest first
};

TEST(FaceBatchQueueTest, DropsTheOldestWhenFull) {
  const Case cases[] = {
      {"within bounds", 3, 100, {{1, 1, 10, 0}, {2, 2, 10, 0}, {3, 0, 0, 0}}, {1, 2, 3}},
      {"batch count bound", 2, 100, {{1, 3, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 3}, {4, 2, 1, 1}}, {3, 4}},
      {"byte bound drops as many as needed", 10, 100, {{1, 1, 60, 0}, {2, 2, 30, 0}, {3, 4, 50, 1}, {4, 1, 90, 6}},
       {4}},
      {"exactly at the byte bound fits", 10, 100, {{1, 1, 40, 0}, {2, 1, 60, 0}}, {1, 2}},
      {"a batch larger than the bound alone is dropped itself", 10, 100, {{1, 1, 50, 0}, {2, 5, 101, 5}}, {1}},
  };
  for (const Case& c : cases) {
    FaceBatchQueue queue(c.max_batches, c.max_bytes);
    for (const Push& push : c.pushes) {
      EXPECT_EQ(push.dropped_faces, queue.Push(Batch(push.tag, push.faces, push.bytes)))
          << c.name << ", push " << push.tag;
    }
    int64_t expected_bytes = 0;
    for (const Push& push : c.pushes) {
      for (int tag : c.left) {
        if (tag == push.tag) expected_bytes += push.bytes;
      }
    }
    EXPECT_EQ(expected_bytes, queue.image_bytes()) << c.name;
    std::vector<int> left;
    while (queue.size() > 0) {
      FaceBatch batch;
      ASSERT_TRUE(queue.Take(&batch));
      // Empty batches carry no tag; the table names their push anyway.
      int tag = batch.faces.empty() ? 0 : batch.faces.front().left;
      if (tag == 0) {
        for (const Push& push : c.pushes) {
          if (push.faces == 0) tag = push.tag;
        }
      }
      left.push_back(tag);
    }
    EXPECT_EQ(c.left, left) << c.name;
    EXPECT_EQ(0, queue.image_bytes()) << c.name;
  }
}

TEST(FaceBatchQueueTest, TakeWaitsForAPushAndStopReleasesWaiters) {
  FaceBatchQueue queue(4, 100);
  auto taken = std::async(std::launch::async, [&] {
    FaceBatch batch;
    bool ok = queue.Take(&batch);
    return ok && batch.faces.size() == 2 && batch.faces[0].left == 9;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  queue.Push(Batch(9, 2, 5));
  ASSERT_EQ(std::future_status::ready, taken.wait_for(std::chrono::seconds(5)));
  EXPECT_TRUE(taken.get());

  auto stopped = std::async(std::launch::async, [&] {
    FaceBatch batch;
    return queue.Take(&batch);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  queue.Stop();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(5)));
  EXPECT_FALSE(stopped.get());
  queue.Push(Batch(1, 1, 1));
  FaceBatch batch;
  EXPECT_FALSE(queue.Take(&batch)) << "a stopped queue hands out nothing";
}

}  // namespace
