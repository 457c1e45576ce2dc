// Cuts the byte stream of the camera link into whole frames. TCP keeps no
// message boundaries: one receive may hold part of a frame, a whole one, or
// the end of one frame and the start of the next, whatever the peer's writes
// looked like. Frames are therefore taken by their header's length.
#pragma once

#include <cstddef>
#include <string>

namespace zq_camera_service {

class IpcFrameReader {
 public:
  enum Result {
    kFrameReady,   // a whole frame was taken out
    kNeedMore,     // the buffered bytes end inside a frame
    kBrokenStream  // a header failed its checks; the buffer was discarded
  };

  // Adds the bytes of one receive behind those already buffered.
  void Append(const char* bytes, size_t length);
  // Moves the next whole frame (header and body) into `frame`. A header whose
  // header_size is not 40, or whose frame would be longer than the link's
  // 1 MiB block, is logged with the frame check's error line and ends the
  // stream: the frame's end cannot be known, so nothing after it can be
  // trusted and the owner must drop the connection.
  Result Next(std::string* frame);
  // Forgets everything buffered (a new connection starts a new stream).
  void Clear() { buffer_.clear(); }
  size_t buffered() const { return buffer_.size(); }

 private:
  std::string buffer_;
};

}  // namespace zq_camera_service
