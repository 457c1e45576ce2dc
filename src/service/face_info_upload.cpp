#include "service/face_info_upload.h"

#include <cstring>

namespace zq_camera_service {

FaceInfo_Upload CopyFaceInfo(const FaceInfo_Upload& source) {
  FaceInfo_Upload copy;
  copy.image_len = source.image_len;
  if (source.image && source.image_len > 0) {
    copy.image.reset(new char[source.image_len]);
    memcpy(copy.image.get(), source.image.get(), static_cast<size_t>(source.image_len));
  }
  copy.left = source.left;
  copy.top = source.top;
  copy.width = source.width;
  copy.height = source.height;
  copy.pitch = source.pitch;
  copy.yaw = source.yaw;
  copy.roll = source.roll;
  copy.confidence = source.confidence;
  copy.quality = source.quality;
  copy.timestamp = source.timestamp;
  return copy;
}

}  // namespace zq_camera_service
