#include "service/received_text.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace zq_camera_service {

namespace {

constexpr size_t kFirstCapacity = 4096;

}  // namespace

ReceivedText::ReceivedText(ReceivedText&& other) noexcept { *this = std::move(other); }

ReceivedText& ReceivedText::operator=(ReceivedText&& other) noexcept {
  if (this == &other) return *this;
  bytes_ = std::move(other.bytes_);
  size_ = std::exchange(other.size_, 0);
  limit_ = other.limit_;
  over_limit_ = std::exchange(other.over_limit_, false);
  return *this;
}

bool ReceivedText::Admits(size_t length) {
  if (over_limit_ || length > limit_ - size_) {
    over_limit_ = true;
    return false;
  }
  return true;
}

bool ReceivedText::Expect(size_t length) {
  if (!Admits(length)) return false;
  // A peer that announces more than it sends costs only the pages it filled:
  // large buffers are mapped pages, untouched ones take no memory.
  bytes_.Grow(size_ + length, size_);
  return true;
}

bool ReceivedText::Append(const char* bytes, size_t length) {
  if (!Admits(length)) return false;
  if (length == 0) return true;
  if (!Reserve(size_ + length)) return false;
  memcpy(bytes_.get() + size_, bytes, length);
  size_ += length;
  return true;
}

bool ReceivedText::Reserve(size_t needed) {
  size_t capacity = bytes_.capacity();
  if (needed <= capacity) return true;
  size_t grown = capacity > limit_ / 2 ? limit_ : std::max(capacity * 2, kFirstCapacity);
  return bytes_.Grow(std::min(std::max(grown, needed), limit_), size_);
}

void ReceivedText::Keep(size_t offset, size_t length) {
  offset = std::min(offset, size_);
  length = std::min(length, size_ - offset);
  if (length > 0 && offset > 0) memmove(bytes_.get(), bytes_.get() + offset, length);
  size_ = length;
}

void ReceivedText::Assign(std::string_view bytes) {
  size_ = 0;
  if (bytes.empty()) return;
  if (bytes.size() > bytes_.capacity()) {
    // `bytes` may lie in the buffer being replaced: copy before letting it go.
    ByteBuffer larger(bytes.size());
    if (!larger) return;
    memcpy(larger.get(), bytes.data(), bytes.size());
    bytes_ = std::move(larger);
  } else {
    memmove(bytes_.get(), bytes.data(), bytes.size());
  }
  size_ = bytes.size();
}

void ReceivedText::Clear() {
  bytes_.reset();
  size_ = 0;
}

void ReceivedText::Reset(size_t limit) {
  Clear();
  limit_ = limit;
  over_limit_ = false;
}

ByteBuffer ReceivedText::Release(size_t* length) {
  *length = size_;
  ByteBuffer bytes = size_ > 0 ? std::move(bytes_) : ByteBuffer();
  Clear();
  return bytes;
}

}  // namespace zq_camera_service
