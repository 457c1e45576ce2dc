// An owned array of bytes that can grow while keeping its contents. Small
// arrays live on the heap; large ones are pages mapped for this array alone,
// so that growing one moves its pages instead of copying the bytes into a
// second array beside the first, and releasing one gives its memory back to
// the system at once, whatever the allocator keeps for itself. A device
// with a little RAM can then hold a large download once, not twice.
#pragma once

#include <cstddef>

namespace zq_camera_service {

class ByteBuffer {
 public:
  // Arrays of at least this many bytes are mapped pages of their own.
  static constexpr size_t kMapThreshold = 1u << 20;

  ByteBuffer() = default;
  // An array of `capacity` bytes, not initialised; null on failure.
  explicit ByteBuffer(size_t capacity) { Grow(capacity, 0); }
  ~ByteBuffer() { reset(); }
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // Makes room for `capacity` bytes in all, keeping the first `kept` of the
  // bytes held; a capacity below the present one changes nothing. False
  // (and the array as it was) when the memory cannot be had.
  bool Grow(size_t capacity, size_t kept);
  // Frees the array.
  void reset();

  char* get() const { return bytes_; }
  char& operator[](size_t index) const { return bytes_[index]; }
  explicit operator bool() const { return bytes_ != nullptr; }
  size_t capacity() const { return capacity_; }
  // Whether the array is pages of its own (see kMapThreshold).
  bool mapped() const { return mapped_; }

 private:
  char* bytes_ = nullptr;
  size_t capacity_ = 0;
  bool mapped_ = false;
};

inline bool operator==(const ByteBuffer& buffer, std::nullptr_t) { return !buffer; }
inline bool operator!=(const ByteBuffer& buffer, std::nullptr_t) { return static_cast<bool>(buffer); }
inline bool operator==(std::nullptr_t, const ByteBuffer& buffer) { return !buffer; }
inline bool operator!=(std::nullptr_t, const ByteBuffer& buffer) { return static_cast<bool>(buffer); }

}  // namespace zq_camera_service
