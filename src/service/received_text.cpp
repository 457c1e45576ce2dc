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
  capacity_ = std::exchange(other.capacity_, 0);
  limit_ = other.limit_;
  over_limit_ = std::exchange(other.over_limit_, false);
  return *this;
}

bool ReceivedText::Append(const char* bytes, size_t length) {
  if (over_limit_ || length > limit_ - size_) {
    over_limit_ = true;
    return false;
  }
  if (length == 0) return true;
  Reserve(size_ + length);
  memcpy(bytes_.get() + size_, bytes, length);
  size_ += length;
  return true;
}

void ReceivedText::Reserve(size_t needed) {
  if (needed <= capacity_) return;
  size_t grown = capacity_ > limit_ / 2 ? limit_ : std::max(capacity_ * 2, kFirstCapacity);
  size_t capacity = std::min(std::max(grown, needed), limit_);
  std::unique_ptr<char[]> larger(new char[capacity]);
  if (size_ > 0) memcpy(larger.get(), bytes_.get(), size_);
  bytes_ = std::move(larger);
  capacity_ = capacity;
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
  if (bytes.size() > capacity_) {
    // `bytes` may lie in the buffer being replaced: copy before letting it go.
    std::unique_ptr<char[]> larger(new char[bytes.size()]);
    memcpy(larger.get(), bytes.data(), bytes.size());
    bytes_ = std::move(larger);
    capacity_ = bytes.size();
  } else {
    memmove(bytes_.get(), bytes.data(), bytes.size());
  }
  size_ = bytes.size();
}

void ReceivedText::Clear() {
  bytes_.reset();
  size_ = 0;
  capacity_ = 0;
}

void ReceivedText::Reset(size_t limit) {
  Clear();
  limit_ = limit;
  over_limit_ = false;
}

std::unique_ptr<char[]> ReceivedText::Release(size_t* length) {
  *length = size_;
  std::unique_ptr<char[]> bytes = size_ > 0 ? std::move(bytes_) : nullptr;
  Clear();
  return bytes;
}

}  // namespace zq_camera_service
