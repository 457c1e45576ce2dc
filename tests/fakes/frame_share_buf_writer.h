// Plays the camera software's side of the picture (34) and H.264 (35) share
// buffers for the share-buffer stand-in: writes frame files (the 40-byte
// frame header, then the frame data), each put in place whole.
#pragma once

#include <cstdint>
#include <string>

namespace zq_fakes {

class FrameShareBufWriter {
 public:
  explicit FrameShareBufWriter(std::string directory);

  // A header declaring `frame_len` bytes (true or not) followed by `data`.
  // The bytes the readers must not look at are filled with 0xee.
  static std::string FrameBytes(uint64_t frame_time, uint32_t frame_len, bool key_frame, const std::string& data);
  // A header declaring the true length of `data`.
  static std::string FrameBytes(uint64_t frame_time, bool key_frame, const std::string& data);

  // Frame number `seq` of buffer 34 or 35 holding exactly `bytes`.
  void PutFrame(int buf_id, uint64_t seq, const std::string& bytes) const;

 private:
  std::string directory_;
};

}  // namespace zq_fakes
