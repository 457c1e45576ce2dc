// One HTTP request or reply as the transport carries it. The record owns its
// bytes; it can be moved but not copied by accident (Clone() copies deeply).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"
#include "service/net_reply_limits.h"

namespace zq_camera_service {

class NetMessage {
 public:
  NetMessage() = default;
  ~NetMessage() = default;
  NetMessage(NetMessage&& other) noexcept;
  NetMessage& operator=(NetMessage&& other) noexcept;
  NetMessage(const NetMessage&) = delete;
  NetMessage& operator=(const NetMessage&) = delete;

  // A record with the same fields and its own copy of the bytes.
  std::unique_ptr<NetMessage> Clone() const;

  // Request body: copies `length` bytes followed by a NUL, so data_len is
  // length + 1 and the transport sends exactly `length` bytes. False (and the
  // record unchanged) when the body is too long for data_len.
  bool SetBody(const void* bytes, size_t length);
  bool SetBody(const std::string& bytes) { return SetBody(bytes.data(), bytes.size()); }
  // Raw bytes as a reply holds them: exactly `length` bytes, data_len = length.
  bool SetData(const void* bytes, size_t length);
  void ClearData();
  // Hands the bytes over with their count (ReplyLength()); the record is left without data.
  ByteBuffer ReleaseData(size_t* length);
  // Takes over `bytes` (at least `length` of them) as the reply: data_len = length.
  // False (and the record unchanged) when the length does not fit data_len.
  bool AdoptData(ByteBuffer bytes, size_t length);
  // Moves the bytes, data_len and over_limit of `other` into this record;
  // `other` is left without data.
  void TakeData(NetMessage& other);

  // Number of bytes a request sends: data_len - 1, never more than the record owns.
  size_t BodyLength() const;
  // A reply holds bytes when data_len > 0 (callers test data_len <= 0 for "no reply").
  bool HasReply() const { return ReplyLength() > 0; }
  // Number of reply bytes: data_len, never more than the record owns.
  size_t ReplyLength() const;
  // The reply bytes (NUL bytes included), "" when there is no reply.
  std::string Reply() const;
  // The same bytes without a copy; valid while the record keeps its data.
  std::string_view ReplyView() const;

  int64_t id = 0;
  int32_t data_len = 0;
  // Set through SetBody/SetData, which also record how many bytes are owned;
  // the transport never reads past that, whatever data_len says.
  ByteBuffer data;
  std::string method = "post";
  std::string url;
  std::string header;  // one extra request-header line, sent with "post" only
  int32_t timeout = 5;  // seconds for the whole transfer
  // Most bytes of received text (status line and headers included) this
  // exchange may hold: past it the transfer is stopped and counts as one
  // that got no reply. JSON replies need kilobytes; the package download
  // raises it (net_reply_limits.h).
  size_t max_reply_bytes = kMaxJsonReplyBytes;
  // Reply: the transport refused the reply for being larger than
  // max_reply_bytes (data_len is then 0, as for any failed transfer).
  bool over_limit = false;

 private:
  size_t owned_ = 0;  // bytes allocated in `data`
};

}  // namespace zq_camera_service
