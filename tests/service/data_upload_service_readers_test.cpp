// The capture service's camera-picture and H.264 stream readers against the
// share-buffer stand-in: frame files of buffers 34 and 35 written the way the
// camera software puts them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/frame_share_buf_writer.h"
#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "service/data_upload_service.h"
#include "service/share_buf_frame_header.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::DataUploadService;
using zq_camera_service::FaceInfo_Upload;
using zq_camera_service::IDataUploadService;
using zq_camera_service::kMaxShareBufFrameLength;
using zq_fakes::FrameShareBufWriter;
namespace stand_in = zq_camera_service::platform::share_buf_stand_in;

constexpr int kPicture = 34;
constexpr int kStream = 35;

class PictureRecorder : public IDataUploadService {
 public:
  void OnFaceDataUploadCallback(std::vector<FaceInfo_Upload*>&) override {}
  void OnCameraDataUploadCallback(int length, char* picture) override {
    pictures.emplace_back(picture, static_cast<size_t>(length));
    if (during_call) during_call();
  }

  std::vector<std::string> pictures;
  std::function<void()> during_call;
};

// Bytes that show any mix-up: NUL, 0xff and a position-dependent pattern.
std::string Pattern(size_t length, char seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) & 0xff);
  if (length > 1) bytes[1] = '\0';
  if (length > 2) bytes[2] = '\xff';
  return bytes;
}

class ReadersTest : public ::testing::Test {
 protected:
  ReadersTest() : settings_(4, 3, ""), writer_(dir_.path()) {
    stand_in::Reset();
    stand_in::SetDirectory(dir_.path());
    DataUploadService::ResetFrameTimesForTest();
    service_ = std::make_unique<DataUploadService>();
  }
  ~ReadersTest() override {
    service_.reset();
    stand_in::Reset();
    DataUploadService::ResetFrameTimesForTest();
  }

  void PutPicture(uint64_t seq, uint64_t time, const std::string& data) {
    writer_.PutFrame(kPicture, seq, FrameShareBufWriter::FrameBytes(time, false, data));
  }
  void PutStreamFrame(uint64_t seq, uint64_t time, bool key, const std::string& data) {
    writer_.PutFrame(kStream, seq, FrameShareBufWriter::FrameBytes(time, key, data));
  }

  // Requests the stream and waits until the stream thread has opened buffer 35.
  void StartStream() {
    const int before = stand_in::GetCounters().inits;
    service_->stream_requested = true;
    service_->CheckCapCameraStreamRoutine();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (stand_in::GetCounters().inits == before && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(before + 1, stand_in::GetCounters().inits) << "the stream thread opened buffer 35";
  }

  // One read of up to `len` bytes; the bytes copied, or "<-1>" for -1.
  std::string Read(int len) {
    std::vector<char> buffer(static_cast<size_t>(len) + 16, '\x5a');
    int n = service_->ReadCapH264Stream(buffer.data(), len);
    if (n < 0) return "<" + std::to_string(n) + ">";
    EXPECT_LE(n, len);
    EXPECT_EQ('\x5a', buffer[static_cast<size_t>(len)]) << "nothing written past len";
    return std::string(buffer.data(), static_cast<size_t>(n));
  }

  zq_test::ScopedLogSettings settings_;
  zq_test::TempDir dir_{"zqframes"};
  FrameShareBufWriter writer_;
  std::unique_ptr<DataUploadService> service_;
};

TEST_F(ReadersTest, PictureRoutineWithoutRequestOnlyOpensTheBuffer) {
  std::string printed;
  {
    zq_test::StdoutCapture capture;
    service_->CheckCapCameraPicRoutine();
    service_->CheckCapCameraPicRoutine();
    printed = capture.Text();
  }
  const stand_in::Counters counters = stand_in::GetCounters();
  EXPECT_EQ(1, counters.inits) << "opened once";
  EXPECT_EQ(0, counters.picture_reads);
  EXPECT_NE(std::string::npos, printed.find("Camera rountine 0 ")) << printed;
}

TEST_F(ReadersTest, PictureBufferThatCannotBeOpenedIsTriedAgain) {
  stand_in::FailInits(1);
  service_->camera_pic_requested = true;
  PutPicture(1, 100, "pic");
  PictureRecorder recorder;
  service_->RegisterHandler(&recorder);
  {
    zq_test::StdoutCapture capture;
    service_->CheckCapCameraPicRoutine();
    EXPECT_NE(std::string::npos, capture.Text().find("Failed to create camera instance"));
  }
  EXPECT_TRUE(recorder.pictures.empty());
  EXPECT_TRUE(service_->camera_pic_requested.load());
  service_->CheckCapCameraPicRoutine();
  EXPECT_EQ(std::vector<std::string>{"pic"}, recorder.pictures);
  service_->UnregisterHandler(&recorder);
}

TEST_F(ReadersTest, PictureRequestStaysPendingUntilANewFrame) {
  PictureRecorder first;
  PictureRecorder second;
  service_->RegisterHandler(&first);
  service_->RegisterHandler(&second);
  service_->camera_pic_requested = true;

  // No frame at all: three reads, then the request stays pending.
  {
    zq_test::StdoutCapture capture;
    service_->CheckCapCameraPicRoutine();
    EXPECT_NE(std::string::npos, capture.Text().find("Not camera pic found"));
  }
  EXPECT_EQ(3, stand_in::GetCounters().picture_reads);
  EXPECT_TRUE(service_->camera_pic_requested.load());
  EXPECT_TRUE(first.pictures.empty());

  const std::string small = Pattern(300, 'a');
  PutPicture(1, 100, small);
  service_->CheckCapCameraPicRoutine();
  EXPECT_EQ(std::vector<std::string>{small}, first.pictures);
  EXPECT_EQ(std::vector<std::string>{small}, second.pictures);
  EXPECT_FALSE(service_->camera_pic_requested.load());

  // The same frame again is not new.
  service_->camera_pic_requested = true;
  service_->CheckCapCameraPicRoutine();
  EXPECT_EQ(1u, first.pictures.size());
  EXPECT_TRUE(service_->camera_pic_requested.load());

  // A larger second picture is held in full, a smaller third one exactly.
  const std::string large = Pattern(200000, 'b');
  PutPicture(2, 101, large);
  service_->CheckCapCameraPicRoutine();
  const std::string smaller = Pattern(10, 'c');
  PutPicture(3, 102, smaller);
  service_->camera_pic_requested = true;
  service_->CheckCapCameraPicRoutine();
  for (PictureRecorder* recorder : {&first, &second}) {
    ASSERT_EQ(3u, recorder->pictures.size());
    EXPECT_EQ(large, recorder->pictures[1]);
    EXPECT_EQ(smaller, recorder->pictures[2]);
  }
  // Without a request nothing more is handed out.
  PutPicture(4, 103, "more");
  service_->CheckCapCameraPicRoutine();
  EXPECT_EQ(3u, first.pictures.size());
  service_->UnregisterHandler(&first);
  service_->UnregisterHandler(&second);
}

TEST_F(ReadersTest, RequestRaisedWhileAPictureIsHandedOutStaysPending) {
  PictureRecorder recorder;
  recorder.during_call = [this] { service_->camera_pic_requested = true; };
  service_->RegisterHandler(&recorder);
  PutPicture(1, 100, "first");
  service_->camera_pic_requested = true;
  service_->CheckCapCameraPicRoutine();
  EXPECT_TRUE(service_->camera_pic_requested.load());
  recorder.during_call = nullptr;
  PutPicture(2, 101, "second");
  service_->CheckCapCameraPicRoutine();
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), recorder.pictures);
  service_->UnregisterHandler(&recorder);
}

TEST_F(ReadersTest, HostileFrameLengthsAreNoFrame) {
  struct Case {
    std::string what;
    std::string bytes;
  };
  const uint64_t big = kMaxShareBufFrameLength + 1;
  const Case cases[] = {
      {"length beyond the data", FrameShareBufWriter::FrameBytes(200, 1000, false, Pattern(10, 'x'))},
      {"length of all ones", FrameShareBufWriter::FrameBytes(201, 0xffffffffu, false, Pattern(64, 'x'))},
      {"length above the cap, data and all",
       FrameShareBufWriter::FrameBytes(202, static_cast<uint32_t>(big), false, std::string(big, 'x'))},
      {"length 0 with data", FrameShareBufWriter::FrameBytes(203, 0, false, "data")},
      {"shorter than a header", std::string(20, '\x01')},
      {"empty file", ""},
  };
  PictureRecorder recorder;
  service_->RegisterHandler(&recorder);
  uint64_t seq = 1;
  for (const Case& c : cases) {
    writer_.PutFrame(kPicture, seq++, c.bytes);
    service_->camera_pic_requested = true;
    service_->CheckCapCameraPicRoutine();
    EXPECT_TRUE(recorder.pictures.empty()) << c.what;
    EXPECT_TRUE(service_->camera_pic_requested.load()) << c.what;
  }
  // The largest frame accepted is exactly the cap.
  const std::string largest = Pattern(kMaxShareBufFrameLength, 'z');
  PutPicture(seq, 300, largest);
  service_->CheckCapCameraPicRoutine();
  ASSERT_EQ(1u, recorder.pictures.size());
  EXPECT_TRUE(recorder.pictures[0] == largest);
  service_->UnregisterHandler(&recorder);
}

TEST_F(ReadersTest, StreamIsClosedUntilRequestedAndStarted) {
  char buffer[8];
  EXPECT_EQ(-1, service_->ReadCapH264Stream(buffer, 8)) << "not requested, not open";
  service_->stream_requested = true;
  EXPECT_EQ(-1, service_->ReadCapH264Stream(buffer, 8)) << "requested, thread not started";
  StartStream();
  EXPECT_EQ(0, service_->ReadCapH264Stream(buffer, 8));
  EXPECT_EQ(-1, service_->ReadCapH264Stream(nullptr, 8));
  EXPECT_EQ(-1, service_->ReadCapH264Stream(buffer, -1));
  EXPECT_EQ(0, service_->ReadCapH264Stream(nullptr, 0));
  // A routine call that changes nothing starts no second thread.
  service_->CheckCapCameraStreamRoutine();
  EXPECT_EQ(1, stand_in::GetCounters().inits);
}

TEST_F(ReadersTest, StreamSkipsFramesBeforeTheFirstKeyFrame) {
  StartStream();
  PutStreamFrame(1, 10, false, "AA");
  PutStreamFrame(2, 11, false, "BB");
  PutStreamFrame(3, 12, true, "KK");
  PutStreamFrame(4, 13, false, "CC");
  EXPECT_EQ("KK", Read(100));
  EXPECT_EQ("CC", Read(100));
  // Nothing new: three reads, then the reader gives up.
  const int reads = stand_in::GetCounters().stream_reads;
  EXPECT_EQ("", Read(100));
  EXPECT_EQ(reads + 3, stand_in::GetCounters().stream_reads);
}

TEST_F(ReadersTest, StreamGivesUpAfterThreeFramesWithoutAKeyFrame) {
  StartStream();
  for (uint64_t i = 0; i < 4; ++i) PutStreamFrame(1 + i, 20 + i, false, "n");
  PutStreamFrame(5, 24, true, "key");
  PutStreamFrame(6, 25, false, "p");
  EXPECT_EQ("", Read(100));
  EXPECT_EQ(3, stand_in::GetCounters().stream_reads);
  EXPECT_EQ("key", Read(100)) << "the fourth non-key frame is skipped, then the key frame";
  EXPECT_EQ("p", Read(100));
}

TEST_F(ReadersTest, StreamCopyOutTable) {
  StartStream();
  const std::string f60 = Pattern(60, 'a');
  const std::string f70 = Pattern(70, 'b');
  const std::string f50 = Pattern(50, 'c');
  const std::string f5 = Pattern(5, 'd');
  struct Step {
    std::string what;
    std::string frame;  // put before the read; "" for none
    bool key;
    int len;
    std::string expected;
  };
  const std::vector<Step> steps = {
      {"queue 60 without copying", f60, true, 0, ""},
      {"60 whole and 40 of 70", f70, false, 100, f60 + f70.substr(0, 40)},
      {"the 30 left first", f50, false, 100, f70.substr(40) + f50},
      {"exactly one frame", f5, false, 5, f5},
      {"nothing queued, nothing new", "", false, 100, ""},
      {"a frame read in pieces", f70, false, 30, f70.substr(0, 30)},
      {"second piece", "", false, 30, f70.substr(30, 30)},
      {"last piece and no more", "", false, 30, f70.substr(60)},
  };
  uint64_t seq = 1;
  for (const Step& step : steps) {
    if (!step.frame.empty()) {
      PutStreamFrame(seq, 100 + seq, step.key, step.frame);
      ++seq;
    }
    EXPECT_EQ(step.expected, Read(step.len)) << step.what;
  }
}

TEST_F(ReadersTest, StreamQueueDropsTheOldestFramesPastItsBounds) {
  using zq_camera_service::kMaxQueuedH264Bytes;
  using zq_camera_service::kMaxQueuedH264Frames;
  StartStream();
  // A caller that reads less than the stream brings: each read queues one
  // frame. The first frame is read in part, then pushed out whole.
  const size_t frames = kMaxQueuedH264Frames + 6;
  for (uint64_t i = 1; i <= frames; ++i) PutStreamFrame(i, 1000 + i, i == 1, Pattern(20, static_cast<char>(i)));
  EXPECT_EQ(Pattern(20, 1).substr(0, 10), Read(10));
  std::string out;
  {
    zq_test::StdoutCapture capture;
    for (size_t i = 2; i <= frames; ++i) Read(0);
    out = capture.Text();
  }
  EXPECT_NE(std::string::npos, out.find("Service | WARN: h264 queue full, 1 oldest frames dropped\n")) << out;
  std::string newest;
  for (size_t i = frames - kMaxQueuedH264Frames + 1; i <= frames; ++i) newest += Pattern(20, static_cast<char>(i));
  EXPECT_EQ(newest, Read(static_cast<int>(frames * 20))) << "the newest frames, each whole";

  // Large frames: the byte bound holds, a queue exactly at it is kept.
  const size_t quarter = kMaxQueuedH264Bytes / 4;
  for (uint64_t i = 0; i < 5; ++i) PutStreamFrame(100 + i, 2000 + i, false, Pattern(quarter, static_cast<char>(i)));
  for (int i = 0; i < 5; ++i) Read(0);
  std::string held = Read(static_cast<int>(kMaxQueuedH264Bytes + quarter));
  ASSERT_EQ(kMaxQueuedH264Bytes, held.size());
  EXPECT_EQ(Pattern(quarter, 1), held.substr(0, quarter)) << "the first large frame was dropped";
  EXPECT_EQ(Pattern(quarter, 4), held.substr(3 * quarter));
}

TEST_F(ReadersTest, StreamFramesWithHostileLengthsAreNotQueued) {
  StartStream();
  writer_.PutFrame(kStream, 1, FrameShareBufWriter::FrameBytes(50, 500, true, "short"));
  writer_.PutFrame(kStream, 2, FrameShareBufWriter::FrameBytes(51, 0xffffffffu, true, "x"));
  writer_.PutFrame(kStream, 3, std::string(39, '\x01'));
  EXPECT_EQ("", Read(100));
  PutStreamFrame(4, 52, true, "good");
  EXPECT_EQ("good", Read(100));
}

TEST_F(ReadersTest, StoppingTheStreamResetsItsState) {
  StartStream();
  PutStreamFrame(1, 10, true, Pattern(60, 'a'));
  EXPECT_EQ(20u, Read(20).size());
  service_->stream_requested = false;
  service_->CheckCapCameraStreamRoutine();
  EXPECT_EQ("<-1>", Read(100)) << "no longer requested";

  // Requested again: the queue and the key-frame state start empty, the
  // buffer stays open, and a frame already served is not new.
  service_->stream_requested = true;
  service_->CheckCapCameraStreamRoutine();
  PutStreamFrame(2, 11, false, "after");
  PutStreamFrame(3, 12, true, "key");
  EXPECT_EQ("key", Read(100));
  EXPECT_EQ(1, stand_in::GetCounters().inits);

  // Stopping the service joins the thread and closes every buffer it opened.
  service_->StopService();
  EXPECT_EQ(0, stand_in::GetCounters().open_handles);
  EXPECT_EQ("<-1>", Read(100));
}

}  // namespace
