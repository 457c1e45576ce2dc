#include "base/byte_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace zq_camera_service {

namespace {

size_t PageSize() {
  static const size_t page = [] {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : size_t{4096};
  }();
  return page;
}

// `bytes` rounded up to whole pages; 0 when that overflows.
size_t WholePages(size_t bytes) {
  size_t page = PageSize();
  if (bytes > static_cast<size_t>(-1) - (page - 1)) return 0;
  return (bytes + page - 1) / page * page;
}

char* MapPages(size_t length) {
  void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : static_cast<char*>(pages);
}

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this == &other) return *this;
  reset();
  bytes_ = std::exchange(other.bytes_, nullptr);
  capacity_ = std::exchange(other.capacity_, 0);
  mapped_ = std::exchange(other.mapped_, false);
  return *this;
}

bool ByteBuffer::Grow(size_t capacity, size_t kept) {
  if (capacity <= capacity_ && bytes_ != nullptr) return true;
  if (capacity == 0) return true;
  kept = std::min(kept, capacity_);
  if (capacity < kMapThreshold) {
    char* larger = new (std::nothrow) char[capacity];
    if (larger == nullptr) return false;
    if (kept > 0) memcpy(larger, bytes_, kept);
    reset();
    bytes_ = larger;
    capacity_ = capacity;
    return true;
  }
  size_t length = WholePages(capacity);
  if (length == 0) return false;
  char* larger = nullptr;
  if (mapped_) {
#ifdef MREMAP_MAYMOVE
    // The kernel moves the pages themselves: no second copy of the bytes
    // exists at any moment.
    void* moved = mremap(bytes_, capacity_, length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return false;
    bytes_ = static_cast<char*>(moved);
    capacity_ = length;
    return true;
#endif
  }
  larger = MapPages(length);
  if (larger == nullptr) return false;
  if (kept > 0) memcpy(larger, bytes_, kept);
  reset();
  bytes_ = larger;
  capacity_ = length;
  mapped_ = true;
  return true;
}

void ByteBuffer::reset() {
  if (bytes_ != nullptr) {
    if (mapped_) {
      munmap(bytes_, capacity_);
    } else {
      delete[] bytes_;
    }
  }
  bytes_ = nullptr;
  capacity_ = 0;
  mapped_ = false;
}

}  // namespace zq_camera_service
