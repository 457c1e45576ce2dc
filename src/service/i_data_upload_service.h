// Consumer of what the capture service fetches from the camera's share buffers.
#pragma once

#include <vector>

#include "service/face_info_upload.h"

namespace zq_camera_service {

class IDataUploadService {
 public:
  // One batch of faces, on the capture service's fetch thread. The vector and
  // the records stay valid only until the call returns: a consumer copies
  // what it keeps and neither changes nor releases what it was handed.
  virtual void OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>& faces) = 0;
  // One camera picture (length and bytes), valid only during the call.
  virtual void OnCameraDataUploadCallback(int length, char* picture) = 0;

 protected:
  // Consumers are owned and destroyed as what they are, never through this interface.
  ~IDataUploadService() = default;
};

}  // namespace zq_camera_service
