#include "service/net_message.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zq_camera_service {

namespace {

constexpr size_t kMaxDataLen = static_cast<size_t>(std::numeric_limits<int32_t>::max());

}  // namespace

NetMessage::NetMessage(NetMessage&& other) noexcept { *this = std::move(other); }

NetMessage& NetMessage::operator=(NetMessage&& other) noexcept {
  if (this == &other) return *this;
  id = other.id;
  data_len = other.data_len;
  data = std::move(other.data);
  owned_ = other.owned_;
  method = std::move(other.method);
  url = std::move(other.url);
  header = std::move(other.header);
  timeout = other.timeout;
  max_reply_bytes = other.max_reply_bytes;
  over_limit = other.over_limit;
  other.data_len = 0;
  other.owned_ = 0;
  return *this;
}

std::unique_ptr<NetMessage> NetMessage::Clone() const {
  auto copy = std::make_unique<NetMessage>();
  copy->id = id;
  copy->method = method;
  copy->url = url;
  copy->header = header;
  copy->timeout = timeout;
  copy->max_reply_bytes = max_reply_bytes;
  copy->data_len = data_len;
  copy->over_limit = over_limit;
  if (data != nullptr && owned_ > 0) {
    ByteBuffer bytes(owned_);
    if (!bytes) {
      copy->data_len = 0;
      return copy;
    }
    memcpy(bytes.get(), data.get(), owned_);
    copy->data = std::move(bytes);
    copy->owned_ = owned_;
  }
  return copy;
}

bool NetMessage::SetBody(const void* bytes, size_t length) {
  if (length >= kMaxDataLen || (bytes == nullptr && length > 0)) return false;
  ByteBuffer copy(length + 1);
  if (!copy) return false;
  if (length > 0) memcpy(copy.get(), bytes, length);
  copy[length] = '\0';
  data = std::move(copy);
  owned_ = length + 1;
  data_len = static_cast<int32_t>(length + 1);
  return true;
}

bool NetMessage::SetData(const void* bytes, size_t length) {
  if (length > kMaxDataLen || (bytes == nullptr && length > 0)) return false;
  ByteBuffer copy(length);
  if (length > 0 && !copy) return false;
  if (length > 0) memcpy(copy.get(), bytes, length);
  return AdoptData(std::move(copy), length);
}

bool NetMessage::AdoptData(ByteBuffer bytes, size_t length) {
  if (length > kMaxDataLen || (bytes == nullptr && length > 0)) return false;
  if (length == 0) {
    ClearData();
    return true;
  }
  data = std::move(bytes);
  owned_ = length;
  data_len = static_cast<int32_t>(length);
  return true;
}

void NetMessage::ClearData() {
  data.reset();
  owned_ = 0;
  data_len = 0;
}

ByteBuffer NetMessage::ReleaseData(size_t* length) {
  *length = ReplyLength();
  ByteBuffer bytes = std::move(data);
  ClearData();
  return bytes;
}

void NetMessage::TakeData(NetMessage& other) {
  if (this == &other) return;
  data = std::move(other.data);
  owned_ = other.owned_;
  data_len = other.data_len;
  over_limit = other.over_limit;
  other.owned_ = 0;
  other.data_len = 0;
  other.over_limit = false;
}

size_t NetMessage::BodyLength() const {
  if (data == nullptr || data_len <= 1) return 0;
  return std::min(static_cast<size_t>(data_len) - 1, owned_);
}

size_t NetMessage::ReplyLength() const {
  if (data == nullptr || data_len <= 0) return 0;
  return std::min(static_cast<size_t>(data_len), owned_);
}

std::string NetMessage::Reply() const { return std::string(ReplyView()); }

std::string_view NetMessage::ReplyView() const {
  return std::string_view(data.get() == nullptr ? "" : data.get(), ReplyLength());
}

}  // namespace zq_camera_service
