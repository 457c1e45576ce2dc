// One frame of the local link to the camera software: a 40-byte header of
// little-endian 32-bit words followed by a JSON body.
//
//   offset  0  header_size  always 40
//   offset  4  body_size    length of the body
//   offset  8  body_type    1 = JSON text, the only type accepted
//   offset 12  three words, 1 in every frame sent, not examined on receipt
//   offset 24  16 reserved bytes, zero in every frame sent
//   offset 40  the body, no terminating NUL
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zq_camera_service {

constexpr int kIpcHeaderSize = 40;
constexpr int32_t kIpcBodyTypeJson = 1;
// A frame travels in one 1 MiB block of the link, so it is never longer.
constexpr int kIpcMaxFrameSize = 1048576;

struct IpcFrameHeader {
  int32_t header_size = kIpcHeaderSize;
  int32_t body_size = 0;
  int32_t body_type = kIpcBodyTypeJson;
  int32_t words[3] = {1, 1, 1};
  unsigned char reserved[16] = {};
};

// Writes the header as its 40 wire bytes.
void EncodeIpcFrameHeader(const IpcFrameHeader& header, char* out);
// Reads the header from the first 40 of `count` bytes; false when fewer.
bool DecodeIpcFrameHeader(const char* raw, size_t count, IpcFrameHeader* header);

class IpcMessage {
 public:
  IpcMessage() = default;
  IpcMessage(const IpcMessage&) = delete;
  IpcMessage& operator=(const IpcMessage&) = delete;
  IpcMessage(IpcMessage&&) = default;
  IpcMessage& operator=(IpcMessage&&) = default;

  // Checks a received frame of `count` bytes and, when it passes, keeps a copy
  // of it and its "Response"."RequestId". 0; -1 header size not 40 (or fewer
  // than 40 bytes); -2 40 + body_size differs from the count (or the count
  // exceeds a frame); -3 body type not JSON. On failure the message is unchanged.
  int ParseRawData(const char* raw, int count);

  // Makes this message a JSON request under `id`: the header, then `body`.
  // 0, or -1 when the frame would not fit the link's block.
  int SetJsonRequest(const std::string& id, const char* body, size_t length);

  // The body of the held frame, after the same checks ParseRawData makes;
  // false when there is no frame or it fails them.
  bool GetBody(const char** body, size_t* length) const;

  // A deep copy (frame bytes included).
  IpcMessage Clone() const;

  std::string request_id;
  int32_t size = 0;
  std::unique_ptr<char[]> data;
};

}  // namespace zq_camera_service
