// The 40-byte header the camera library puts in front of every frame of the
// picture (34) and H.264 (35) share buffers, little-endian:
//   offset 0, 8 bytes: frame_time (unsigned), a frame is new when it differs
//   offset 8, 4 bytes: frame_len, bytes of frame data after the header; 0 = no frame
//   offset 24, 1 byte: key_frame, 1 for an H.264 key frame
// The other bytes are not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zq_camera_service {

constexpr size_t kShareBufFrameHeaderSize = 40;
// Largest frame the readers accept; frame_len comes from shared memory and
// is not trusted beyond it.
constexpr uint32_t kMaxShareBufFrameLength = 8 * 1024 * 1024;

struct ShareBufFrameHeader {
  uint64_t frame_time = 0;
  uint32_t frame_len = 0;
  uint8_t key_frame = 0;
};

// Decoded field by field (the bytes need no alignment); the device and the
// host are both little-endian.
inline ShareBufFrameHeader DecodeShareBufFrameHeader(const char* bytes) {
  ShareBufFrameHeader header;
  memcpy(&header.frame_time, bytes, sizeof header.frame_time);
  memcpy(&header.frame_len, bytes + 8, sizeof header.frame_len);
  memcpy(&header.key_frame, bytes + 24, sizeof header.key_frame);
  return header;
}

}  // namespace zq_camera_service
