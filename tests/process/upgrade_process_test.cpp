// The real binary upgrading itself: an update announced by the cloud's
// authentication reply is downloaded from the fake, checked, staged into the
// backup slot, and the process ends with the simulated reboot: exit status 100.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include <rapidjson/document.h>

#include "platform/platform.h"
#include "support/cloud_backend.h"
#include "support/upgrade_package.h"

namespace {

using namespace std::chrono_literals;
using zq_test::HttpReply;
using zq_test::Tree;
using zq_test::UpgradePackageBuilder;

const char* const kPackagePath = "/packages/update.zip";
const char* const kDocument = "config/VersionConfig.json";

int SlotState(const std::string& slot) {
  rapidjson::Document document;
  document.Parse(zq_test::ReadFile(slot + "/" + kDocument).c_str());
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("state") ||
      !document["state"].IsInt()) {
    return -1;
  }
  return document["state"].GetInt();
}

class UpgradeProcessTest : public zq_test::CloudProcessTest {
 protected:
  UpgradeProcessTest() {
    zq_test::PopulateRunningSlot(root_, 3);
    // The running slot's configuration points at the cloud fake.
    zq_test::WriteCloudConfigs(root_, cloud_, 3);
  }

  // Serves `package` and has the cloud announce version `version` with `md5`.
  void Announce(const std::string& package, const std::string& md5, int version = 4) {
    if (!package.empty()) cloud_.server().SetReply("GET", kPackagePath, HttpReply::Bytes(package, "application/zip"));
    zq_test::CloudSettings settings = cloud_.Settings();
    settings.soft_update_version = version;
    settings.soft_update_url = cloud_.url() + kPackagePath;
    settings.soft_update_md5 = md5;
    cloud_.SetSettings(settings);
  }

  static UpgradePackageBuilder Package(int major = 4) {
    UpgradePackageBuilder builder(major);
    builder.SetMember("name", "\"v4\"")
        .AddFile("/bin/zq_camera_service", std::string("\x7f" "ELF new program\0\7", 19))
        .AddFile("/lib/libnew.so", std::string(20000, 'n'))
        .AddSpecialFile("/etc/special.conf", "special\n")
        .Keep("/lib/libkeep.so")
        .Keep("/lib/libkeep.so.1")
        .Keep("/bin/helper.sh")
        .Keep("/config/BaseConfig.json");
    return builder;
  }
};

TEST_F(UpgradeProcessTest, AnnouncedUpdateIsStagedAndTheDeviceReboots) {
  UpgradePackageBuilder builder = Package();
  std::string package = builder.Build();
  Announce(package, zq_test::Md5Hex(package));
  Tree running = zq_test::SnapshotTree(root_.SlotA());

  auto service = StartService();
  auto status = service->WaitForExit(30s);
  ASSERT_TRUE(status.has_value()) << service->Stdout();
  EXPECT_EQ(zq_camera_service::platform::kSimulatedRebootStatus, *status) << service->Stdout();

  std::string out = service->Stdout();
  EXPECT_NE(std::string::npos, out.find("Service | INFO: KwCloudUpgradeBusiness::StartUpdate\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: download upgrade SUCCESS\n"));
  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: reboot !\n"));
  EXPECT_EQ(1u, cloud_.server().RequestsTo(kPackagePath).size());

  EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
  Tree staged = zq_test::SnapshotTree(root_.SlotB());
  std::string document = staged[kDocument];
  staged.erase(kDocument);
  // Also: no temporary file left anywhere in the slot.
  EXPECT_EQ("", zq_test::TreeDifference(zq_test::ExpectedStagedTree(running, builder), staged));
  std::string package_document = builder.DocumentText();
  EXPECT_EQ(package_document.substr(0, package_document.size() - 1) + ",\"state\":0}", document);
  struct stat info {};
  ASSERT_EQ(0, stat((root_.SlotB() + "/bin/zq_camera_service").c_str(), &info));
  EXPECT_NE(0u, info.st_mode & S_IXUSR);
}

struct RefusalCase {
  const char* name;
  std::function<void()> arrange;  // serves and announces
  std::string message;                              // the line that says why
};

TEST_F(UpgradeProcessTest, RefusedUpdatesNeverReboot) {
  const std::string valid = Package().Build();
  const std::string md5 = zq_test::Md5Hex(valid);
  auto announce_package = [this](UpgradePackageBuilder builder) {
    return [this, builder]() {
      std::string bytes = builder.Build();
      Announce(bytes, zq_test::Md5Hex(bytes));
    };
  };
  auto set_record = [](const char* list, unsigned index, std::string name, std::string path) {
    return [=](rapidjson::Document& d) {
      d[list][index]["name"].SetString(name.c_str(), static_cast<rapidjson::SizeType>(name.size()), d.GetAllocator());
      d[list][index]["path"].SetString(path.c_str(), static_cast<rapidjson::SizeType>(path.size()), d.GetAllocator());
    };
  };
  std::string upper = md5;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  const std::string bad_record = "is not a file inside the slot\n";
  std::vector<RefusalCase> cases = {
      {"md5 upper case", [&]() { Announce(valid, upper); }, "download file md5 ERROR\n"},
      {"md5 with an extra character", [&]() { Announce(valid, md5 + "0"); },
       "download file md5 ERROR\n"},
      {"404 page", [&]() { Announce("", md5); }, "download file md5 ERROR\n"},
      {"not a zip", [&]() { Announce("PK but no zip", zq_test::Md5Hex("PK but no zip")); },
       "can't open zip from source: "},
      {"version document only at top level", announce_package(Package().DocumentAtTopLevel()), "777\n"},
      {"invalid json", announce_package(Package().SetDocumentText("{\"major\": 4,")), "\nparase config ERROR\n"},
      {"incre_file not an array",
       announce_package(Package().Mutate([](rapidjson::Document& d) { d["incre_file"].SetString("x"); })),
       "parase config can't find incre_file\n"},
      {"all_file missing",
       announce_package(Package().Mutate([](rapidjson::Document& d) { d.RemoveMember("all_file"); })),
       "parase config can't find all_file\n"},
      {"major equal", announce_package(Package(3)), "new_major:3 current_major:3, abort upgrade!\n"},
      {"major lower", announce_package(Package(2)), "new_major:2 current_major:3, abort upgrade!\n"},
      {"major a string",
       announce_package(Package().Mutate([](rapidjson::Document& d) { d["major"].SetString("5"); })),
       "parase config major is not an integer, abort upgrade!\n"},
      {"path with ..", announce_package(Package().Mutate(set_record("incre_file", 1, "x", "/../../x"))), bad_record},
      {"path with ;touch X;",
       announce_package(Package().Mutate(set_record("incre_file", 1, ";touch X;", "/lib/;touch X;"))), bad_record},
      {"path without leading /", announce_package(Package().Mutate(set_record("all_file", 2, "x", "lib/x"))),
       bad_record},
      {"bak == app",
       [&]() {
         std::filesystem::remove(root_ / "bak");
         symlink(root_.SlotA().c_str(), (root_ / "bak").c_str());
         Announce(valid, md5);
       },
       "upgrade links refused: "},
      {"bak not a link",
       [&]() {
         std::filesystem::remove(root_ / "bak");
         std::filesystem::create_directories(root_ / "bak/config");
         Announce(valid, md5);
       },
       "upgrade links refused: "},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Every case from the same installation.
    std::filesystem::remove_all(root_ / "bak");
    std::filesystem::remove_all(root_.SlotB());
    std::filesystem::create_directories(root_.SlotB() + "/config");
    zq_test::WriteFile(root_.SlotB() + "/config/VersionConfig.json", "{\"major\":2,\"state\":0}");
    symlink(root_.SlotB().c_str(), (root_ / "bak").c_str());
    cloud_.server().ClearRequests();
    cloud_.server().SetReply("GET", kPackagePath, HttpReply::Text("<html>404 Not Found</html>", 404));
    c.arrange();
    Tree backup = zq_test::SnapshotTree(root_.SlotB());
    Tree running = zq_test::SnapshotTree(root_.SlotA());

    auto service = StartService();
    ASSERT_TRUE(service->WaitForStdout(c.message, 20s)) << service->Stdout();
    // The verdict is final: no reboot, and the package is not fetched again.
    EXPECT_FALSE(service->WaitForExit(700ms).has_value()) << service->Stdout();
    EXPECT_EQ(1u, cloud_.server().RequestsTo(kPackagePath).size());
    EXPECT_EQ(std::string::npos, service->Stdout().find("reboot !"));
    EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
    EXPECT_EQ("", zq_test::TreeDifference(backup, zq_test::SnapshotTree(root_.SlotB())));
    service->Kill();
  }
  EXPECT_FALSE(zq_test::FileExists(root_ / "X"));
  EXPECT_FALSE(zq_test::FileExists("X"));
}

// Killed at random moments while it stages: the running slot never changes,
// and the backup slot says "state" 0 only when it is complete.
TEST_F(UpgradeProcessTest, KilledWhileStagingNeverLeavesAFalseCompleteSlot) {
  for (int i = 0; i < 150; ++i) {
    zq_test::WriteFile(root_.SlotA() + "/data/d" + std::to_string(i % 8) + "/f" + std::to_string(i),
                       std::string(1500 + i, static_cast<char>('a' + i % 26)));
  }
  UpgradePackageBuilder builder = Package();
  for (int i = 0; i < 30; ++i) builder.AddFile("/pkg/p" + std::to_string(i), std::string(2500 + i, 'p'));
  std::string package = builder.Build();
  Announce(package, zq_test::Md5Hex(package));
  const Tree running = zq_test::SnapshotTree(root_.SlotA());
  const Tree expected = zq_test::ExpectedStagedTree(running, builder);
  const std::string started_line = "Service | DEBUG: download upgrade SUCCESS\n";

  // One complete run gives the length of the staging.
  auto complete = StartService();
  ASSERT_TRUE(complete->WaitForStdout(started_line, 20s)) << complete->Stdout();
  auto staging_began = std::chrono::steady_clock::now();
  ASSERT_EQ(zq_camera_service::platform::kSimulatedRebootStatus, complete->WaitForExit(30s).value_or(-1));
  auto staging = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - staging_began);

  // At least 20 kills during the staging, in at most 40 rounds; a run that
  // finished before its kill narrows the window.
  std::mt19937 random(2024);
  int killed_midway = 0;
  int64_t window = staging.count();
  for (int round = 0; round < 40 && killed_midway < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto service = StartService();
    ASSERT_TRUE(service->WaitForStdout(started_line, 20s)) << service->Stdout();
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (window + 1)));
    service->Signal(SIGKILL);
    auto status = service->WaitForExit(10s);
    ASSERT_TRUE(status.has_value());
    if (*status == zq_camera_service::platform::kSimulatedRebootStatus) {
      window = window * 7 / 10;
    } else {
      ++killed_midway;
    }

    ASSERT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
    if (SlotState(root_.SlotB()) == 0) {
      Tree staged = zq_test::SnapshotTree(root_.SlotB());
      staged.erase(kDocument);
      EXPECT_EQ("", zq_test::TreeDifference(expected, staged)) << "says state 0 but is incomplete";
    }
  }
  EXPECT_EQ(20, killed_midway) << "staging took " << staging.count() << " us";
}

}  // namespace
