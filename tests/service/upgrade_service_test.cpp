#include "service/upgrade_service.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/lock_file.h"
#include "service/net_reply_limits.h"
#include "service/net_service.h"
#include "support/child_process.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"
#include "support/upgrade_package.h"
#include "fakes/http_fake_server.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::UpgradeService;
using zq_test::HttpReply;
using zq_test::Md5Hex;
using zq_test::UpgradePackageBuilder;

class UpgradeServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    zq_camera_service::NetService::GetInstance()->StartService();
  }

  UpgradeServiceTest() {
    g_zq_safe_file_path = root_ / "safe_file";
    zq_test::PopulateRunningSlot(root_, 3);
  }
  ~UpgradeServiceTest() override { g_zq_safe_file_path.clear(); }

  std::unique_ptr<UpgradeService> MakeService(std::chrono::milliseconds retry = 300ms) {
    return std::make_unique<UpgradeService>(
        [this] {
          std::lock_guard<std::mutex> lock(mutex_);
          ++reboots_;
          cond_.notify_all();
        },
        retry);
  }
  bool WaitForReboots(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, timeout, [&] { return reboots_ >= count; });
  }
  int Reboots() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reboots_;
  }
  // Serves `package` at `path`; the MD5 text the cloud would announce.
  std::string Serve(const std::string& path, const std::string& package) {
    fake_.SetReply("GET", path, HttpReply::Bytes(package, "application/zip"));
    return Md5Hex(package);
  }
  static UpgradePackageBuilder Package(int major) {
    UpgradePackageBuilder builder(major);
    builder.AddFile("/bin/zq_camera_service", "program v" + std::to_string(major)).Keep("/lib/libkeep.so");
    return builder;
  }

  zq_test::ScopedLogSettings log_{4, 3, ""};
  zq_test::InstallRoot root_;
  zq_test::HttpFakeServer fake_;
  std::mutex mutex_;
  std::condition_variable cond_;
  int reboots_ = 0;
};

TEST_F(UpgradeServiceTest, AnnouncedUpdateIsDownloadedStagedAndRebooted) {
  std::string package = Package(4).Build();
  std::string md5 = Serve("/packages/v4.zip", package);
  zq_test::StdoutCapture capture;
  auto service = MakeService();
  ASSERT_EQ(0, service->StartService());
  EXPECT_EQ(0, service->StartUpdate(fake_.url("/packages/v4.zip").c_str(), root_.path().c_str(), md5.c_str()));
  ASSERT_TRUE(WaitForReboots(1, 20s)) << capture.Text();
  EXPECT_EQ(0, zq_test::SlotState(root_.SlotB()));
  EXPECT_EQ("program v4", zq_test::ReadFile(root_.SlotB() + "/bin/zq_camera_service"));
  EXPECT_TRUE(service->GetUrlPool()->empty());
  ASSERT_EQ(1u, fake_.RequestCount());
  EXPECT_EQ("GET", fake_.Requests()[0].method);
  EXPECT_EQ("", fake_.Requests()[0].body);
  std::string out = capture.Text();
  size_t begin = out.find("UpgradeService::StartUpdate\n");
  size_t upgrading = out.find("Begin upgrading...\n");
  size_t success = out.find("download upgrade SUCCESS\n");
  size_t reboot = out.find("reboot !\n");
  EXPECT_NE(std::string::npos, begin) << out;
  EXPECT_LT(begin, upgrading);
  EXPECT_LT(upgrading, success);
  EXPECT_LT(success, reboot);
  EXPECT_NE(std::string::npos, out.find("download upgrade zip url: " + fake_.url("/packages/v4.zip") + "\n"));
  EXPECT_EQ(0, service->StopService());
}

TEST_F(UpgradeServiceTest, FailedDownloadIsRetriedAfterThePauseAndHoldsTheQueue) {
  fake_.SetReply("GET", "/first.zip", HttpReply::Drop());
  std::string second_md5 = Serve("/second.zip", Package(4).Build());
  zq_test::StdoutCapture capture;
  auto service = MakeService(UpgradeService::kRetryDelay);
  ASSERT_EQ(0, service->StartService());
  service->StartUpdate(fake_.url("/first.zip").c_str(), root_.path().c_str(), "00");
  service->StartUpdate(fake_.url("/second.zip").c_str(), root_.path().c_str(), second_md5.c_str());
  ASSERT_TRUE(fake_.WaitForRequestsTo("/first.zip", 2, 6s));
  auto attempts = fake_.RequestsTo("/first.zip");
  auto gap = attempts[1].arrival - attempts[0].arrival;
  EXPECT_GE(gap, 1900ms);
  EXPECT_LE(gap, 4000ms);
  EXPECT_EQ(0u, fake_.RequestsTo("/second.zip").size()) << "the second request waits behind the first";
  EXPECT_EQ(2u, service->GetUrlPool()->size());
  EXPECT_GE(zq_test::CountOccurrences(capture.Text(), "download upgrade ERROR\n"), 1u);

  // The package appears: the first request goes through (and is refused as
  // its MD5 is wrong), then the second is served.
  Serve("/first.zip", Package(4).Build());
  ASSERT_TRUE(WaitForReboots(1, 10s)) << capture.Text();
  EXPECT_NE(std::string::npos, capture.Text().find("download file md5 ERROR\n"));
  EXPECT_EQ(1u, fake_.RequestsTo("/second.zip").size());
  EXPECT_TRUE(service->GetUrlPool()->empty());
  service->StopService();
}

TEST_F(UpgradeServiceTest, RefusedPackagesAreConsumedWithoutReboot) {
  const std::string package = Package(4).Build();
  std::string upper = Md5Hex(package);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  fake_.SetReply("GET", "/missing.zip", HttpReply::Text("<html>404 Not Found</html>", 404));
  Serve("/v4.zip", package);
  Serve("/v3.zip", Package(3).Build());
  struct Case {
    const char* name;
    std::string path;
    std::string md5;
    std::string message;
  };
  const Case cases[] = {
      {"404 page", "/missing.zip", Md5Hex(package), "download file md5 ERROR\n"},
      {"MD5 in upper case", "/v4.zip", upper, "download file md5 ERROR\n"},
      {"MD5 with an extra character", "/v4.zip", Md5Hex(package) + "a", "download file md5 ERROR\n"},
      {"same major", "/v3.zip", Md5Hex(Package(3).Build()), "new_major:3 current_major:3, abort upgrade!\n"},
  };
  zq_test::Tree backup = zq_test::SnapshotTree(root_.SlotB());
  auto service = MakeService();
  ASSERT_EQ(0, service->StartService());
  for (const Case& c : cases) {
    fake_.ClearRequests();
    zq_test::StdoutCapture capture;
    service->StartUpdate(fake_.url(c.path).c_str(), root_.path().c_str(), c.md5.c_str());
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (capture.Text().find(c.message) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(std::string::npos, capture.Text().find(c.message)) << c.name << "\n" << capture.Text();
    // Consumed: not downloaded again.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(1u, fake_.RequestCount()) << c.name;
    EXPECT_TRUE(service->GetUrlPool()->empty()) << c.name;
  }
  EXPECT_EQ(0, Reboots());
  EXPECT_EQ("", zq_test::TreeDifference(backup, zq_test::SnapshotTree(root_.SlotB())));
  service->StopService();
}

TEST_F(UpgradeServiceTest, StopEndsTheThreadWhileIdleOrPausing) {
  auto idle = MakeService();
  ASSERT_EQ(0, idle->StartService());
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(0, idle->StopService());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_EQ(0, idle->StopService());

  fake_.SetReply("GET", "/down.zip", HttpReply::Drop());
  auto pausing = MakeService(UpgradeService::kRetryDelay);
  ASSERT_EQ(0, pausing->StartService());
  pausing->StartUpdate(fake_.url("/down.zip").c_str(), root_.path().c_str(), "00");
  ASSERT_TRUE(fake_.WaitForRequestsTo("/down.zip", 1, 5s));
  std::this_thread::sleep_for(200ms);
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(0, pausing->StopService());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
  // Started again, it serves the request still queued.
  ASSERT_EQ(0, pausing->StartService());
  ASSERT_TRUE(fake_.WaitForRequestsTo("/down.zip", 2, 5s));
}

TEST_F(UpgradeServiceTest, StartUpdateNeedsAllThreeTexts) {
  auto service = MakeService();
  EXPECT_EQ(-1, service->StartUpdate(nullptr, "/root", "md5"));
  EXPECT_EQ(-1, service->StartUpdate("http://127.0.0.1:1/x", nullptr, "md5"));
  EXPECT_EQ(-1, service->StartUpdate("http://127.0.0.1:1/x", "/root", nullptr));
  EXPECT_TRUE(service->GetUrlPool()->empty());
  EXPECT_EQ(0, service->StartUpdate("http://127.0.0.1:1/x", "/root", "md5"));
  EXPECT_EQ(1u, service->GetUrlPool()->size());
}

// Each failure in a row of the same URL waits twice as long as the one before.
TEST_F(UpgradeServiceTest, FailuresInARowWaitLongerAndLonger) {
  fake_.SetReply("GET", "/down.zip", HttpReply::Drop());
  zq_test::StdoutCapture capture;
  auto service = MakeService(200ms);
  ASSERT_EQ(0, service->StartService());
  service->StartUpdate(fake_.url("/down.zip").c_str(), root_.path().c_str(), "00");
  ASSERT_TRUE(fake_.WaitForRequestsTo("/down.zip", 4, 20s)) << capture.Text();
  service->StopService();
  auto attempts = fake_.RequestsTo("/down.zip");
  const std::chrono::milliseconds least[] = {200ms, 400ms, 800ms};
  for (size_t i = 0; i < 3; ++i) {
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(attempts[i + 1].arrival - attempts[i].arrival);
    EXPECT_GE(gap, least[i]) << "attempt " << i + 2;
  }
  // One line for each failure, naming the URL (the waits themselves may be
  // longer than the steps: a slow exchange counts three times over).
  std::vector<std::string> lines = zq_test::LinesWith(capture.Text(), "download upgrade retry in ");
  ASSERT_GE(lines.size(), 3u);
  for (const std::string& line : lines) {
    EXPECT_NE(std::string::npos, line.find(" s: " + fake_.url("/down.zip"))) << line;
  }
}

// A reply refused as larger than a package may be can never get smaller:
// the update is given up with one line, and the queue moves on.
TEST_F(UpgradeServiceTest, OversizedReplyAbandonsItsUpdateAndTheNextOneIsServed) {
  // Refused at its headers, which announce one byte more than a package may be.
  fake_.SetReply("GET", "/huge.zip",
                 HttpReply::Repeated("h", zq_camera_service::kMaxDownloadReplyBytes + 1, "application/zip"));
  std::string md5 = Serve("/v4.zip", Package(4).Build());
  zq_test::StdoutCapture capture;
  auto service = MakeService(1s);
  ASSERT_EQ(0, service->StartService());
  service->StartUpdate(fake_.url("/huge.zip").c_str(), root_.path().c_str(), "00");
  service->StartUpdate(fake_.url("/v4.zip").c_str(), root_.path().c_str(), md5.c_str());
  ASSERT_TRUE(WaitForReboots(1, 30s)) << capture.Text();
  EXPECT_EQ(1u, fake_.RequestsTo("/huge.zip").size());
  const std::string abandoned =
      "download upgrade abandoned, package larger than 67108864 bytes: " + fake_.url("/huge.zip") + "\n";
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture.Text(), abandoned)) << capture.Text();
  EXPECT_EQ(0u, zq_test::CountOccurrences(capture.Text(), "download upgrade retry in")) << capture.Text();
  EXPECT_TRUE(service->GetUrlPool()->empty());

  // Announced again, the same URL waits its back-off before it is fetched.
  auto announced = std::chrono::steady_clock::now();
  service->StartUpdate(fake_.url("/huge.zip").c_str(), root_.path().c_str(), "00");
  ASSERT_TRUE(fake_.WaitForRequestsTo("/huge.zip", 2, 20s)) << capture.Text();
  capture.WaitFor(abandoned, 20s, 2);
  EXPECT_EQ(2u, zq_test::CountOccurrences(capture.Text(), abandoned));
  auto attempts = fake_.RequestsTo("/huge.zip");
  EXPECT_GE(attempts[1].arrival - attempts[0].arrival, 1s);
  EXPECT_GE(attempts[1].arrival, announced);
  service->StopService();
}

}  // namespace
