// Faults injected into the real binary's surroundings. After each one the
// process must still run, nothing it stores may be corrupted, and data that
// comes after the fault must still be delivered.
//
// Fault periods are seconds, not minutes: every failed exchange is handled
// on its own (a report that fails is not queued or retried; the next timer
// tick sends a fresh one), so a longer outage only repeats the same steps.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "fakes/face_share_buf_writer.h"
#include "fakes/private_cloud_fake.h"
#include "platform/platform.h"
#include "support/cloud_backend.h"
#include "support/files.h"
#include "support/small_file_system.h"
#include "support/upgrade_package.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CloudBackendFake;
using zq_test::FaceGroup;
using zq_test::FaceShareBufWriter;
using zq_test::HttpReply;

constexpr auto kFaultPeriod = 12s;

// "NewKey" of a configuration text read as the loader reads it (first value
// only); "<unparseable>" when it does not read as an object with a text key.
std::string StoredNewKey(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseStopWhenDoneFlag>(text.c_str(), text.size());
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("NewKey") ||
      !document["NewKey"].IsString()) {
    return "<unparseable>";
  }
  return document["NewKey"].GetString();
}

class FaultInjectionProcessTest : public zq_test::ServiceProcessTest {
 protected:
  FaultInjectionProcessTest() : cloud_(std::make_unique<CloudBackendFake>()) {
    root_.WriteBaseConfig(zq_test::CloudBaseConfig(*cloud_, 1, 2));
    root_.WriteVersionConfig(zq_test::VersionConfig(1));
  }

  std::string BaseConfigPath() const { return root_.ConfigDir() + "BaseConfig.json"; }

  // Heartbeats keep arriving: `more` beyond those seen so far, in `timeout`.
  ::testing::AssertionResult HeartbeatsResume(zq_test::ChildProcess& service, size_t more,
                                              std::chrono::seconds timeout) {
    const size_t seen = cloud_->Reports(CloudBackendFake::kHeartbeatPath).size();
    if (!cloud_->WaitForReports(CloudBackendFake::kHeartbeatPath, seen + more, timeout)) {
      return ::testing::AssertionFailure() << "no heartbeat after the fault\n" << service.Stdout();
    }
    return ::testing::AssertionSuccess();
  }

  std::unique_ptr<CloudBackendFake> cloud_;
};

TEST_F(FaultInjectionProcessTest, CloudRefusingStallingOrAnsweringGarbageThenRecovering) {
  StartCameraPeer();
  auto service = StartService();
  ASSERT_TRUE(cloud_->WaitForAccepted(1, 15s)) << service->Stdout();
  ASSERT_TRUE(HeartbeatsResume(*service, 2, 15s));
  const std::string stored = zq_test::ReadFile(BaseConfigPath());

  std::string garbage("\0\xff{\"Response\":{\"ReportGap\":", 28);
  std::mt19937 random(12);
  for (int i = 0; i < 4000; ++i) garbage.push_back(static_cast<char>(random()));
  struct Fault {
    const char* name;
    HttpReply reply;  // the report endpoints' answer during the fault; unused for "refuse"
  };
  const Fault faults[] = {
      {"refuse", HttpReply::Status(200)},
      // Past the reports' 5 s transfer limit.
      {"stall", HttpReply::Stall(7s, HttpReply::Json("{\"Response\":{}}"))},
      {"garbage", HttpReply::Bytes(garbage, "application/json")},
      {"error status", HttpReply::Text("<html>bad gateway</html>", 502)},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    const std::string name = fault.name;
    if (name == "refuse") {
      // Nothing listens on the port for the whole period, then the back end
      // comes back on the same address.
      const uint16_t port = cloud_->port();
      const zq_test::CloudSettings settings = cloud_->Settings();
      cloud_.reset();
      std::this_thread::sleep_for(kFaultPeriod);
      cloud_ = std::make_unique<CloudBackendFake>("initial-key", settings, port);
    } else {
      for (const char* path : {CloudBackendFake::kHeartbeatPath, CloudBackendFake::kMonitorPath}) {
        cloud_->server().SetReply("POST", path, fault.reply);
      }
      std::this_thread::sleep_for(kFaultPeriod);
      for (const char* path : {CloudBackendFake::kHeartbeatPath, CloudBackendFake::kMonitorPath}) {
        cloud_->server().SetReply("POST", path, HttpReply::Json("{\"Response\":{}}"));
      }
    }
    ASSERT_TRUE(service->Running()) << service->Stdout();
    // A stalled exchange still in flight ends within its 5 s limit first.
    ASSERT_TRUE(HeartbeatsResume(*service, 3, 20s));
    ASSERT_TRUE(cloud_->WaitForReports(CloudBackendFake::kMonitorPath,
                                       cloud_->Reports(CloudBackendFake::kMonitorPath).size() + 1, 20s));
    EXPECT_EQ(stored, zq_test::ReadFile(BaseConfigPath())) << "the stored configuration changed";
  }
  EXPECT_TRUE(service->Running());
}

TEST_F(FaultInjectionProcessTest, CameraPeerClosingMidExchange) {
  // The link's peer takes the encoder request and closes before answering.
  auto& peer = StartCameraPeer(0ms, zq_fakes::CameraPeerFault::kCloseAfterRequest);
  auto service = StartService();
  ASSERT_TRUE(cloud_->WaitForAccepted(1, 15s)) << service->Stdout();
  const std::string stored = zq_test::ReadFile(BaseConfigPath());
  ASSERT_TRUE(peer.WaitForRequests(1, 10s)) << service->Stdout();
  ASSERT_TRUE(service->WaitForStdout("Service | INFO: recv length 0\n", 10s)) << service->Stdout();
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(service->Running()) << service->Stdout();
  EXPECT_EQ(stored, zq_test::ReadFile(BaseConfigPath()));
  // Start-up waits for the encoder reply without a limit (the link is made
  // once): nothing after it runs, and nothing half-received is taken for a reply.
  EXPECT_EQ(std::string::npos, service->Stdout().find("config service response")) << service->Stdout();
}

TEST_F(FaultInjectionProcessTest, HostileShareBufferListsThenAValidFaceIsDelivered) {
  zq_test::TempDir share("zqshare");
  FaceShareBufWriter writer(share.path());
  zq_test::PrivateCloudFake private_cloud;
  root_.WriteBaseConfig(
      zq_test::WithPicUploadUrl(*cloud_, zq_test::CloudBaseConfig(*cloud_, 1, 2), private_cloud.url()));
  StartCameraPeer();
  auto service = StartService({{"ZQ_SHAREBUF_DIR", share.path()}});
  ASSERT_TRUE(cloud_->WaitForAccepted(1, 15s)) << service->Stdout();
  // Heartbeats come once the businesses run, the face upload registered among them.
  ASSERT_TRUE(HeartbeatsResume(*service, 1, 15s));
  const std::string stored = zq_test::ReadFile(BaseConfigPath());

  writer.PutImage(5, 1, 1, std::string(1048576 + 7, 'x'));  // longer than the fetch buffer
  const std::string deep(100000, '[');
  const std::string huge_list = "{\"Group_Num\":1,\"Groups\":[{\"faceDetect_url\":\"" + std::string(1100000, 'a') + "\"}]}";
  const std::vector<std::string> hostile = {
      "{\"Group_Num\":2147483647,\"Groups\":[]}",
      "{\"Group_Num\":-5,\"Groups\":[{\"faceDetect_url\":\"datatype=1&timestamp=5&objectID=1\"}]}",
      "{\"Group_Num\":9e300,\"Groups\":[7,\"x\",null,{\"faceDetect_url\":[1]},{\"faceDetect_url\":{}}]}",
      "{\"Group_Num\":1,\"Groups\":[{\"faceDetect_url\":\"datatype=99999999999&timestamp=-1&objectID=-99999999999\","
      "\"trackerInfo\":{\"rect\":{\"top\":\"1\",\"right\":true},\"pose\":7,\"confidence\":1e308}}]}",
      "{\"Group_Num\":1,\"Groups\":[{\"faceDetect_url\":\"datatype=1&timestamp=5&objectID=1\","
      "\"trackerInfo\":{\"confidence\":24E308}}]}",
      "{\"Group_Num\":1,\"Groups\":{\"faceDetect_url\":\"datatype=1&timestamp=5&objectID=1\"}}",
      deep,
      std::string("{\"Group_Num\":1,\0\xff\xfe\"Groups\":[]}", 30),
      "[1,2,3]",
      huge_list,
  };
  const std::string read_line = "Service | DEBUG: json:";
  size_t reads = zq_test::CountOccurrences(service->Stdout(), read_line);
  const size_t uploads_before = private_cloud.UploadCount();
  uint64_t seq = 1000;
  for (const std::string& list : hostile) {
    writer.PutList(seq++, list);
    // One list per pass: wait until this one was read before the next.
    ASSERT_TRUE(service->WaitForStdout(read_line, 10s, ++reads)) << list.substr(0, 200);
  }
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(service->Running()) << service->Stdout();
  EXPECT_EQ(uploads_before, private_cloud.UploadCount()) << "a hostile list produced an upload";

  FaceGroup face;
  face.timestamp = 6000000001ull;
  face.datatype = 1;
  face.objectID = 4;
  face.right = 40;
  face.bottom = 50;
  const std::string image("\0\xff valid face", 13);
  writer.PutImage(face.timestamp, face.datatype, face.objectID, image);
  writer.PutList(seq++, FaceShareBufWriter::ListText({face}));
  ASSERT_TRUE(private_cloud.WaitForUploads(uploads_before + 1, 15s)) << service->Stdout();
  const std::vector<zq_test::FaceUpload> uploads = private_cloud.Uploads();
  ASSERT_TRUE(uploads.back().decoded);
  ASSERT_EQ(1, uploads.back().message.faces_size());
  EXPECT_EQ(image, uploads.back().message.faces(0).image());
  EXPECT_TRUE(service->Running());
  EXPECT_EQ(stored, zq_test::ReadFile(BaseConfigPath()));
}

TEST_F(FaultInjectionProcessTest, DiskFullWhileTheRotatedKeyIsWrittenKeepsThePreviousFile) {
  // The cloud hands out a new key with settings too large for the file-size
  // limit the process runs under (RLIMIT_FSIZE, set by prlimit before exec),
  // so writing the rotated BaseConfig.json fails as on a full flash.
  zq_test::CloudSettings settings = cloud_->Settings();
  settings.key = "rotated-key";
  // Within the 256 KiB a cloud reply may have, beyond the file-size limit.
  settings.company_id = std::string(200 * 1024, 'c');
  cloud_->SetSettings(settings);
  const std::string stored = zq_test::ReadFile(BaseConfigPath());
  ASSERT_EQ("initial-key", StoredNewKey(stored));

  StartCameraPeer();
  zq_test::Env env = environment_.env;
  env["LOG_LEVEL"] = "1";  // the captured output counts against the limit too
  auto service = std::make_unique<zq_test::ChildProcess>(
      env, "/usr/bin/prlimit", std::vector<std::string>{"--fsize=131072", ZQ_SERVICE_BINARY});
  ASSERT_TRUE(cloud_->WaitForAccepted(1, 15s)) << service->Stdout();
  ASSERT_TRUE(service->WaitForStdout("Failed to save rotated key to base config", 10s)) << service->Stdout();
  ASSERT_TRUE(HeartbeatsResume(*service, 2, 15s));
  EXPECT_TRUE(service->Running()) << service->Stdout() << service->Stderr();
  const std::string after = zq_test::ReadFile(BaseConfigPath());
  EXPECT_EQ(stored, after) << "the previous file must stay as it was";
  EXPECT_EQ("initial-key", StoredNewKey(after));
  // The reports carry the key the accepted reply handed out: the device
  // works on with it for this run.
  EXPECT_EQ("rotated-key", cloud_->Reports(CloudBackendFake::kHeartbeatPath).back().key);
}

// Fills the file system holding `path` with one file there; false
// when it could not be made or the file system never said it was full.
bool FillUp(const std::string& path) {
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const std::string block(4096, 'f');
  bool full = false;
  // A bounded loop: the file systems these tests fill hold well under 64 MiB.
  for (int i = 0; i < 16384 && !full; ++i) {
    full = fwrite(block.data(), 1, block.size(), file) != block.size() || fflush(file) != 0;
  }
  fclose(file);
  return full;
}

// The configuration directory on a small file system of its own, full when
// the cloud rotates the key: the save fails and leaves the old document;
// once room is made, the rotated key lands without a restart.
TEST_F(FaultInjectionProcessTest, KeyRotatedOnAFullFlashLandsOnceThereIsRoom) {
  const std::string why = zq_test::PrivateMountsUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  // The path without links: a link's absolute target would be resolved in
  // this test's mounts, not in the service's, when read through /proc.
  const std::string config_dir = std::filesystem::canonical(root_.ConfigDir()).string();
  zq_test::TempDir seed("zqseed");
  for (const char* name : {"BaseConfig.json", "VersionConfig.json"}) {
    zq_test::WriteFile(seed / name, zq_test::ReadFile(config_dir + "/" + name));
  }
  zq_test::CloudSettings settings = cloud_->Settings();
  settings.key = "rotated-key";
  cloud_->SetSettings(settings);
  // Every request is refused until the file system has been filled.
  cloud_->SetExpectedKey("not-yet");

  StartCameraPeer();
  zq_test::SmallFileSystemCommand command =
      zq_test::RunProgramOnSmallFileSystem(config_dir, 256 * 1024, ZQ_SERVICE_BINARY, seed.path());
  zq_test::ChildProcess service(environment_.env, command.program, command.args);
  ASSERT_TRUE(cloud_->WaitForAuthRequests(1, 15s)) << service.Stdout() << service.Stderr();
  const std::string seen = zq_test::SeenBy(service.pid(), config_dir);
  const std::string seen_config = seen + "/BaseConfig.json";
  ASSERT_TRUE(FillUp(seen + "/filler")) << "the small file system did not fill up";
  const std::string stored = zq_test::ReadFile(seen_config);
  ASSERT_EQ("initial-key", StoredNewKey(stored));
  cloud_->SetExpectedKey("initial-key");

  ASSERT_TRUE(cloud_->WaitForAccepted(1, 15s)) << service.Stdout();
  ASSERT_TRUE(service.WaitForStdout("Failed to save rotated key to base config", 10s)) << service.Stdout();
  ASSERT_TRUE(HeartbeatsResume(service, 2, 15s));
  EXPECT_EQ(stored, zq_test::ReadFile(seen_config)) << "the previous file must stay as it was";
  EXPECT_EQ("rotated-key", cloud_->Reports(CloudBackendFake::kHeartbeatPath).back().key);

  ASSERT_EQ(0, unlink((seen + "/filler").c_str()));
  const auto room_made = std::chrono::steady_clock::now();
  ASSERT_TRUE(service.WaitForStdout("Service | INFO: Rotated key saved to base config\n", 120s)) << service.Stdout();
  printf("[ figures  ] rotated key saved %.1f s after room was made\n",
         std::chrono::duration<double>(std::chrono::steady_clock::now() - room_made).count());
  const std::string after = zq_test::ReadFile(seen_config);
  EXPECT_EQ("rotated-key", StoredNewKey(after)) << after;
  EXPECT_NE(std::string::npos, after.find("\"OldKey\": \"initial-key\"")) << after;
  // Nothing but the two documents is left in the directory.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(seen)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"BaseConfig.json", "VersionConfig.json"}), names);
  // One line per failed attempt, and none once the key has landed.
  const std::string out = service.Stdout();
  const size_t landed_at = out.find("Rotated key saved to base config");
  EXPECT_EQ(std::string::npos, out.find("Rotated key still not saved", landed_at)) << out;
  ASSERT_TRUE(HeartbeatsResume(service, 1, 15s));
  EXPECT_TRUE(service.Running());
}

TEST_F(FaultInjectionProcessTest, KilledAtPointsSpreadOverKeyRotationAndStaging) {
  zq_test::PopulateRunningSlot(root_, 3);
  zq_test::WriteCloudConfigs(root_, *cloud_, 3);
  const std::string initial = zq_test::ReadFile(BaseConfigPath());
  zq_test::UpgradePackageBuilder builder(4);
  builder.SetMember("name", "\"v4\"")
      .AddFile("/bin/zq_camera_service", std::string("\x7f" "ELF new program\0\7", 19))
      .Keep("/lib/libkeep.so")
      .Keep("/config/BaseConfig.json");
  for (int i = 0; i < 20; ++i) builder.AddFile("/pkg/p" + std::to_string(i), std::string(3000 + i, 'p'));
  const std::string package = builder.Build();
  cloud_->server().SetReply("GET", "/packages/update.zip", HttpReply::Bytes(package, "application/zip"));
  zq_test::CloudSettings settings = cloud_->Settings();
  settings.key = "rotated-key";
  settings.soft_update_version = 4;
  settings.soft_update_url = cloud_->url() + "/packages/update.zip";
  settings.soft_update_md5 = zq_test::Md5Hex(package);
  cloud_->SetSettings(settings);

  zq_test::Tree running = zq_test::SnapshotTree(root_.SlotA());
  running.erase("config/BaseConfig.json");
  const std::string app_link = std::filesystem::read_symlink(root_ / "app").string();

  // One complete run, from start to the simulated reboot, tells how many
  // lines the service writes on the way.
  StartCameraPeer();
  auto complete = StartService();
  ASSERT_EQ(zq_camera_service::platform::kSimulatedRebootStatus, complete->WaitForExit(40s).value_or(-1))
      << complete->Stdout();
  const size_t lines = zq_test::CountOccurrences(complete->Stdout(), "\n");
  ASSERT_GT(lines, 26u) << complete->Stdout();
  ASSERT_EQ("rotated-key", StoredNewKey(zq_test::ReadFile(BaseConfigPath())));

  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Every other round starts from the key before the rotation again, so
    // kills also land while the rotated key is being written.
    if (round % 2 == 0) zq_test::WriteFile(BaseConfigPath(), initial);
    cloud_->SetExpectedKey(StoredNewKey(zq_test::ReadFile(BaseConfigPath())));
    StartCameraPeer();
    auto service = StartService();
    // Aimed by what the service has done, not by the clock: the kill comes
    // once it wrote its k-th line, for k spread over the run, however fast
    // this machine runs it. A run that ends sooner is simply complete.
    const size_t kill_after = lines * static_cast<size_t>(round + 1) / (kRounds + 1);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (zq_test::CountOccurrences(service->Stdout(), "\n") < kill_after && service->Running() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    service->Signal(SIGKILL);
    ASSERT_TRUE(service->WaitForExit(10s).has_value());

    const std::string key = StoredNewKey(zq_test::ReadFile(BaseConfigPath()));
    EXPECT_TRUE(key == "initial-key" || key == "rotated-key") << "configuration after the kill: " << key;
    zq_test::Tree now = zq_test::SnapshotTree(root_.SlotA());
    now.erase("config/BaseConfig.json");
    // A kill while the key is written leaves the text written aside; the next
    // write replaces it, and the document itself is whole (checked above).
    now.erase("config/BaseConfig.json.tmp");
    ASSERT_EQ("", zq_test::TreeDifference(running, now)) << "the running slot changed";
    EXPECT_EQ(app_link, std::filesystem::read_symlink(root_ / "app").string());
  }
}

}  // namespace
