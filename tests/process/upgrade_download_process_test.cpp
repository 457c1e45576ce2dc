// The real binary downloading an update from a package host that misbehaves:
// a host that never answers, or that sends more than a package may be, must
// not take the one HTTP exchange from the reports and face uploads for good,
// nor be fetched again and again; and a download costs about the package's
// size in memory, not a multiple of it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "fakes/face_share_buf_writer.h"
#include "fakes/private_cloud_fake.h"
#include "support/build_kind.h"
#include "support/cloud_backend.h"
#include "support/upgrade_download.h"
#include "support/upgrade_package.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zq_test::CloudBackendFake;
using zq_test::FaceGroup;
using zq_test::FaceShareBufWriter;
using zq_test::HttpReply;
using zq_test::kPackagePath;

const char* const kRetryText = "download upgrade retry in ";
const char* const kAbandonedText = "download upgrade abandoned";
constexpr long kMiBInKib = 1024;
// The largest reply a download may hold.
constexpr long kCapKib = 64 * kMiBInKib;
// What a download may add on top of what it must hold.
constexpr long kSlackKib = 16 * kMiBInKib;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Heartbeats every 2 s, faces to the private cloud, the update served by a
// package host of its own.
class UpgradeDownloadProcessTest : public zq_test::CloudProcessTest {
 protected:
  UpgradeDownloadProcessTest() : writer_(share_.path()) {
    zq_test::PopulateRunningSlot(root_, 3);
    zq_test::WriteCloudConfigs(root_, cloud_, 3);
    root_.WriteBaseConfig(
        zq_test::WithPicUploadUrl(cloud_, zq_test::CloudBaseConfig(cloud_, 2, 4), private_cloud_.url()));
    zq_test::AnnounceUpdate(cloud_, 4, packages_.url(kPackagePath), zq_test::Md5Hex("any package"));
  }

  std::unique_ptr<zq_test::ChildProcess> StartRoad() {
    StartCameraPeer();
    return StartService({{"ZQ_SHAREBUF_DIR", share_.path()}});
  }

  // One small face in a list of its own.
  void PutFace() {
    FaceGroup group;
    group.timestamp = 2;
    group.datatype = 1;
    group.objectID = static_cast<int>(next_seq_);
    writer_.PutImage(group.timestamp, group.datatype, group.objectID, "face " + std::to_string(next_seq_));
    writer_.PutList(next_seq_++, FaceShareBufWriter::ListText({group}));
  }

  size_t HeartbeatsBetween(Clock::time_point from, Clock::time_point to) {
    size_t count = 0;
    for (const auto& heartbeat : cloud_.Reports(CloudBackendFake::kHeartbeatPath)) {
      if (heartbeat.raw.arrival > from && heartbeat.raw.arrival < to) ++count;
    }
    return count;
  }

  size_t FacesBetween(Clock::time_point from, Clock::time_point to) {
    size_t count = 0;
    for (const auto& upload : private_cloud_.Uploads()) {
      if (upload.request.arrival > from && upload.request.arrival < to) count += upload.message.faces_size();
    }
    return count;
  }

  zq_test::HttpFakeServer packages_;
  zq_test::TempDir share_{"zqshare"};
  FaceShareBufWriter writer_;
  zq_test::PrivateCloudFake private_cloud_;
  uint64_t next_seq_ = 1;
};

// A host that takes the connection and never says a word: libcurl gives the
// download up after 30 s below its low-speed limit, and the next attempt
// waits its back-off, during which the heartbeats and the faces go out.
TEST_F(UpgradeDownloadProcessTest, SilentPackageHostIsTriedAgainOnlyAfterItsBackOff) {
  packages_.SetReply("GET", kPackagePath, HttpReply::Stall(1h, HttpReply::Text("never")));
  auto service = StartRoad();
  ASSERT_TRUE(packages_.WaitForRequestsTo(kPackagePath, 1, 30s)) << service->Stdout();
  const Clock::time_point first = packages_.RequestsTo(kPackagePath)[0].arrival;
  ASSERT_TRUE(service->WaitForStdout("download upgrade ERROR\n", 90s)) << service->Stdout();
  const Clock::time_point given_up = Clock::now();
  const double held = Seconds(given_up - first);
  EXPECT_GE(held, 25.0);
  EXPECT_LE(held, 60.0);

  // Faces the camera software puts while the download thread waits; the
  // loop ends with the second attempt, or when the back-off is overlong.
  size_t faces_put = 0;
  Clock::time_point last_face = given_up;
  while (packages_.RequestsTo(kPackagePath).size() < 2 && Clock::now() - given_up < 240s && faces_put < 300) {
    PutFace();
    ++faces_put;
    last_face = Clock::now();
    packages_.WaitForRequestsTo(kPackagePath, 2, 1s);
  }
  ASSERT_TRUE(packages_.WaitForRequestsTo(kPackagePath, 2, 1s)) << service->Stdout();
  const Clock::time_point second = packages_.RequestsTo(kPackagePath)[1].arrival;
  const double gap = Seconds(second - given_up);
  const std::string out = service->Stdout();
  const size_t heartbeats = HeartbeatsBetween(first - 1h, second);
  printf("[ figures  ] first attempt held the exchange %.1f s; second attempt %.1f s after it ended; "
         "%zu heartbeats from start-up to it; %zu of %zu faces arrived between the attempts\n",
         held, gap, heartbeats, FacesBetween(given_up, second), faces_put);

  // The delay the service chose, and that it kept to it.
  std::vector<std::string> retry_lines = zq_test::LinesWith(out, kRetryText);
  ASSERT_EQ(1u, retry_lines.size()) << out;
  const std::string& line = retry_lines[0];
  const double announced = atof(line.c_str() + line.find(kRetryText) + strlen(kRetryText));
  EXPECT_GE(gap, announced - 1.0) << line;
  // An attempt that held the exchange is followed by at least three times
  // as long without one: reports and uploads have it most of the time.
  EXPECT_GE(announced, 3 * held - 3.0) << line;
  EXPECT_GE(gap, 2 * held);

  // While the download waited, the transport served the others.
  EXPECT_GE(HeartbeatsBetween(given_up, second), static_cast<size_t>(gap / 2 / 2)) << "heartbeat every 2 s";
  // Every face put at least 10 s before the second attempt reached the
  // private cloud before it.
  ASSERT_GT(faces_put, 10u);
  EXPECT_GE(FacesBetween(given_up, second), faces_put - 10) << out;
  EXPECT_EQ(0u, zq_test::CountOccurrences(out, "face upload queue full")) << out;
  EXPECT_LT(Seconds(second - last_face), 2.0);
  service->Kill();
}

// An endless stream, refused once it passes the cap: the package can never
// get smaller, so the update is abandoned with one line and never fetched
// again, and the reports go on.
TEST_F(UpgradeDownloadProcessTest, OversizedEndlessReplyIsFetchedOnceThenAbandoned) {
  packages_.SetReply("GET", kPackagePath, HttpReply::Chunked(std::string(64u << 10, 'z'), 0));
  auto service = StartRoad();
  ASSERT_TRUE(service->WaitForStdout(kAbandonedText, 60s)) << service->Stdout();
  // Nothing is to happen: long enough for several retries after a pause of 2 s.
  std::this_thread::sleep_for(8s);
  size_t heartbeats = cloud_.Reports(CloudBackendFake::kHeartbeatPath).size();
  EXPECT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, heartbeats + 1, 10s)) << service->Stdout();
  const std::string out = service->Stdout();
  EXPECT_EQ(1u, packages_.RequestsTo(kPackagePath).size()) << out;
  EXPECT_EQ(1u, zq_test::LinesWith(out, kAbandonedText).size()) << out;
  EXPECT_EQ(1u, zq_test::LinesWith(out, "Reply of more than 67108864 bytes refused").size()) << out;
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Begin upgrading...\n")) << out;
  EXPECT_EQ(0u, zq_test::CountOccurrences(out, kRetryText)) << out;
  EXPECT_TRUE(service->Running());
  service->Kill();
}

class UpgradeDownloadMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (zq_test::kSanitizerBuild) GTEST_SKIP() << "a sanitizer's shadow memory says nothing of the program's own";
  }

  // Downloads and stages the package of `row`: staged, with a peak growth
  // of at most its size and the slack.
  static void ExpectStagedWithinItsSize(const zq_test::DownloadRow& row) {
    zq_test::DownloadOutcome outcome = zq_test::RunDownloadRow(row, "");
    ASSERT_EQ("", outcome.failure) << outcome.output;
    EXPECT_TRUE(outcome.staged) << outcome.output;
    const long package_kib = static_cast<long>(outcome.package_bytes / 1024);
    printf("[ figures  ] %s (%ld KiB): resident %ld KiB before, peak growth %ld KiB, %.1f s to the reboot\n",
           row.name.c_str(), package_kib, outcome.baseline_kib, outcome.GrowthKib(), outcome.seconds);
    EXPECT_LE(outcome.GrowthKib(), package_kib + kSlackKib);
  }

  zq_test::FixedPortsLock ports_lock_;
};

// A package is held once: the download, the digest, the archive reader and
// the staging all read the one buffer the bytes arrived in.
TEST_F(UpgradeDownloadMemoryTest, DownloadingAndStagingA48MiBPackageGrowsByAtMostItsSizeAnd16MiB) {
  ExpectStagedWithinItsSize({"package of 48 MiB", zq_test::DownloadKind::kPackage, 48u << 20});
}

// A package file is streamed from the archive into the slot: a file almost
// as large as the package costs no more than many small ones.
TEST_F(UpgradeDownloadMemoryTest, StagingA48MiBPackageOfOne40MiBFileGrowsByAtMostItsSizeAnd16MiB) {
  ExpectStagedWithinItsSize(
      {"package of 48 MiB, one file of 40 MiB", zq_test::DownloadKind::kPackage, 48u << 20, 40u << 20});
}

// A reply larger than the cap costs no more than the cap: refused when its
// announced length says so, or once the bytes reach the cap.
TEST_F(UpgradeDownloadMemoryTest, RefusingA65MiBReplyGrowsByAtMostTheCapAnd16MiB) {
  const zq_test::DownloadRow rows[] = {
      {"65 MiB, length announced", zq_test::DownloadKind::kAnnouncedOversized, 65u << 20},
      {"65 MiB, chunked", zq_test::DownloadKind::kChunkedOversized, 65u << 20},
  };
  for (const zq_test::DownloadRow& row : rows) {
    SCOPED_TRACE(row.name);
    zq_test::DownloadOutcome outcome = zq_test::RunDownloadRow(row, "");
    ASSERT_EQ("", outcome.failure) << outcome.output;
    printf("[ figures  ] %s: resident %ld KiB before, peak growth %ld KiB\n", row.name.c_str(), outcome.baseline_kib,
           outcome.GrowthKib());
    EXPECT_TRUE(outcome.refused);
    EXPECT_TRUE(outcome.abandoned) << outcome.output;
    EXPECT_LE(outcome.GrowthKib(), kCapKib + kSlackKib);
  }
}

}  // namespace
