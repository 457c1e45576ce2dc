// The face-list text the camera software leaves in share buffer 40, read by
// one pass of the face fetch against the share-buffer stand-in.
//
// The face images are scripted per lookup, cycling through a found image, a
// missing one, a library error and a length beyond the buffer. What must
// hold: the pass looks up at most one image per listed group that names a
// query, hands on exactly the found images in lookup order with their exact
// bytes, and never a record without an image.
#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "service/data_upload_service.h"
#include "support/fuzz_check.h"

namespace stand_in = zq_camera_service::platform::share_buf_stand_in;
using zq_camera_service::DataUploadService;
using zq_camera_service::FACE_BUFFER_SIZE;
using zq_camera_service::FaceInfo_Upload;

namespace {

constexpr size_t kScriptedImages = 64;

class Recorder : public zq_camera_service::IDataUploadService {
 public:
  void OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>& faces) override {
    ++batches;
    for (const FaceInfo_Upload* face : faces) {
      FUZZ_CHECK(face != nullptr);
      FUZZ_CHECK(face->image_len > 0 && face->image_len <= FACE_BUFFER_SIZE && face->image != nullptr);
      FUZZ_CHECK(face->timestamp == 0);
      images.emplace_back(face->image.get(), static_cast<size_t>(face->image_len));
    }
  }
  void OnCameraDataUploadCallback(int, char*) override { FUZZ_CHECK(false); }

  int batches = 0;
  std::vector<std::string> images;
};

stand_in::ScriptedRead ImageRead(size_t lookup) {
  switch (lookup % 4) {
    case 0: {
      std::string bytes = "face-" + std::to_string(lookup);
      bytes.push_back('\0');  // images are bytes, not text
      return {static_cast<int>(bytes.size()), bytes};
    }
    case 1:
      return {0, ""};
    case 2:
      return {-1, ""};
    default:
      return {FACE_BUFFER_SIZE + 1, "cut"};
  }
}

// Groups that can lead to a lookup: objects of "Groups" with a text "faceDetect_url".
size_t GroupsWithQuery(const std::string& text) {
  rapidjson::Document list;
  list.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  if (list.HasParseError() || !list.IsObject()) return 0;
  auto groups = list.FindMember("Groups");
  if (groups == list.MemberEnd() || !groups->value.IsArray()) return 0;
  size_t count = 0;
  for (const rapidjson::Value& group : groups->value.GetArray()) {
    if (!group.IsObject()) continue;
    auto url = group.FindMember("faceDetect_url");
    if (url != group.MemberEnd() && url->value.IsString()) ++count;
  }
  return count;
}

// An empty share-buffer directory: lists and images come from the scripts only.
const std::string& EmptyDirectory() {
  static const std::string directory = zq_fuzz::ScratchDirectory("face_list");
  return directory;
}

DataUploadService* Service() {
  static DataUploadService* service = new DataUploadService();
  return service;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(FACE_BUFFER_SIZE)) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  DataUploadService* service = Service();
  Recorder recorder;
  service->RegisterHandler(&recorder);

  stand_in::Reset();
  stand_in::SetDirectory(EmptyDirectory());
  std::vector<stand_in::ScriptedRead> images;
  for (size_t i = 0; i < kScriptedImages; ++i) images.push_back(ImageRead(i));
  stand_in::ScriptListReads({{static_cast<int>(size), text}});
  stand_in::ScriptImageReads(images);

  service->CheckCapFaceRoutine();
  service->UnregisterHandler(&recorder);

  const stand_in::Counters counters = stand_in::GetCounters();
  FUZZ_CHECK(counters.list_reads == 1);
  // The text ends at its first NUL byte, as C text does.
  const std::string list = text.substr(0, text.find('\0'));
  FUZZ_CHECK(counters.lookups.size() <= GroupsWithQuery(list));
  FUZZ_CHECK(recorder.batches <= 1);

  std::vector<std::string> expected;
  for (size_t i = 0; i < counters.lookups.size() && i < kScriptedImages; ++i) {
    stand_in::ScriptedRead read = ImageRead(i);
    if (read.result > 0 && read.result <= FACE_BUFFER_SIZE) expected.push_back(read.bytes);
  }
  FUZZ_CHECK(recorder.images == expected);
  return 0;
}
