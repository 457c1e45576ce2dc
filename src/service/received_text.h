// The bytes one HTTP transfer receives, bounded by the request's limit and
// held in the very array that becomes the reply record's data, so a reply
// is never copied on its way from libcurl to the caller.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/byte_buffer.h"

namespace zq_camera_service {

class ReceivedText {
 public:
  explicit ReceivedText(size_t limit = 0) : limit_(limit) {}
  ReceivedText(ReceivedText&& other) noexcept;
  ReceivedText& operator=(ReceivedText&& other) noexcept;
  ReceivedText(const ReceivedText&) = delete;
  ReceivedText& operator=(const ReceivedText&) = delete;

  // The peer announced that `length` more bytes follow (its Content-Length):
  // room for exactly that many is made at once, so the text never grows by
  // copying. False, and the text over its limit, when they could not fit.
  bool Expect(size_t length);
  // Appends `length` bytes; false, keeping nothing of them, when the text
  // would grow past the limit (once refused, the text stays over its limit)
  // or when the memory for them cannot be had.
  bool Append(const char* bytes, size_t length);
  // Keeps only the `length` bytes at `offset`, moved to the front in place.
  void Keep(size_t offset, size_t length);
  // Replaces the text by `bytes` (a status code), within the buffer held.
  void Assign(std::string_view bytes);
  // Drops the bytes and the buffer; the limit stays.
  void Clear();
  // Empties the text and gives a new limit, as at the start of a transfer.
  void Reset(size_t limit);
  // Hands the buffer over (null when empty) and its length; the text is left empty.
  ByteBuffer Release(size_t* length);

  std::string_view View() const { return std::string_view(bytes_ ? bytes_.get() : "", size_); }
  size_t size() const { return size_; }
  size_t limit() const { return limit_; }
  size_t capacity() const { return bytes_.capacity(); }
  bool over_limit() const { return over_limit_; }

 private:
  // Whether `length` more bytes stay within the limit; once they would not,
  // the text is over its limit for good.
  bool Admits(size_t length);
  // Room for `needed` bytes: the buffer doubles, but never past the limit,
  // so no text costs more than its limit. False when the memory cannot be had.
  bool Reserve(size_t needed);

  ByteBuffer bytes_;
  size_t size_ = 0;
  size_t limit_ = 0;
  bool over_limit_ = false;
};

}  // namespace zq_camera_service
