#include "service/ipc_frame_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/ipc_message.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::IpcFrameHeader;
using zq_camera_service::IpcFrameReader;

std::string Frame(const std::string& body, int32_t header_size = 40, int32_t body_size = -1) {
  IpcFrameHeader header;
  header.header_size = header_size;
  header.body_size = body_size >= 0 ? body_size : static_cast<int32_t>(body.size());
  std::string frame(40, '\0');
  zq_camera_service::EncodeIpcFrameHeader(header, &frame[0]);
  return frame + body;
}

// What the reader hands out for the stream cut into the given receives.
struct Outcome {
  std::vector<std::string> frames;
  bool broken = false;
  size_t left = 0;  // bytes still buffered
};

Outcome Feed(const std::vector<std::string>& receives) {
  IpcFrameReader reader;
  Outcome outcome;
  for (const std::string& bytes : receives) {
    reader.Append(bytes.data(), bytes.size());
    std::string frame;
    IpcFrameReader::Result result;
    while ((result = reader.Next(&frame)) == IpcFrameReader::kFrameReady) outcome.frames.push_back(frame);
    if (result == IpcFrameReader::kBrokenStream) {
      outcome.broken = true;
      break;
    }
  }
  outcome.left = reader.buffered();
  return outcome;
}

class IpcFrameReaderTest : public ::testing::Test {
 protected:
  zq_test::ScopedLogSettings settings_{4, 3, ""};
  zq_test::StdoutCapture capture_;
};

TEST_F(IpcFrameReaderTest, FramesAreCutByTheirHeaderWhateverTheReceives) {
  const std::string small = Frame("{\"Response\":{\"RequestId\":\"1\"}}");
  const std::string other = Frame("{\"Response\":{\"RequestId\":\"2\"}}");
  const std::string empty = Frame("");
  const std::string largest = Frame(std::string(1048576 - 40, 'x'));
  struct Case {
    const char* name;
    std::vector<std::string> receives;
    std::vector<std::string> frames;
    size_t left;
  };
  const Case cases[] = {
      {"one exact frame", {small}, {small}, 0},
      {"header only", {small.substr(0, 40)}, {}, 40},
      {"header alone, then the body", {small.substr(0, 40), small.substr(40)}, {small}, 0},
      {"two frames in one receive", {small + other}, {small, other}, 0},
      {"a frame and the start of the next", {small + other.substr(0, 7), other.substr(7)}, {small, other}, 0},
      {"a frame and part of the next", {small + other.substr(0, 50)}, {small}, 50},
      {"header-only frame", {empty + small}, {empty, small}, 0},
      {"the largest frame a block holds", {largest.substr(0, 65536), largest.substr(65536)}, {largest}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = Feed(c.receives);
    EXPECT_FALSE(outcome.broken);
    EXPECT_EQ(c.frames, outcome.frames);
    EXPECT_EQ(c.left, outcome.left);
  }
  EXPECT_EQ(std::string::npos, capture_.Text().find("ERROR"));
}

TEST_F(IpcFrameReaderTest, SmallFrameSplitAtEveryOffsetComesOutWhole) {
  const std::string frame = Frame("{\"Response\":{\"RequestId\":\"7\"}}");
  for (size_t cut = 1; cut < frame.size(); ++cut) {
    Outcome outcome = Feed({frame.substr(0, cut), frame.substr(cut)});
    ASSERT_EQ(std::vector<std::string>{frame}, outcome.frames) << "cut at " << cut;
    EXPECT_EQ(0u, outcome.left);
  }
  // And one byte per receive.
  std::vector<std::string> bytes;
  for (char ch : frame) bytes.emplace_back(1, ch);
  EXPECT_EQ(std::vector<std::string>{frame}, Feed(bytes).frames);
}

TEST_F(IpcFrameReaderTest, HeaderFailingItsChecksBreaksTheStream) {
  const std::string good = Frame("{}");
  struct Case {
    const char* name;
    std::string bytes;
    const char* log;
  };
  const Case cases[] = {
      {"header_size 41", Frame("{}", 41), "Service | ERROR: Parse raw data failed with head size not correct!\n"},
      {"header_size 0 (zero padding)", std::string(64, '\0'),
       "Service | ERROR: Parse raw data failed with head size not correct!\n"},
      {"body_size above 1 MiB", Frame("{}", 40, 1048576 - 40 + 1),
       "Service | ERROR: Parse raw data failed with head and body size != size!\n"},
      {"body_size 2 GiB", Frame("{}", 40, 0x7fffffff),
       "Service | ERROR: Parse raw data failed with head and body size != size!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = capture_.Text().size();
    // A good frame first is still handed out; nothing after the bad header is.
    Outcome outcome = Feed({good + c.bytes + good});
    EXPECT_TRUE(outcome.broken);
    EXPECT_EQ(std::vector<std::string>{good}, outcome.frames);
    EXPECT_EQ(0u, outcome.left) << "the bytes of a broken stream are discarded";
    EXPECT_NE(std::string::npos, capture_.Text().find(c.log, before));
  }
  // A negative body_size, as a header may carry it on the wire.
  std::string negative = Frame("{}");
  negative[4] = negative[5] = negative[6] = negative[7] = static_cast<char>(0xff);
  Outcome outcome = Feed({negative});
  EXPECT_TRUE(outcome.broken);
  EXPECT_TRUE(outcome.frames.empty());
}

}  // namespace
