// The stand-in's picture (34) and H.264 (35) buffers: which frame file a read
// hands out, and what it writes into the caller's buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "fakes/frame_share_buf_writer.h"
#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "platform/inf_share_buf.h"
#include "service/share_buf_frame_header.h"
#include "support/fifo_traps.h"
#include "support/files.h"

namespace {

namespace stand_in = zq_camera_service::platform::share_buf_stand_in;
using zq_fakes::FrameShareBufWriter;

class ShareBufFramesTest : public ::testing::Test {
 protected:
  ShareBufFramesTest() : writer_(dir_.path()) {
    stand_in::Reset();
    stand_in::SetDirectory(dir_.path());
  }
  ~ShareBufFramesTest() override {
    for (int handle : opened_) Inf_ShareBufUnInit(handle);
    stand_in::Reset();
  }

  int Open(int id) {
    int handle = Inf_ShareBufInit(id, 0);
    if (handle != 0) opened_.push_back(handle);
    return handle;
  }

  // One read into a fresh buffer of `capacity` bytes filled with 0x5a: the
  // result and the bytes it wrote (up to the capacity).
  template <typename Read>
  std::pair<int, std::string> ReadWith(Read read, int handle, int capacity) {
    std::vector<char> buffer(static_cast<size_t>(capacity) + 8, '\x5a');
    int n = read(handle, capacity, buffer.data());
    EXPECT_EQ(std::string(8, '\x5a'), std::string(buffer.data() + capacity, 8)) << "nothing past the capacity";
    size_t shown = n > 0 ? std::min<size_t>(static_cast<size_t>(n), static_cast<size_t>(capacity)) : 0;
    return {n, std::string(buffer.data(), shown)};
  }

  zq_test::TempDir dir_{"zqframes"};
  FrameShareBufWriter writer_;
  std::vector<int> opened_;
};

TEST_F(ShareBufFramesTest, PictureReadsHandOutTheNewestFrameEveryTime) {
  int handle = Open(34);
  ASSERT_NE(0, handle);
  std::vector<char> buffer(64, '\x5a');
  EXPECT_EQ(0, Inf_ShareBufGetCurFrame(handle, 64, buffer.data()));
  EXPECT_EQ(std::string(40, '\0'), std::string(buffer.data(), 40)) << "no frame: a zeroed header";
  EXPECT_EQ('\x5a', buffer[40]);

  const std::string older = FrameShareBufWriter::FrameBytes(1, false, "old");
  const std::string newer = FrameShareBufWriter::FrameBytes(2, false, "new!");
  writer_.PutFrame(34, 7, older);
  writer_.PutFrame(34, 12, newer);
  writer_.PutFrame(34, 9, older);
  zq_test::WriteFile(dir_ / "34/frames/13.tmp", "not a frame");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(std::make_pair(static_cast<int>(newer.size()), newer),
              ReadWith(Inf_ShareBufGetCurFrame, handle, 4096));
  }
  EXPECT_EQ(3, stand_in::GetCounters().picture_reads);
}

TEST_F(ShareBufFramesTest, StreamReadsHandOutEachFrameOnceInOrder) {
  int handle = Open(35);
  ASSERT_NE(0, handle);
  const std::string a = FrameShareBufWriter::FrameBytes(1, true, "a");
  const std::string b = FrameShareBufWriter::FrameBytes(2, false, "bb");
  const std::string c = FrameShareBufWriter::FrameBytes(3, false, "ccc");
  writer_.PutFrame(35, 5, b);
  writer_.PutFrame(35, 2, a);
  EXPECT_EQ(std::make_pair(static_cast<int>(a.size()), a), ReadWith(Inf_ShareBufGetOneFrame, handle, 4096));
  EXPECT_EQ(std::make_pair(static_cast<int>(b.size()), b), ReadWith(Inf_ShareBufGetOneFrame, handle, 4096));
  EXPECT_EQ(0, ReadWith(Inf_ShareBufGetOneFrame, handle, 4096).first) << "nothing after the last one";
  writer_.PutFrame(35, 3, c);  // below the last one handed out: never handed out
  writer_.PutFrame(35, 6, c);
  EXPECT_EQ(std::make_pair(static_cast<int>(c.size()), c), ReadWith(Inf_ShareBufGetOneFrame, handle, 4096));

  // Each handle keeps its own place.
  int other = Open(35);
  EXPECT_EQ(std::make_pair(static_cast<int>(a.size()), a), ReadWith(Inf_ShareBufGetOneFrame, other, 4096));
}

TEST_F(ShareBufFramesTest, FifosNamedLikeFramesAreSkippedWithoutWaiting) {
  using namespace std::chrono_literals;
  int picture = Open(34);
  int stream = Open(35);
  const std::string a = FrameShareBufWriter::FrameBytes(1, true, "a");
  const std::string b = FrameShareBufWriter::FrameBytes(2, false, "bb");
  zq_test::FifoTraps traps;
  // Picture: the newest name is a FIFO, the regular frame below it is handed out.
  writer_.PutFrame(34, 1, a);
  traps.Put(stand_in::FramePath(dir_.path(), 34, 2));
  std::pair<int, std::string> read;
  ASSERT_TRUE(traps.ReturnsWithin(5s, [&] { read = ReadWith(Inf_ShareBufGetCurFrame, picture, 4096); }));
  EXPECT_EQ(std::make_pair(static_cast<int>(a.size()), a), read);
  // Stream: the next name is a FIFO, the stream goes on past it.
  traps.Put(stand_in::FramePath(dir_.path(), 35, 1));
  writer_.PutFrame(35, 2, b);
  ASSERT_TRUE(traps.ReturnsWithin(5s, [&] { read = ReadWith(Inf_ShareBufGetOneFrame, stream, 4096); }));
  EXPECT_EQ(std::make_pair(static_cast<int>(b.size()), b), read);
}

TEST_F(ShareBufFramesTest, FramesLargerThanTheCapacityAreCutAndTheirSizeReturned) {
  int picture = Open(34);
  int stream = Open(35);
  const std::string frame = FrameShareBufWriter::FrameBytes(1, true, std::string(100, 'd'));
  writer_.PutFrame(34, 1, frame);
  writer_.PutFrame(35, 1, frame);
  EXPECT_EQ(std::make_pair(140, frame.substr(0, 50)), ReadWith(Inf_ShareBufGetCurFrame, picture, 50));
  EXPECT_EQ(std::make_pair(140, frame.substr(0, 50)), ReadWith(Inf_ShareBufGetOneFrame, stream, 50));
  // A capacity below the header zeroes only what fits when there is no frame.
  EXPECT_EQ(0, ReadWith(Inf_ShareBufGetOneFrame, stream, 16).first);
}

TEST_F(ShareBufFramesTest, FrameBytesLayOutTheHeader) {
  const std::string bytes = FrameShareBufWriter::FrameBytes(0x0102030405060708ull, 0xa1b2c3d4u, true, "xy");
  ASSERT_EQ(42u, bytes.size());
  EXPECT_EQ(std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8), bytes.substr(0, 8));
  EXPECT_EQ(std::string("\xd4\xc3\xb2\xa1", 4), bytes.substr(8, 4));
  EXPECT_EQ('\x01', bytes[24]);
  EXPECT_EQ("xy", bytes.substr(40));
  const zq_camera_service::ShareBufFrameHeader header = zq_camera_service::DecodeShareBufFrameHeader(bytes.data());
  EXPECT_EQ(0x0102030405060708ull, header.frame_time);
  EXPECT_EQ(0xa1b2c3d4u, header.frame_len);
  EXPECT_EQ(1, header.key_frame);
  EXPECT_EQ('\0', FrameShareBufWriter::FrameBytes(1, false, "")[24]);
}

}  // namespace
