// The host stand-in of the camera's share-buffer library: the directory
// contract that whole-process tests and the demo rely on, and the scripted
// faults of the control calls.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fakes/face_share_buf_writer.h"
#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "platform/inf_share_buf.h"
#include "support/fifo_traps.h"
#include "support/files.h"

namespace {

namespace stand_in = zq_camera_service::platform::share_buf_stand_in;
using zq_test::FaceShareBufWriter;

class ShareBufStandInTest : public ::testing::Test {
 protected:
  ShareBufStandInTest() : writer_(dir_.path()) {
    stand_in::Reset();
    unsetenv(stand_in::kDirectoryVariable);
    stand_in::SetDirectory(dir_.path());
  }
  ~ShareBufStandInTest() override {
    for (int handle : opened_) Inf_ShareBufUnInit(handle);
    stand_in::Reset();
  }

  int Open(int id = 40) {
    int handle = Inf_ShareBufInit(id, 0);
    if (handle != 0) opened_.push_back(handle);
    return handle;
  }

  // One list read into a fresh buffer: the result and the bytes it holds.
  std::pair<int, std::string> ReadList(int handle, int capacity = 4096) {
    std::vector<char> buffer(static_cast<size_t>(capacity), '\0');
    int n = Inf_ShareBufGetOneFrame_mode2(handle, capacity, buffer.data(), 2);
    size_t shown = n > 0 ? std::min(static_cast<size_t>(n), buffer.size()) : 0;
    return {n, std::string(buffer.data(), shown)};
  }

  zq_test::TempDir dir_;
  FaceShareBufWriter writer_;
  std::vector<int> opened_;
};

TEST_F(ShareBufStandInTest, WithoutDirectoryEveryReadFindsNothing) {
  stand_in::SetDirectory("");
  int handle = Open();
  ASSERT_NE(0, handle);
  writer_.PutList(1, "{}");
  char buffer[64];
  EXPECT_EQ(0, Inf_ShareBufGetOneFrame_mode2(handle, sizeof buffer, buffer, 2));
  EXPECT_EQ(0, Inf_ShareBufFindOneFrame(handle, sizeof buffer, buffer, 1, 1, 1));
}

TEST_F(ShareBufStandInTest, DirectoryFromEnvironmentAtOpen) {
  stand_in::SetDirectory("");
  setenv(stand_in::kDirectoryVariable, dir_.path().c_str(), 1);
  int handle = Open();
  unsetenv(stand_in::kDirectoryVariable);
  writer_.PutList(4, "{\"a\":1}");
  EXPECT_EQ(std::make_pair(7, std::string("{\"a\":1}")), ReadList(handle));
}

TEST_F(ShareBufStandInTest, ListReadHandsOutTheNewestOnceAndIgnoresOtherNames) {
  int handle = Open();
  ASSERT_NE(0, handle);
  EXPECT_EQ(0, ReadList(handle).first) << "no list directory content yet";
  writer_.PutList(1, "one");
  writer_.PutList(3, "three");
  writer_.PutList(2, "two");
  zq_test::WriteFile(dir_ / "40/lists/9.json.tmp", "tmp");
  zq_test::WriteFile(dir_ / "40/lists/.10.json", "hidden");
  zq_test::WriteFile(dir_ / "40/lists/x11.json", "named");
  zq_test::WriteFile(dir_ / "40/lists/12.txt", "text");
  zq_test::WriteFile(dir_ / "40/lists/18446744073709551616.json", "beyond 64 bits");
  EXPECT_EQ(std::make_pair(5, std::string("three")), ReadList(handle));
  EXPECT_EQ(0, ReadList(handle).first) << "the newest is handed out once";
  writer_.PutList(2, "older again");
  EXPECT_EQ(0, ReadList(handle).first) << "a number below the last one is not new";
  writer_.PutList(18446744073709551615ull, "max");
  EXPECT_EQ(std::make_pair(3, std::string("max")), ReadList(handle));

  // Each handle keeps its own position.
  int other = Open();
  EXPECT_EQ(std::make_pair(3, std::string("max")), ReadList(other));
  EXPECT_EQ(2, stand_in::GetCounters().open_handles);
}

TEST_F(ShareBufStandInTest, ImagesByLocatorWithFullSixtyFourBitTimestamp) {
  int handle = Open();
  const std::string bytes("\x00\xff\x10\x00", 4);
  writer_.PutImage(6000000000ull, -2, 77, bytes);
  std::vector<char> buffer(16, 'z');
  EXPECT_EQ(4, Inf_ShareBufFindOneFrame(handle, 16, buffer.data(), 6000000000ull, -2, 77));
  EXPECT_EQ(bytes, std::string(buffer.data(), 4));
  EXPECT_EQ(0, Inf_ShareBufFindOneFrame(handle, 16, buffer.data(), 6000000000ull % (1ull << 32), -2, 77))
      << "a cut timestamp is another face";
  EXPECT_EQ(0, Inf_ShareBufFindOneFrame(handle, 16, buffer.data(), 6000000000ull, -2, 78));
  auto lookups = stand_in::GetCounters().lookups;
  ASSERT_EQ(3u, lookups.size());
  EXPECT_EQ(6000000000ull, lookups[0].timestamp);
  EXPECT_EQ(-2, lookups[0].datatype);
  EXPECT_EQ(77, lookups[0].objectID);
}

TEST_F(ShareBufStandInTest, OnlyRegularFilesAreListsOrImagesAndNoneIsWaitedOn) {
  using namespace std::chrono_literals;
  int handle = Open();
  ASSERT_NE(0, handle);
  zq_test::FifoTraps traps;
  const std::string regular_image = stand_in::FaceImagePath(dir_.path(), 1, 1, 1);
  writer_.PutImage(1, 1, 1, "real");
  // What can stand where a list or an image is looked for.
  struct Kind {
    const char* name;
    std::function<void(const std::string&)> put;
  };
  const Kind kinds[] = {
      {"FIFO", [&](const std::string& path) { traps.Put(path); }},
      {"directory", [](const std::string& path) { std::filesystem::create_directory(path); }},
      {"link to a regular file",
       [&](const std::string& path) { std::filesystem::create_symlink(regular_image, path); }},
      {"link to a FIFO",
       [&](const std::string& path) {
         traps.Put(path + ".fifo");
         std::filesystem::create_symlink(path + ".fifo", path);
       }},
      {"link to a device", [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); }},
  };
  uint64_t seq = 1;
  int object = 10;
  for (const Kind& kind : kinds) {
    // Under the newest list name: the regular list before it is the newest.
    writer_.PutList(seq, "list " + std::to_string(seq));
    kind.put(stand_in::FaceListPath(dir_.path(), seq + 1));
    std::pair<int, std::string> read;
    ASSERT_TRUE(traps.ReturnsWithin(5s, [&] { read = ReadList(handle); })) << kind.name << ": the list read waited";
    EXPECT_EQ("list " + std::to_string(seq), read.second) << kind.name;
    EXPECT_EQ(0, ReadList(handle).first) << kind.name << ": never handed out";
    seq += 2;

    // Under an image name: not found.
    kind.put(stand_in::FaceImagePath(dir_.path(), 1, 1, object));
    int found = -1;
    std::vector<char> buffer(64, '#');
    auto lookup = [&] { found = Inf_ShareBufFindOneFrame(handle, 64, buffer.data(), 1, 1, object); };
    ASSERT_TRUE(traps.ReturnsWithin(5s, lookup)) << kind.name << ": the image lookup waited";
    EXPECT_EQ(0, found) << kind.name;
    EXPECT_EQ(std::string(64, '#'), std::string(buffer.data(), 64)) << kind.name << ": nothing written";
    ++object;
  }
  // The regular files go on being read.
  writer_.PutList(seq, "after");
  EXPECT_EQ(std::make_pair(5, std::string("after")), ReadList(handle));
  char image[8];
  EXPECT_EQ(4, Inf_ShareBufFindOneFrame(handle, sizeof image, image, 1, 1, 1));
}

TEST_F(ShareBufStandInTest, TheLookupRecordKeepsItsFirstEntriesAndCountsEveryLookup) {
  int handle = Open();
  char buffer[8];
  const int total = static_cast<int>(stand_in::kMaxRecordedLookups) + 500;
  for (int i = 0; i < total; ++i) Inf_ShareBufFindOneFrame(handle, sizeof buffer, buffer, 7, 1, i);
  Inf_ShareBufFindOneFrame(0, sizeof buffer, buffer, 7, 1, 1);  // an invalid handle is no lookup
  stand_in::Counters counters = stand_in::GetCounters();
  EXPECT_EQ(static_cast<uint64_t>(total), counters.lookup_count);
  ASSERT_EQ(stand_in::kMaxRecordedLookups, counters.lookups.size());
  EXPECT_EQ(0, counters.lookups.front().objectID);
  EXPECT_EQ(static_cast<int>(stand_in::kMaxRecordedLookups) - 1, counters.lookups.back().objectID);

  stand_in::Reset();
  Inf_ShareBufFindOneFrame(handle, sizeof buffer, buffer, 7, 1, 99);
  counters = stand_in::GetCounters();
  EXPECT_EQ(1u, counters.lookup_count);
  ASSERT_EQ(1u, counters.lookups.size());
  EXPECT_EQ(99, counters.lookups[0].objectID) << "recorded again from the start after a reset";
}

TEST_F(ShareBufStandInTest, FramesLargerThanTheCapacityAreCutAndReportTheirSize) {
  int handle = Open();
  writer_.PutList(1, std::string(100, 'L'));
  writer_.PutImage(1, 1, 1, std::string(100, 'I'));
  // Guard bytes after the capacity must stay untouched.
  std::vector<char> buffer(20, '#');
  EXPECT_EQ(100, Inf_ShareBufGetOneFrame_mode2(handle, 10, buffer.data(), 2));
  EXPECT_EQ(std::string(10, 'L') + std::string(10, '#'), std::string(buffer.data(), 20));
  buffer.assign(20, '#');
  EXPECT_EQ(100, Inf_ShareBufFindOneFrame(handle, 10, buffer.data(), 1, 1, 1));
  EXPECT_EQ(std::string(10, 'I') + std::string(10, '#'), std::string(buffer.data(), 20));
}

TEST_F(ShareBufStandInTest, InvalidCallsAreErrors) {
  char buffer[8];
  EXPECT_EQ(0, Inf_ShareBufInit(41, 0)) << "unknown share buffer";
  int faces = Open(40);
  int picture = Open(34);
  int stream = Open(35);
  ASSERT_NE(0, faces);
  ASSERT_NE(0, picture);
  ASSERT_NE(0, stream);
  EXPECT_NE(faces, picture);
  struct Case {
    const char* name;
    int result;
  };
  const Case cases[] = {
      {"handle 0", Inf_ShareBufGetOneFrame_mode2(0, 8, buffer, 2)},
      {"unknown handle", Inf_ShareBufGetOneFrame_mode2(faces + 1000, 8, buffer, 2)},
      {"mode 1", Inf_ShareBufGetOneFrame_mode2(faces, 8, buffer, 1)},
      {"capacity 0", Inf_ShareBufGetOneFrame_mode2(faces, 0, buffer, 2)},
      {"negative capacity", Inf_ShareBufFindOneFrame(faces, -1, buffer, 1, 1, 1)},
      {"null buffer", Inf_ShareBufFindOneFrame(faces, 8, nullptr, 1, 1, 1)},
      {"list from the picture buffer", Inf_ShareBufGetOneFrame_mode2(picture, 8, buffer, 2)},
      {"image from the stream buffer", Inf_ShareBufFindOneFrame(stream, 8, buffer, 1, 1, 1)},
      {"picture header from the face buffer", Inf_ShareBufGetCurFrame(faces, 8, buffer)},
      {"stream header from the picture buffer", Inf_ShareBufGetOneFrame(picture, 8, buffer)},
      {"close an unknown handle", Inf_ShareBufUnInit(faces + 1000)},
  };
  for (const Case& c : cases) EXPECT_EQ(-1, c.result) << c.name;

  // Without frame files, buffers 34 and 35 report "no frame" with a zeroed header.
  memset(buffer, 0x5a, sizeof buffer);
  EXPECT_EQ(0, Inf_ShareBufGetCurFrame(picture, 8, buffer));
  EXPECT_EQ(std::string(8, '\0'), std::string(buffer, 8));
  EXPECT_EQ(0, Inf_ShareBufGetOneFrame(stream, 8, buffer));

  EXPECT_EQ(0, Inf_ShareBufUnInit(faces));
  EXPECT_EQ(-1, Inf_ShareBufUnInit(faces)) << "closed once";
  EXPECT_EQ(-1, Inf_ShareBufGetOneFrame_mode2(faces, 8, buffer, 2)) << "a closed handle";
}

TEST_F(ShareBufStandInTest, ScriptedFaultsComeFirstThenTheFilesAgain) {
  stand_in::FailInits(2);
  EXPECT_EQ(0, Inf_ShareBufInit(40, 0));
  EXPECT_EQ(0, Inf_ShareBufInit(40, 0));
  int handle = Open();
  ASSERT_NE(0, handle);
  writer_.PutList(1, "file");
  stand_in::ScriptListReads({{-3, ""}, {8, std::string(8, 'x')}, {20, std::string(20, 'y')}});
  EXPECT_EQ(-3, ReadList(handle).first);
  EXPECT_EQ(std::make_pair(8, std::string(8, 'x')), ReadList(handle, 8)) << "n equal to the capacity, no NUL";
  std::vector<char> small(4, '#');
  small.push_back('!');
  EXPECT_EQ(20, Inf_ShareBufGetOneFrame_mode2(handle, 4, small.data(), 2)) << "a result above what was written";
  EXPECT_EQ("yyyy!", std::string(small.data(), 5));
  EXPECT_EQ(std::make_pair(4, std::string("file")), ReadList(handle));

  stand_in::ScriptImageReads({{-1, ""}, {1048577, "abc"}});
  char buffer[8];
  EXPECT_EQ(-1, Inf_ShareBufFindOneFrame(handle, 8, buffer, 1, 1, 1));
  EXPECT_EQ(1048577, Inf_ShareBufFindOneFrame(handle, 8, buffer, 1, 1, 1));
  EXPECT_EQ(0, Inf_ShareBufFindOneFrame(handle, 8, buffer, 1, 1, 1));

  stand_in::Counters counters = stand_in::GetCounters();
  EXPECT_EQ(1, counters.inits);
  EXPECT_EQ(4, counters.list_reads);
  EXPECT_EQ(3u, counters.lookups.size());
  EXPECT_EQ(3u, counters.lookup_count);
}

}  // namespace
