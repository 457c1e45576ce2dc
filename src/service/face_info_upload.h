// One captured face as it travels from the capture service to its consumers.
#pragma once

#include <cstdint>
#include <memory>

namespace zq_camera_service {

struct FaceInfo_Upload {
  int32_t image_len = 0;
  std::unique_ptr<char[]> image;  // image_len bytes exactly as the camera library gave them
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;
  int32_t yaw = 0;
  int32_t roll = 0;
  int32_t confidence = 0;
  int32_t quality = 0;
  int64_t timestamp = 0;  // Unix seconds at which a consumer queued its copy; 0 before

  FaceInfo_Upload() = default;
  FaceInfo_Upload(FaceInfo_Upload&&) = default;
  FaceInfo_Upload& operator=(FaceInfo_Upload&&) = default;
  // Records own their image: copies are made on purpose, with CopyFaceInfo.
  FaceInfo_Upload(const FaceInfo_Upload&) = delete;
  FaceInfo_Upload& operator=(const FaceInfo_Upload&) = delete;
};

// Every field of `source` and a copy of its image bytes in a new array; no
// array when the source has none or its length is not positive (image_len is
// copied all the same).
FaceInfo_Upload CopyFaceInfo(const FaceInfo_Upload& source);

}  // namespace zq_camera_service
