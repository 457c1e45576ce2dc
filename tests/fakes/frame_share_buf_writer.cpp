#include "fakes/frame_share_buf_writer.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/inf_comm_stand_in/share_buf_control.h"

namespace zq_fakes {

namespace stand_in = zq_camera_service::platform::share_buf_stand_in;

FrameShareBufWriter::FrameShareBufWriter(std::string directory) : directory_(std::move(directory)) {
  for (const char* id : {"34", "35"}) {
    std::filesystem::create_directories(directory_ + "/" + id + "/frames");
    std::filesystem::create_directories(directory_ + "/" + id + "/staging");
  }
}

std::string FrameShareBufWriter::FrameBytes(uint64_t frame_time, uint32_t frame_len, bool key_frame,
                                            const std::string& data) {
  std::string header(40, '\xee');
  for (int i = 0; i < 8; ++i) header[static_cast<size_t>(i)] = static_cast<char>((frame_time >> (8 * i)) & 0xff);
  for (int i = 0; i < 4; ++i) header[static_cast<size_t>(8 + i)] = static_cast<char>((frame_len >> (8 * i)) & 0xff);
  header[24] = key_frame ? 1 : 0;
  return header + data;
}

std::string FrameShareBufWriter::FrameBytes(uint64_t frame_time, bool key_frame, const std::string& data) {
  return FrameBytes(frame_time, static_cast<uint32_t>(data.size()), key_frame, data);
}

void FrameShareBufWriter::PutFrame(int buf_id, uint64_t seq, const std::string& bytes) const {
  const std::string path = stand_in::FramePath(directory_, buf_id, seq);
  const std::string staged = directory_ + "/" + std::to_string(buf_id) + "/staging/" + std::to_string(seq);
  {
    std::ofstream out(staged, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + staged);
  }
  if (std::rename(staged.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot rename to " + path);
}

}  // namespace zq_fakes
