#include "fakes/face_share_buf_writer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/inf_comm_stand_in/share_buf_control.h"

namespace zq_test {

namespace stand_in = zq_camera_service::platform::share_buf_stand_in;

FaceShareBufWriter::FaceShareBufWriter(std::string directory) : directory_(std::move(directory)) {
  std::filesystem::create_directories(directory_ + "/40/lists");
  std::filesystem::create_directories(directory_ + "/40/images");
  std::filesystem::create_directories(directory_ + "/40/staging");
}

void FaceShareBufWriter::PutWhole(const std::string& path, const std::string& bytes) const {
  std::string staged = directory_ + "/40/staging/" + std::filesystem::path(path).filename().string();
  {
    std::ofstream out(staged, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + staged);
  }
  if (std::rename(staged.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot rename to " + path);
}

void FaceShareBufWriter::PutImage(uint64_t timestamp, int datatype, int objectID, const std::string& bytes) const {
  PutWhole(stand_in::FaceImagePath(directory_, timestamp, datatype, objectID), bytes);
}

void FaceShareBufWriter::PutList(uint64_t seq, const std::string& text) const {
  PutWhole(stand_in::FaceListPath(directory_, seq), text);
}

std::string FaceShareBufWriter::QueryOf(const FaceGroup& group) {
  return "datatype=" + std::to_string(group.datatype) + "&timestamp=" + std::to_string(group.timestamp) +
         "&objectID=" + std::to_string(group.objectID);
}

std::string FaceShareBufWriter::ListText(const std::vector<FaceGroup>& groups) {
  auto number = [](double value) {
    char text[64];
    snprintf(text, sizeof text, "%.17g", value);
    return std::string(text);
  };
  std::string text = "{\"Group_Num\":" + std::to_string(groups.size()) + ",\"Groups\":[";
  for (size_t i = 0; i < groups.size(); ++i) {
    const FaceGroup& g = groups[i];
    if (i > 0) text += ",";
    text += "{\"faceDetect_url\":\"" + QueryOf(g) + "\",\"trackerInfo\":{\"rect\":{\"top\":" + std::to_string(g.top) +
            ",\"left\":" + std::to_string(g.left) + ",\"bottom\":" + std::to_string(g.bottom) +
            ",\"right\":" + std::to_string(g.right) + "},\"confidence\":" + number(g.confidence) +
            ",\"quality\":" + number(g.quality) + ",\"pose\":{\"roll\":" + number(g.roll) +
            ",\"pitch\":" + number(g.pitch) + ",\"yaw\":" + number(g.yaw) + "}}}";
  }
  return text + "]}";
}

}  // namespace zq_test
