// The face capture pipeline against the share-buffer stand-in: what the
// consumers receive from a face list, how read outcomes and hostile lists
// are handled, the handler registry, and the fetch thread.
#include "service/data_upload_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fakes/face_share_buf_writer.h"
#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "support/fifo_traps.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::CopyFaceInfo;
using zq_camera_service::DataUploadService;
using zq_camera_service::FACE_BUFFER_SIZE;
using zq_camera_service::FaceInfo_Upload;
using zq_camera_service::IDataUploadService;
using zq_test::FaceGroup;
using zq_test::FaceShareBufWriter;
namespace stand_in = zq_camera_service::platform::share_buf_stand_in;

std::string Hex(const char* bytes, int length) {
  std::string text;
  char digits[4];
  for (int i = 0; i < length; ++i) {
    snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
    text += digits;
  }
  return text;
}

// Every field of a record in one comparable line.
std::string Describe(const FaceInfo_Upload& face) {
  char fields[256];
  snprintf(fields, sizeof fields, "len=%d rect=%d,%d,%d,%d pose=%d,%d,%d conf=%d qual=%d ts=%lld image=",
           face.image_len, face.left, face.top, face.width, face.height, face.pitch, face.yaw, face.roll,
           face.confidence, face.quality, static_cast<long long>(face.timestamp));
  return fields + (face.image ? Hex(face.image.get(), face.image_len) : std::string("none"));
}

class RecordingHandler : public IDataUploadService {
 public:
  void OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>& faces) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FaceInfo_Upload> copy;
    for (FaceInfo_Upload* face : faces) copy.push_back(CopyFaceInfo(*face));
    batches_.push_back(std::move(copy));
    handed_.push_back(&faces);
    if (call_order_ != nullptr) call_order_->push_back(this);
    if (action_) action_(faces);
    cond_.notify_all();
  }
  void OnCameraDataUploadCallback(int, char*) override {}

  void RecordOrderIn(std::vector<const RecordingHandler*>* order) { call_order_ = order; }
  void OnBatch(std::function<void(std::vector<FaceInfo_Upload*>&)> action) { action_ = std::move(action); }

  bool WaitForBatches(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, timeout, [&] { return batches_.size() >= count; });
  }
  size_t BatchCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_.size();
  }
  std::vector<size_t> BatchSizes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<size_t> sizes;
    for (const auto& batch : batches_) sizes.push_back(batch.size());
    return sizes;
  }
  std::vector<std::string> Described(size_t batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& face : batches_.at(batch)) lines.push_back(Describe(face));
    return lines;
  }
  const std::vector<FaceInfo_Upload>& Batch(size_t index) { return batches_.at(index); }
  const void* HandedVector(size_t index) { return handed_.at(index); }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::vector<FaceInfo_Upload>> batches_;
  std::vector<const void*> handed_;
  std::vector<const RecordingHandler*>* call_order_ = nullptr;
  std::function<void(std::vector<FaceInfo_Upload*>&)> action_;
};

class DataUploadServiceTest : public ::testing::Test {
 protected:
  DataUploadServiceTest() : settings_(4, 3, ""), writer_(dir_.path()) {
    stand_in::Reset();
    stand_in::SetDirectory(dir_.path());
  }
  ~DataUploadServiceTest() override {
    service_.reset();  // closes its share buffer
    stand_in::Reset();
  }

  // A new service on an emptied share buffer.
  void Fresh() {
    service_.reset();
    std::filesystem::remove_all(dir_ / "40/lists");
    std::filesystem::create_directories(dir_ / "40/lists");
    stand_in::Reset();
    stand_in::SetDirectory(dir_.path());
    service_ = std::make_unique<DataUploadService>();
  }

  // One face list with one found face at locator (1, 1, 1).
  std::string OneFaceList() {
    writer_.PutImage(1, 1, 1, "img");
    FaceGroup group;
    group.timestamp = group.datatype = group.objectID = 1;
    return FaceShareBufWriter::ListText({group});
  }

  zq_test::ScopedLogSettings settings_;
  zq_test::TempDir dir_;
  FaceShareBufWriter writer_;
  std::unique_ptr<DataUploadService> service_ = std::make_unique<DataUploadService>();
  RecordingHandler first_;
  RecordingHandler second_;
  uint64_t next_seq_ = 1;
};

TEST_F(DataUploadServiceTest, EveryConsumerReceivesTheFoundFacesWithExactFieldsAndBytes) {
  const std::string image_a("\x00\xff\x01" "ab\x00\xff", 7);
  std::string image_c(1024, '\0');
  std::mt19937 random(5);
  for (char& byte : image_c) byte = static_cast<char>(random());
  image_c[0] = '\0';
  image_c[1] = '\xff';
  writer_.PutImage(1000, 1, 11, image_a);
  writer_.PutImage(6000000000ull, 3, 33, image_c);  // group B's image is absent
  const std::string list =
      "{\"Groups\":["
      "{\"faceDetect_url\":\"datatype=1&timestamp=1000&objectID=11\",\"trackerInfo\":{\"rect\":{\"top\":10,"
      "\"left\":20,\"bottom\":110,\"right\":70},\"confidence\":0.97,\"quality\":88.6,"
      "\"pose\":{\"roll\":12.9,\"pitch\":-12.9,\"yaw\":0.5}}},"
      "{\"faceDetect_url\":\"datatype=2&timestamp=2000&objectID=22\",\"trackerInfo\":{}},"
      "{\"trackerInfo\":{\"quality\":3,\"pose\":{\"yaw\":-1.5},\"rect\":{\"right\":5,\"bottom\":6}},"
      "\"faceDetect_url\":\"objectID=33&datatype=3&timestamp=6000000000\"}"
      "],\"Group_Num\":4}";
  writer_.PutList(1, list);
  service_->RegisterHandler(&second_);
  service_->RegisterHandler(&first_);

  std::string out;
  {
    zq_test::StdoutCapture capture;
    service_->CheckCapFaceRoutine();
    out = capture.Text();
  }

  const std::vector<std::string> expected = {
      "len=7 rect=20,10,50,100 pose=-12,0,12 conf=0 qual=88 ts=0 image=00ff01616200ff",
      "len=1024 rect=0,0,5,6 pose=0,-1,0 conf=0 qual=3 ts=0 image=" + Hex(image_c.data(), 1024),
  };
  ASSERT_EQ(std::vector<size_t>{2}, first_.BatchSizes());
  ASSERT_EQ(std::vector<size_t>{2}, second_.BatchSizes());
  EXPECT_EQ(expected, first_.Described(0));
  EXPECT_EQ(expected, second_.Described(0));
  EXPECT_EQ(first_.HandedVector(0), second_.HandedVector(0)) << "one batch object for every consumer";

  auto lookups = stand_in::GetCounters().lookups;
  ASSERT_EQ(3u, lookups.size());
  EXPECT_EQ(2000u, lookups[1].timestamp);
  EXPECT_EQ(6000000000ull, lookups[2].timestamp);
  EXPECT_EQ(3, lookups[2].datatype);
  EXPECT_EQ(33, lookups[2].objectID);

  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: init done =========\n"));
  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: face num: 4\n"));
  EXPECT_NE(std::string::npos, out.find("faceDetecturl : datatype=1&timestamp=1000&objectID=11 \n"));
  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: face not put or covered,may try get\n"));
  EXPECT_NE(std::string::npos,
            out.find("top left bottom right confidence  quality roll pitch yaw: 10 20 110 70 0.970000 88.600000 "
                     "12.900000 -12.900000 0.500000\n"));
}

TEST_F(DataUploadServiceTest, ConsumersAreCalledInAscendingAddressOrder) {
  RecordingHandler handlers[2];
  std::vector<const RecordingHandler*> order;
  handlers[0].RecordOrderIn(&order);
  handlers[1].RecordOrderIn(&order);
  service_->RegisterHandler(&handlers[1]);
  service_->RegisterHandler(&handlers[0]);
  writer_.PutList(1, OneFaceList());
  service_->CheckCapFaceRoutine();
  EXPECT_EQ((std::vector<const RecordingHandler*>{&handlers[0], &handlers[1]}), order);
}

struct OutcomeCase {
  const char* name;
  int failing_inits;
  std::vector<stand_in::ScriptedRead> list_reads;
  std::string list;  // written as the newest list when not empty
  int passes;
  std::vector<size_t> batches;
  std::vector<std::pair<std::string, size_t>> lines;  // stdout text and how often it shows
  std::string errors;                                  // standard error
  int inits;
  int uninits;
};

TEST_F(DataUploadServiceTest, ReadOutcomes) {
  const std::string one = OneFaceList();
  const std::string init_line = "Service | DEBUG: init done =========\n";
  const OutcomeCase cases[] = {
      {"open fails, next pass opens", 1, {}, one, 2, {1},
       {{init_line, 2}, {"Service | ERROR: Create share mem face failed\n", 1}}, "", 1, 0},
      {"nothing new", 0, {}, "", 1, {}, {{"json:", 0}}, "", 1, 0},
      {"read error closes, next pass reopens", 0, {{-1, ""}}, one, 2, {1},
       {{"Service | DEBUG: uninit  ============\n", 1}, {init_line, 2}}, "", 2, 1},
      {"invalid JSON", 0, {}, "{\"Group_Num\":1,", 1, {}, {}, "", 1, 0},
      {"text after the value", 0, {}, one + " x", 1, {}, {}, "", 1, 0},
      {"comment", 0, {}, "/* c */" + one, 1, {}, {}, "", 1, 0},
      {"white space around", 0, {}, " \n\t" + one + "\r\n ", 1, {1}, {}, "", 1, 0},
      {"root not an object", 0, {}, "[1,2,3]", 1, {0}, {{"face num: 0\n", 1}}, "OnHandleInfo failed null\n", 1, 0},
      {"Group_Num 0", 0, {}, "{\"Group_Num\":0,\"Groups\":[{\"faceDetect_url\":\"datatype=1&timestamp=1&objectID=1\"}]}",
       1, {0}, {}, "OnHandleInfo failed null\n", 1, 0},
      {"Group_Num above the groups", 0, {},
       "{\"Group_Num\":3,\"Groups\":[{\"faceDetect_url\":\"datatype=1&timestamp=1&objectID=1\"},"
       "{\"faceDetect_url\":\"datatype=1&timestamp=1&objectID=1\"}]}",
       1, {2}, {}, "", 1, 0},
  };
  for (const OutcomeCase& c : cases) {
    Fresh();
    RecordingHandler handler;
    service_->RegisterHandler(&handler);
    writer_.PutImage(1, 1, 1, "img");
    if (!c.list.empty()) writer_.PutList(next_seq_++, c.list);
    stand_in::FailInits(c.failing_inits);
    stand_in::ScriptListReads(c.list_reads);
    std::string out;
    std::string errors;
    {
      zq_test::StdoutCapture capture_out;
      zq_test::StdoutCapture capture_err(2);
      for (int i = 0; i < c.passes; ++i) service_->CheckCapFaceRoutine();
      out = capture_out.Text();
      errors = capture_err.Text();
    }
    EXPECT_EQ(c.batches, handler.BatchSizes()) << c.name;
    for (const auto& line : c.lines) {
      size_t seen = 0;
      for (size_t at = out.find(line.first); at != std::string::npos; at = out.find(line.first, at + 1)) ++seen;
      EXPECT_EQ(line.second, seen) << c.name << ": " << line.first;
    }
    EXPECT_EQ(c.errors, errors) << c.name;
    stand_in::Counters counters = stand_in::GetCounters();
    EXPECT_EQ(c.inits, counters.inits) << c.name;
    EXPECT_EQ(c.uninits, counters.uninits) << c.name;
  }
}

struct HostileCase {
  const char* name;
  std::vector<stand_in::ScriptedRead> list_reads;
  std::string list;
  std::vector<stand_in::ScriptedRead> image_reads;
  std::vector<size_t> batches;
  std::vector<std::string> faces;  // Describe() of the first batch, when given
  std::string line;                // a stdout text that must show
};

std::string Padded(const std::string& text, size_t size) { return text + std::string(size - text.size(), ' '); }

TEST_F(DataUploadServiceTest, HostileListsAndImagesAreHandledSafely) {
  const std::string url = "\"faceDetect_url\":\"datatype=1&timestamp=1&objectID=1\"";
  const std::string one = "{\"Group_Num\":1,\"Groups\":[{" + url + "}]}";
  const std::string empty_list = "{\"Group_Num\":0}";
  const int cap = FACE_BUFFER_SIZE;
  std::string seventeen = "{\"Group_Num\":17,\"Groups\":[";
  for (int i = 0; i < 17; ++i) seventeen += std::string(i > 0 ? "," : "") + "{" + url + "}";
  seventeen += "]}";
  const std::vector<stand_in::ScriptedRead> whole_images(17, {cap, std::string(cap, '\x01')});
  std::string long_url(200000, 'a');
  for (size_t i = 1; i < long_url.size(); i += 2) long_url[i] = '&';
  const HostileCase cases[] = {
      {"list fills the whole capacity, no NUL", {{cap, Padded(empty_list, cap)}}, "", {}, {0}, {}, ""},
      {"list result above the capacity", {{2 * cap, Padded(one, cap)}}, "", {}, {1}, {}, ""},
      {"NUL inside the list ends it", {{40, std::string("{\"Group_Num\":0}\0{garbage", 25)}}, "", {}, {0}, {}, ""},
      {"deep nesting", {}, std::string(100000, '[') + std::string(100000, ']'), {}, {0}, {}, ""},
      {"unterminated deep nesting", {}, std::string(100000, '['), {}, {}, {}, ""},
      {"Group_Num beyond int64", {}, "{\"Group_Num\":18446744073709551615,\"Groups\":[{" + url + "}]}", {}, {1}, {}, ""},
      {"Group_Num as a huge fraction", {}, "{\"Group_Num\":1e300,\"Groups\":[{" + url + "}]}", {}, {1}, {},
       "face num: 2147483647\n"},
      {"Group_Num negative", {}, "{\"Group_Num\":-5,\"Groups\":[{" + url + "}]}", {}, {0}, {}, ""},
      {"Group_Num as text", {}, "{\"Group_Num\":\"1\",\"Groups\":[{" + url + "}]}", {}, {0}, {}, ""},
      {"Groups not an array", {}, "{\"Group_Num\":1,\"Groups\":{" + url + "}}", {}, {0}, {}, ""},
      {"groups without a string url are skipped", {},
       "{\"Group_Num\":4,\"Groups\":[5,{\"faceDetect_url\":7},{\"trackerInfo\":{}},{" + url + "}]}", {}, {1}, {},
       "faceDetecturl missing, group 0 skipped\n"},
      {"extreme rectangle and pose saturate", {},
       "{\"Group_Num\":1,\"Groups\":[{" + url +
           ",\"trackerInfo\":{\"rect\":{\"right\":2147483647,\"left\":-2147483648,\"top\":1e300,\"bottom\":-1e300},"
           "\"confidence\":-0.9,\"quality\":\"high\",\"pose\":{\"roll\":1e300,\"pitch\":-1e300,\"yaw\":2147483648.5}}}]}",
       {}, {1}, {"len=3 rect=-2147483648,2147483647,2147483647,-2147483648 pose=-2147483648,2147483647,2147483647 "
                 "conf=0 qual=0 ts=0 image=696d67"}, ""},
      {"members of other kinds read as 0", {},
       "{\"Group_Num\":1,\"Groups\":[{" + url +
           ",\"trackerInfo\":{\"rect\":{\"top\":\"1\",\"left\":null,\"bottom\":[2],\"right\":true},\"pose\":7}}]}",
       {}, {1}, {"len=3 rect=0,0,0,0 pose=0,0,0 conf=0 qual=0 ts=0 image=696d67"}, ""},
      {"image length above the capacity", {}, one, {{cap + 1, "abc"}}, {0}, {}, "sharebuf error\n"},
      {"negative image length", {}, one, {{-7, ""}}, {0}, {}, "sharebuf error\n"},
      {"image filling the capacity", {}, one, {{cap, std::string(cap, '\xff')}}, {1}, {}, ""},
      {"overflowing locator numbers", {},
       "{\"Group_Num\":1,\"Groups\":[{\"faceDetect_url\":\"datatype=99999999999&timestamp=99999999999999999999999"
       "&objectID=1\"}]}",
       {}, {0}, {}, "face not put or covered,may try get\n"},
      {"a batch holds at most 16 MiB of images", {}, seventeen, whole_images,
       {16}, {}, "face batch image limit reached, 1 faces skipped\n"},
      {"strings in another encoding are taken as bytes", {},
       "{\"Group_Num\":1,\"camera\":\"Caf\xe9 \xff\xfe\",\"Groups\":[{" + url + "}]}", {}, {1}, {}, ""},
      {"very long url", {}, "{\"Group_Num\":1,\"Groups\":[{\"faceDetect_url\":\"" + long_url + "\"}]}", {}, {0}, {}, ""},
  };
  for (const HostileCase& c : cases) {
    Fresh();
    RecordingHandler handler;
    service_->RegisterHandler(&handler);
    writer_.PutImage(1, 1, 1, "img");
    if (!c.list.empty()) writer_.PutList(next_seq_++, c.list);
    stand_in::ScriptListReads(c.list_reads);
    stand_in::ScriptImageReads(c.image_reads);
    std::string out;
    {
      zq_test::StdoutCapture capture;
      service_->CheckCapFaceRoutine();
      out = capture.Text();
    }
    ASSERT_EQ(c.batches, handler.BatchSizes()) << c.name;
    if (!c.faces.empty()) {
      EXPECT_EQ(c.faces, handler.Described(0)) << c.name;
    }
    if (!c.line.empty()) {
      EXPECT_NE(std::string::npos, out.find(c.line)) << c.name;
    }
  }
  // The image that filled the capacity arrived whole.
  Fresh();
  RecordingHandler handler;
  service_->RegisterHandler(&handler);
  stand_in::ScriptListReads({{static_cast<int>(one.size()), one}});
  stand_in::ScriptImageReads({{cap, std::string(cap, '\x7f')}});
  service_->CheckCapFaceRoutine();
  ASSERT_EQ(std::vector<size_t>{1}, handler.BatchSizes());
  EXPECT_EQ(cap, handler.Batch(0)[0].image_len);
  EXPECT_EQ(std::string(cap, '\x7f'), std::string(handler.Batch(0)[0].image.get(), cap));
  // The overflowing locator numbers saturated.
  Fresh();
  writer_.PutList(next_seq_++,
                  "{\"Group_Num\":1,\"Groups\":[{\"faceDetect_url\":\"datatype=99999999999&timestamp="
                  "99999999999999999999999&objectID=-99999999999\"}]}");
  service_->CheckCapFaceRoutine();
  auto lookups = stand_in::GetCounters().lookups;
  ASSERT_EQ(1u, lookups.size());
  EXPECT_EQ(18446744073709551615ull, lookups[0].timestamp);
  EXPECT_EQ(2147483647, lookups[0].datatype);
  EXPECT_EQ(-2147483647 - 1, lookups[0].objectID);
}

// A list of groups naming images by size only (0: an image never put).
std::string ListOfImageSizes(const std::vector<int>& sizes) {
  std::string text = "{\"Group_Num\":" + std::to_string(sizes.size()) + ",\"Groups\":[";
  for (size_t i = 0; i < sizes.size(); ++i) {
    text += std::string(i > 0 ? "," : "") + "{\"faceDetect_url\":\"datatype=1&timestamp=" + std::to_string(sizes[i]) +
            "&objectID=1\"}";
  }
  return text + "]}";
}

TEST_F(DataUploadServiceTest, TheFetchAsksForNoImageOnceTheBatchIsFull) {
  const int mib = FACE_BUFFER_SIZE;
  const int nearly = 1000000;  // sixteen fit, the seventeenth does not
  struct Case {
    const char* name;
    std::vector<int> sizes;
    uint64_t lookups;
    size_t faces;
    std::string warning;  // "" when nothing is dropped
  };
  std::vector<int> alternating;
  for (int i = 0; i < 40; ++i) alternating.push_back(i % 2 == 0 ? mib : 0);
  const Case cases[] = {
      {"one 1 MiB image named 5000 times", std::vector<int>(5000, mib), 16, 16,
       "face batch image limit reached, 4984 faces skipped\n"},
      {"the image that does not fit ends the list", std::vector<int>(300, nearly), 17, 16,
       "face batch image limit reached, 284 faces skipped\n"},
      {"images not found take no room", alternating, 31, 16, "face batch image limit reached, 9 faces skipped\n"},
      {"a list within the limit is fetched whole", std::vector<int>(10, mib), 10, 10, ""},
  };
  writer_.PutImage(mib, 1, 1, std::string(mib, '\x11'));
  writer_.PutImage(nearly, 1, 1, std::string(nearly, '\x22'));
  for (const Case& c : cases) {
    Fresh();
    RecordingHandler handler;
    service_->RegisterHandler(&handler);
    writer_.PutList(next_seq_++, ListOfImageSizes(c.sizes));
    std::string out;
    {
      zq_test::StdoutCapture capture;
      service_->CheckCapFaceRoutine();
      out = capture.Text();
    }
    EXPECT_EQ(c.lookups, stand_in::GetCounters().lookup_count) << c.name;
    ASSERT_EQ(std::vector<size_t>{c.faces}, handler.BatchSizes()) << c.name;
    int64_t bytes = 0;
    for (const FaceInfo_Upload& face : handler.Batch(0)) bytes += face.image_len;
    EXPECT_LE(bytes, zq_camera_service::FACE_BATCH_IMAGE_LIMIT) << c.name;
    if (c.warning.empty()) {
      EXPECT_EQ(std::string::npos, out.find("face batch image limit reached")) << c.name;
    } else {
      EXPECT_NE(std::string::npos, out.find("Service | WARN: " + c.warning)) << c.name << "\n" << out.substr(0, 2000);
    }
  }
}

TEST_F(DataUploadServiceTest, TheLocatorStartsEachPassAtZeroAndCarriesOverBetweenGroups) {
  // Pieces a url lacks keep what the group before it gave, within one pass.
  writer_.PutList(next_seq_++,
                  "{\"Group_Num\":3,\"Groups\":[{\"faceDetect_url\":\"datatype=4&timestamp=6000000000&objectID=1\"},"
                  "{\"faceDetect_url\":\"objectID=2\"},{\"faceDetect_url\":\"datatype=5&x=1\"}]}");
  service_->CheckCapFaceRoutine();
  writer_.PutList(next_seq_++, "{\"Group_Num\":1,\"Groups\":[{\"faceDetect_url\":\"objectID=3\"}]}");
  service_->CheckCapFaceRoutine();
  const std::vector<std::string> expected = {"6000000000/4/1", "6000000000/4/2", "6000000000/5/2", "0/0/3"};
  std::vector<std::string> seen;
  for (const stand_in::Lookup& l : stand_in::GetCounters().lookups) {
    seen.push_back(std::to_string(l.timestamp) + "/" + std::to_string(l.datatype) + "/" + std::to_string(l.objectID));
  }
  EXPECT_EQ(expected, seen);
}

TEST_F(DataUploadServiceTest, WithoutNewListsTheFetchThreadReadsEvery400Ms) {
  ASSERT_EQ(0, service_->StartService());
  std::this_thread::sleep_for(2s);
  int reads = stand_in::GetCounters().list_reads;
  service_->StopService();
  // About 5 reads in 2 s at 400 ms a pass (10 at 200 ms); generous bounds for slow machines.
  EXPECT_GE(reads, 2);
  EXPECT_LE(reads, 7);
}

TEST_F(DataUploadServiceTest, RegistryKeepsOneEntryPerConsumer) {
  EXPECT_EQ(-1, service_->UnregisterHandler(&first_)) << "empty registry";
  EXPECT_EQ(0, service_->RegisterHandler(&first_));
  EXPECT_EQ(0, service_->RegisterHandler(&first_));
  EXPECT_EQ(0, service_->RegisterHandler(nullptr));
  EXPECT_EQ(-1, service_->UnregisterHandler(&second_)) << "not registered";
  writer_.PutList(next_seq_++, OneFaceList());
  service_->CheckCapFaceRoutine();
  EXPECT_EQ(1u, first_.BatchCount()) << "registered twice, called once";

  EXPECT_EQ(0, service_->UnregisterHandler(&first_));
  EXPECT_EQ(-1, service_->UnregisterHandler(&first_));
  writer_.PutList(next_seq_++, OneFaceList());
  service_->CheckCapFaceRoutine();
  EXPECT_EQ(1u, first_.BatchCount()) << "no batch after unregistering";
}

TEST_F(DataUploadServiceTest, DirectBatchesAreCopiedRecordByRecord) {
  FaceInfo_Upload faces[3];
  faces[0].image_len = 2;
  faces[0].image.reset(new char[2]{'\0', '\xff'});
  faces[0].left = -1;
  faces[0].timestamp = 9;
  faces[1].image_len = 5;  // a length without bytes: no array, the length stays
  faces[2].image_len = 1;
  faces[2].image.reset(new char[1]{'z'});
  faces[2].quality = 4;
  service_->RegisterHandler(&first_);
  // A consumer that edits what it is handed must not make the service
  // release anything twice.
  first_.OnBatch([](std::vector<FaceInfo_Upload*>& handed) { handed.clear(); });
  service_->OnHandleFaceInfo(3, faces);
  ASSERT_EQ(std::vector<size_t>{3}, first_.BatchSizes());
  EXPECT_EQ((std::vector<std::string>{"len=2 rect=-1,0,0,0 pose=0,0,0 conf=0 qual=0 ts=9 image=00ff",
                                      "len=5 rect=0,0,0,0 pose=0,0,0 conf=0 qual=0 ts=0 image=none",
                                      "len=1 rect=0,0,0,0 pose=0,0,0 conf=0 qual=4 ts=0 image=7a"}),
            first_.Described(0));
  EXPECT_TRUE(faces[0].image) << "the caller's records are left alone";

  std::string errors;
  {
    zq_test::StdoutCapture capture(2);
    service_->OnHandleFaceInfo(2, nullptr);
    service_->OnHandleFaceInfo(-3, faces);
    errors = capture.Text();
  }
  EXPECT_EQ("OnHandleInfo failed null\n", errors);
  EXPECT_EQ((std::vector<size_t>{3, 0, 0}), first_.BatchSizes());

  service_->RemoveFaceInfoFromPool(nullptr);
  service_->RemoveFaceInfoFromPool(&faces[0]);
  EXPECT_FALSE(faces[0].image);
  EXPECT_EQ(2, faces[0].image_len);
}

TEST_F(DataUploadServiceTest, FifosNamedLikeAListOrAnImageDoNotHoldUpTheFetchThread) {
  zq_test::FifoTraps traps;
  service_->RegisterHandler(&first_);
  ASSERT_EQ(0, service_->StartService());
  // The newest list name is a FIFO; then a list whose first image is one.
  traps.Put(stand_in::FaceListPath(dir_.path(), next_seq_++));
  writer_.PutImage(2, 1, 2, "second");
  traps.Put(stand_in::FaceImagePath(dir_.path(), 2, 1, 1));
  bool delivered = false;
  // Stopping joins the fetch thread, so it is inside the bounded call too.
  EXPECT_TRUE(traps.ReturnsWithin(10s, [&] {
    std::this_thread::sleep_for(600ms);  // a few passes over the FIFO list
    writer_.PutList(next_seq_++,
                    "{\"Group_Num\":2,\"Groups\":[{\"faceDetect_url\":\"datatype=1&timestamp=2&objectID=1\"},"
                    "{\"faceDetect_url\":\"datatype=1&timestamp=2&objectID=2\"}]}");
    delivered = first_.WaitForBatches(1, 3s);
    service_->StopService();
  }));
  EXPECT_TRUE(delivered) << "the fetch thread went on past both FIFOs";
  ASSERT_EQ(std::vector<size_t>{1}, first_.BatchSizes());
  EXPECT_EQ(std::string("second"), std::string(first_.Batch(0)[0].image.get(), 6));
}

TEST_F(DataUploadServiceTest, FetchThreadDeliversAndStopsPromptly) {
  service_->RegisterHandler(&first_);
  ASSERT_EQ(0, service_->StartService());
  EXPECT_EQ(0, service_->StartService()) << "one fetch thread per service";
  writer_.PutList(next_seq_++, OneFaceList());
  ASSERT_TRUE(first_.WaitForBatches(1, 5s));
  writer_.PutList(next_seq_++, OneFaceList());
  ASSERT_TRUE(first_.WaitForBatches(2, 5s));
  EXPECT_EQ((std::vector<size_t>{1, 1}), first_.BatchSizes());

  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(0, service_->StopService());
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "the sleeping thread is woken, not waited out";
  EXPECT_EQ(0, stand_in::GetCounters().open_handles);
  EXPECT_EQ(0, service_->StopService()) << "stopping twice is harmless";
}

TEST_F(DataUploadServiceTest, RegistrationsMeetRunningDispatchSafely) {
  RecordingHandler steady;
  RecordingHandler churn;
  service_->RegisterHandler(&steady);
  ASSERT_EQ(0, service_->StartService());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 40 && !done; ++i) {
      writer_.PutList(1000 + i, OneFaceList());
      std::this_thread::sleep_for(25ms);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    service_->RegisterHandler(&churn);
    service_->UnregisterHandler(&churn);
  }
  EXPECT_TRUE(steady.WaitForBatches(1, 5s));
  done = true;
  writer.join();
  service_->StopService();
  size_t churned = churn.BatchCount();
  EXPECT_LE(churned, steady.BatchCount());
}

}  // namespace
