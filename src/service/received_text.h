// The bytes one HTTP transfer receives, bounded by the request's limit and
// held in the very array that becomes the reply record's data, so a reply
// is never copied on its way from libcurl to the caller.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace zq_camera_service {

class ReceivedText {
 public:
  explicit ReceivedText(size_t limit = 0) : limit_(limit) {}
  ReceivedText(ReceivedText&& other) noexcept;
  ReceivedText& operator=(ReceivedText&& other) noexcept;
  ReceivedText(const ReceivedText&) = delete;
  ReceivedText& operator=(const ReceivedText&) = delete;

  // Appends `length` bytes; false, keeping nothing of them, when the text
  // would grow past the limit. Once refused, the text stays over its limit.
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
  std::unique_ptr<char[]> Release(size_t* length);

  std::string_view View() const { return std::string_view(bytes_ ? bytes_.get() : "", size_); }
  size_t size() const { return size_; }
  size_t limit() const { return limit_; }
  size_t capacity() const { return capacity_; }
  bool over_limit() const { return over_limit_; }

 private:
  // Room for `needed` bytes; the buffer grows geometrically but never past the limit.
  void Reserve(size_t needed);

  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t limit_ = 0;
  bool over_limit_ = false;
};

}  // namespace zq_camera_service
