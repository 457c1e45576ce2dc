#include "service/ipc_message.h"

#include <cstring>

#include "base/json_member.h"
#include "base/log.h"

namespace zq_camera_service {

namespace {

void PutLittleEndian32(char* out, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((bits >> (8 * i)) & 0xff);
}

int32_t GetLittleEndian32(const char* in) {
  unsigned char bytes[4];
  memcpy(bytes, in, 4);
  uint32_t bits = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                  (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  int32_t value;
  memcpy(&value, &bits, 4);
  return value;
}

enum FrameCheck { kFrameOk = 0, kBadHeaderSize = -1, kBadTotalSize = -2, kNotJson = -3 };

// The checks every received frame passes before any of its body is read.
FrameCheck CheckFrame(const IpcFrameHeader& header, int64_t count) {
  if (header.header_size != kIpcHeaderSize) return kBadHeaderSize;
  if (static_cast<int64_t>(kIpcHeaderSize) + header.body_size != count) return kBadTotalSize;
  if (header.body_type != kIpcBodyTypeJson) return kNotJson;
  return kFrameOk;
}

}  // namespace

void EncodeIpcFrameHeader(const IpcFrameHeader& header, char* out) {
  PutLittleEndian32(out, header.header_size);
  PutLittleEndian32(out + 4, header.body_size);
  PutLittleEndian32(out + 8, header.body_type);
  for (int i = 0; i < 3; ++i) PutLittleEndian32(out + 12 + 4 * i, header.words[i]);
  memcpy(out + 24, header.reserved, sizeof header.reserved);
}

bool DecodeIpcFrameHeader(const char* raw, size_t count, IpcFrameHeader* header) {
  if (raw == nullptr || count < static_cast<size_t>(kIpcHeaderSize)) return false;
  header->header_size = GetLittleEndian32(raw);
  header->body_size = GetLittleEndian32(raw + 4);
  header->body_type = GetLittleEndian32(raw + 8);
  for (int i = 0; i < 3; ++i) header->words[i] = GetLittleEndian32(raw + 12 + 4 * i);
  memcpy(header->reserved, raw + 24, sizeof header->reserved);
  return true;
}

int IpcMessage::ParseRawData(const char* raw, int count) {
  IpcFrameHeader header;
  // A short or oversized count is refused before a byte of it is read.
  if (raw == nullptr || count < kIpcHeaderSize) {
    zq_error("Parse raw data failed with head size not correct!\n");
    return kBadHeaderSize;
  }
  if (count > kIpcMaxFrameSize) {
    zq_error("Parse raw data failed with head and body size != size!\n");
    return kBadTotalSize;
  }
  DecodeIpcFrameHeader(raw, static_cast<size_t>(count), &header);
  zq_info("begin read header size %d %d\n", header.header_size, header.body_size);
  switch (CheckFrame(header, count)) {
    case kBadHeaderSize:
      zq_error("Parse raw data failed with head size not correct!\n");
      return kBadHeaderSize;
    case kBadTotalSize:
      zq_error("Parse raw data failed with head and body size != size!\n");
      return kBadTotalSize;
    case kNotJson:
      zq_error("Non json type not support\n");
      return kNotJson;
    case kFrameOk:
      break;
  }

  data.reset(new char[count]);
  memcpy(data.get(), raw, static_cast<size_t>(count));
  size = count;
  request_id.clear();
  // Only the id is read here, so the document need pass no check beyond
  // parsing (a number no double holds would otherwise lose the id, and the
  // caller waiting for this reply would wait for good).
  rapidjson::Document document;
  document.Parse<json::kOutsideBytesFlags>(data.get() + kIpcHeaderSize, static_cast<size_t>(header.body_size));
  if (!document.HasParseError()) {
    const rapidjson::Value* response = json::GetObject(document, "Response");
    if (response != nullptr) json::GetString(*response, "RequestId", &request_id);
  }
  return 0;
}

int IpcMessage::SetJsonRequest(const std::string& id, const char* body, size_t length) {
  if (length > static_cast<size_t>(kIpcMaxFrameSize - kIpcHeaderSize) || (body == nullptr && length > 0)) {
    zq_error("ipc request of %zu bytes does not fit a frame\n", length);
    return -1;
  }
  IpcFrameHeader header;
  header.body_size = static_cast<int32_t>(length);
  int32_t total = kIpcHeaderSize + header.body_size;
  std::unique_ptr<char[]> frame(new char[total]);
  EncodeIpcFrameHeader(header, frame.get());
  if (length > 0) memcpy(frame.get() + kIpcHeaderSize, body, length);
  data = std::move(frame);
  size = total;
  request_id = id;
  return 0;
}

bool IpcMessage::GetBody(const char** body, size_t* length) const {
  IpcFrameHeader header;
  if (!data || size < kIpcHeaderSize || size > kIpcMaxFrameSize) return false;
  if (!DecodeIpcFrameHeader(data.get(), static_cast<size_t>(size), &header)) return false;
  if (CheckFrame(header, size) != kFrameOk) return false;
  *body = data.get() + kIpcHeaderSize;
  *length = static_cast<size_t>(header.body_size);
  return true;
}

IpcMessage IpcMessage::Clone() const {
  IpcMessage copy;
  copy.request_id = request_id;
  if (data && size > 0) {
    copy.data.reset(new char[size]);
    memcpy(copy.data.get(), data.get(), static_cast<size_t>(size));
    copy.size = size;
  }
  return copy;
}

}  // namespace zq_camera_service
