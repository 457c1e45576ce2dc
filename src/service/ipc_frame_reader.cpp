#include "service/ipc_frame_reader.h"

#include "base/log.h"
#include "service/ipc_message.h"

namespace zq_camera_service {

void IpcFrameReader::Append(const char* bytes, size_t length) {
  if (bytes != nullptr && length > 0) buffer_.append(bytes, length);
}

IpcFrameReader::Result IpcFrameReader::Next(std::string* frame) {
  IpcFrameHeader header;
  if (!DecodeIpcFrameHeader(buffer_.data(), buffer_.size(), &header)) return kNeedMore;
  // Checked as soon as the header is in, so a hostile length never makes the
  // reader wait for, or hold, more than one block's worth of bytes.
  if (header.header_size != kIpcHeaderSize) {
    zq_error("Parse raw data failed with head size not correct!\n");
    buffer_.clear();
    return kBrokenStream;
  }
  if (header.body_size < 0 || header.body_size > kIpcMaxFrameSize - kIpcHeaderSize) {
    zq_error("Parse raw data failed with head and body size != size!\n");
    buffer_.clear();
    return kBrokenStream;
  }
  size_t total = static_cast<size_t>(kIpcHeaderSize) + static_cast<size_t>(header.body_size);
  if (buffer_.size() < total) return kNeedMore;
  frame->assign(buffer_, 0, total);
  // What follows belongs to the next frame.
  buffer_.erase(0, total);
  return kFrameReady;
}

}  // namespace zq_camera_service
