// The real binary upgrading itself: an update announced by the cloud's
// authentication reply is downloaded from the fake, checked, staged into the
// backup slot, and the process ends with the simulated reboot: exit status 100.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/resource.h>
#include <sys/statvfs.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include <rapidjson/document.h>

#include "platform/platform.h"
#include "support/build_kind.h"
#include "support/cloud_backend.h"
#include "support/proc_figures.h"
#include "support/small_file_system.h"
#include "support/upgrade_package.h"
#include "support/zip_builder.h"

namespace {

using namespace std::chrono_literals;
using zq_test::ChildProcess;
using zq_test::CloudBackendFake;
using zq_test::HttpReply;
using zq_test::kPackagePath;
using zq_test::kSlotDocument;
using zq_test::SlotState;
using zq_test::Tree;
using zq_test::UpgradePackageBuilder;

const char* const kSuccessLine = "Service | DEBUG: download upgrade SUCCESS\n";

// The time bounds below are on the CPU time the service spends, where
// quadratic work shows, not on the wall clock, which a busy machine or a
// slow disk stretches. They hold for a plain build with room to spare; a
// sanitizer's runtime makes the service several times slower, and still far
// faster than the quadratic work the bounds are there to catch.
constexpr double kSlowdown = zq_test::kSanitizerBuild ? 4.0 : 1.0;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds of the children this process has reaped so far.
double ReapedChildrenCpu() {
  struct rusage usage {};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string LinkText(const std::string& link) {
  std::error_code error;
  return std::filesystem::read_symlink(link, error).string();
}

// The package's document with "state":0 as its first and its last member.
std::string WithRepeatedState(const std::string& document) {
  return "{\"state\":0," + document.substr(1, document.size() - 2) + ",\"state\":0}";
}

class UpgradeProcessTest : public zq_test::CloudProcessTest {
 protected:
  UpgradeProcessTest() {
    zq_test::PopulateRunningSlot(root_, 3);
    // The running slot's configuration points at the cloud fake; heartbeats
    // every second show whether the transport is free after an update.
    zq_test::WriteCloudConfigs(root_, cloud_, 3);
    root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud_, 1, 2));
  }

  // Serves `package` and has the cloud announce version `version` with `md5`.
  void Announce(const std::string& package, const std::string& md5, int version = 4) {
    if (!package.empty()) cloud_.server().SetReply("GET", kPackagePath, HttpReply::Bytes(package, "application/zip"));
    zq_test::AnnounceUpdate(cloud_, version, cloud_.url() + kPackagePath, md5);
  }

  // A fresh installation: the running slot of version 3, an older complete
  // staging in the backup slot, the links as the fixture made them.
  void ResetSlots() {
    std::filesystem::remove_all(root_.SlotA());
    std::filesystem::remove_all(root_.SlotB());
    zq_test::PopulateRunningSlot(root_, 3);
    root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud_, 1, 2));
    zq_test::WriteFile(root_.SlotB() + "/config/VersionConfig.json", "{\"major\":2,\"state\":0}");
    zq_test::WriteFile(root_.SlotB() + "/lib/libold.so", std::string(4000, 'o'));
    cloud_.server().ClearRequests();
  }

  void AnnounceBuilt(const UpgradePackageBuilder& builder) {
    std::string bytes = builder.Build();
    Announce(bytes, zq_test::Md5Hex(bytes));
  }

  // Where the two slot links point, as one text to compare.
  std::string SlotLinks() const { return LinkText(root_ / "app") + " " + LinkText(root_ / "bak"); }

  // True when a heartbeat reaches the cloud after this moment.
  bool ReportsFlow() {
    size_t before = cloud_.Reports(CloudBackendFake::kHeartbeatPath).size();
    return cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, before + 1, std::chrono::seconds(10));
  }

  static UpgradePackageBuilder Package(int major = 4) { return zq_test::UpdateOverRunningSlot(major); }
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
  std::string document = staged[kSlotDocument];
  staged.erase(kSlotDocument);
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

// Packages a broken build server or a hostile mirror could serve, each with
// the digest the cloud announces: each is refused with its line, or found
// faulty while it is staged, and never leaves data of the new version in the
// backup slot. The running slot and the links never change, the device does
// not reboot, and the reports go on.
TEST_F(UpgradeProcessTest, HostilePackagesLeaveNoStagedDataBehind) {
  struct Case {
    const char* name;
    std::function<void()> arrange;  // serves and announces
    std::string verdict;            // the line that ends the attempt
    double bound_seconds;           // from the download to the verdict
    bool staging_began;             // the slot was touched before the fault showed
  };
  const std::string stored_text = "a library stored in the archive, whose bytes get corrupted!";  // odd: stored
  std::vector<Case> cases = {
      {"version document repeating \"state\", one file that cannot be written",
       [&] {
         // A directory in the running slot where the package puts a file.
         zq_test::WriteFile(root_.SlotA() + "/lib/libnew.so/inner", "in the way");
         UpgradePackageBuilder builder = Package();
         AnnounceBuilt(builder.SetDocumentText(WithRepeatedState(builder.DocumentText())));
       },
       "repeats the member \"state\"", 10, false},
      {"entry above the 64 MiB cap",
       [&] { AnnounceBuilt(Package().AddFile("/lib/huge.bin", std::string((65u << 20), '\0'))); },
       "above the cap", 10, false},
      {"complete-file list without the program",
       [&] {
         AnnounceBuilt(Package().Mutate([](rapidjson::Document& d) {
           rapidjson::Value& all = d["all_file"];
           for (auto it = all.Begin(); it != all.End(); ++it) {
             if (std::string((*it)["path"].GetString()) == "/bin/zq_camera_service") {
               all.Erase(it);
               break;
             }
           }
         }));
       },
       "all_file does not list /bin/zq_camera_service", 10, false},
      {"60,000 records, the last one missing from the archive",
       [&] {
         UpgradePackageBuilder builder = Package();
         for (int i = 0; i < 60000; ++i) builder.AddFile("/d/f" + std::to_string(i), "x");
         AnnounceBuilt(builder.OmitEntry("/d/f59999"));
       },
       "upgrade package lacks f59999\n", 5, false},
      {"corrupt entry found while staging",
       [&] {
         std::string bytes = Package().AddFile("/lib/libstored.so", stored_text).Build();
         bytes[zq_test::FindStoredData(bytes, stored_text) + 5] ^= 0x40;
         Announce(bytes, zq_test::Md5Hex(bytes));
       },
       "write file ERROR!\n", 10, true},
  };
  // Start-up gets past the encoder-information request, so the reports run.
  StartCameraPeer();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetSlots();
    c.arrange();
    const Tree running = zq_test::SnapshotTree(root_.SlotA());
    const Tree backup = zq_test::SnapshotTree(root_.SlotB());
    const std::string links = SlotLinks();

    auto service = StartService();
    ASSERT_TRUE(service->WaitForStdout(kSuccessLine, std::chrono::seconds(20))) << service->Stdout();
    auto downloaded = std::chrono::steady_clock::now();
    long cpu_before = zq_test::CpuTicks(service->pid());
    // Not fatal: what the attempt left behind is looked at all the same.
    bool judged = service->WaitForStdout(c.verdict, std::chrono::seconds(45));
    double took = SecondsSince(downloaded);
    double cpu = static_cast<double>(zq_test::CpuTicks(service->pid()) - cpu_before) / sysconf(_SC_CLK_TCK);
    EXPECT_TRUE(judged) << service->Stdout();
    EXPECT_LT(cpu, c.bound_seconds * kSlowdown) << "check and staging took " << took << " s, " << cpu << " s of CPU";
    printf("[ figures  ] %s: %.2f s, %.2f s of CPU\n", c.name, took, cpu);

    EXPECT_FALSE(service->WaitForExit(700ms).has_value()) << service->Stdout();
    EXPECT_EQ(std::string::npos, service->Stdout().find("reboot !"));
    EXPECT_EQ(1u, cloud_.server().RequestsTo(kPackagePath).size());
    EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
    EXPECT_EQ(links, SlotLinks());
    Tree after = zq_test::SnapshotTree(root_.SlotB());
    if (c.staging_began) {
      // Nothing but the document that says the slot is unfinished.
      EXPECT_EQ(1, SlotState(root_.SlotB())) << after[kSlotDocument];
      EXPECT_EQ("", zq_test::DifferenceFromAbandonedSlot(root_.SlotB()));
    } else {
      EXPECT_EQ("", zq_test::TreeDifference(backup, after)) << "document now: " << after[kSlotDocument];
    }
    EXPECT_TRUE(ReportsFlow());
    service->Kill();
  }
}

// Packages whose files collide with the names a careless writer puts its
// temporary files under, or whose slot needs a long prune: each is staged
// whole, byte for byte, and the device reboots into it.
TEST_F(UpgradeProcessTest, PackagesThatTrapATemporaryNameOrNeedALongPruneAreStagedWhole) {
  struct Case {
    const char* name;
    std::function<UpgradePackageBuilder()> arrange;
    double bound_seconds;  // from the download to the reboot
  };
  const std::vector<Case> cases = {
      {"the package lists X and Xtmp",
       [] {
         UpgradePackageBuilder builder = Package();
         builder.AddFile("/lib/libfootmp", "a file whose name ends in tmp\n")
             .AddFile("/lib/libfoo", std::string(3000, 'f'));
         return builder;
       },
       10},
      {"the running slot holds Xtmp, the package writes X",
       [this] {
         zq_test::WriteFile(root_.SlotA() + "/lib/libfootmp", "kept from the running version\n");
         UpgradePackageBuilder builder = Package();
         builder.Keep("/lib/libfootmp").AddFile("/lib/libfoo", std::string(3000, 'f'));
         return builder;
       },
       10},
      {"3,000 files of one name the new version does not list",
       [this] {
         for (int i = 0; i < 3000; ++i) {
           zq_test::WriteFile(root_.SlotA() + "/cache/d" + std::to_string(i) + "/stale.bin", "s");
         }
         return Package();
       },
       10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetSlots();
    UpgradePackageBuilder builder = c.arrange();
    AnnounceBuilt(builder);
    const Tree running = zq_test::SnapshotTree(root_.SlotA());
    const std::string links = SlotLinks();

    double cpu_before = ReapedChildrenCpu();
    auto service = StartService();
    ASSERT_TRUE(service->WaitForStdout(kSuccessLine, std::chrono::seconds(20))) << service->Stdout();
    auto downloaded = std::chrono::steady_clock::now();
    auto status = service->WaitForExit(std::chrono::seconds(90));
    double took = SecondsSince(downloaded);
    ASSERT_TRUE(status.has_value()) << service->Stdout();
    EXPECT_EQ(zq_camera_service::platform::kSimulatedRebootStatus, *status) << service->Stdout();
    double cpu = ReapedChildrenCpu() - cpu_before;
    EXPECT_LT(cpu, c.bound_seconds * kSlowdown) << "staging took " << took << " s; the process used " << cpu << " s of CPU";
    printf("[ figures  ] %s: %.2f s, process %.2f s of CPU\n", c.name, took, cpu);

    EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
    EXPECT_EQ(links, SlotLinks());
    Tree staged = zq_test::SnapshotTree(root_.SlotB());
    EXPECT_EQ(0, SlotState(root_.SlotB())) << staged[kSlotDocument];
    staged.erase(kSlotDocument);
    EXPECT_EQ("", zq_test::TreeDifference(zq_test::ExpectedStagedTree(running, builder), staged));
  }
}

// The backup slot on a file system too small for the package: refused with
// one line before anything is written, so the flash keeps its room.
TEST_F(UpgradeProcessTest, PackageLargerThanTheBackupFileSystemLeavesItsRoomFree) {
  std::string why = zq_test::PrivateMountsUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  constexpr size_t kFileSystemBytes = 32u << 20;
  constexpr size_t kEntryBytes = 12u << 20;  // three of them do not fit
  const std::string small = root_ / "small";
  std::filesystem::create_directories(small);
  // What the small file system holds before: an older complete staging.
  zq_test::TempDir seed("zqseed");
  zq_test::WriteFile(seed / "slotB/config/VersionConfig.json", "{\"major\":2,\"state\":0}");
  zq_test::WriteFile(seed / "slotB/lib/libold.so", std::string(1u << 20, 'o'));
  std::filesystem::remove(root_ / "bak");
  ASSERT_EQ(0, symlink((small + "/slotB").c_str(), (root_ / "bak").c_str()));
  UpgradePackageBuilder builder = Package();
  for (int i = 0; i < 3; ++i) builder.AddFile("/data/zero" + std::to_string(i) + ".bin", std::string(kEntryBytes, '\0'));
  AnnounceBuilt(builder);
  const Tree running = zq_test::SnapshotTree(root_.SlotA());
  const Tree backup = zq_test::SnapshotTree(seed / "slotB");

  StartCameraPeer();
  zq_test::SmallFileSystemCommand command =
      zq_test::RunProgramOnSmallFileSystem(small, kFileSystemBytes, ZQ_SERVICE_BINARY, seed.path());
  ChildProcess service(environment_.env, command.program, command.args);
  ASSERT_TRUE(service.WaitForStdout(kSuccessLine, std::chrono::seconds(20))) << service.Stdout();
  const std::string verdict = "upgrade refused: ";
  bool refused = service.WaitForStdout(verdict, std::chrono::seconds(20));
  // However it ended, what the small file system holds now.
  EXPECT_FALSE(service.WaitForExit(700ms).has_value()) << service.Stdout();
  const std::string seen_small = zq_test::SeenBy(service.pid(), small);
  struct statvfs room {};
  ASSERT_EQ(0, statvfs(seen_small.c_str(), &room));
  double used_mib = static_cast<double>(room.f_blocks - room.f_bfree) * room.f_frsize / (1 << 20);
  printf("[ figures  ] the backup slot's file system holds %.1f MiB of %zu MiB\n", used_mib, kFileSystemBytes >> 20);
  Tree after = zq_test::SnapshotTree(seen_small + "/slotB");
  EXPECT_TRUE(refused) << service.Stdout();
  EXPECT_EQ(1u, zq_test::LinesWith(service.Stdout(), verdict).size());
  EXPECT_EQ("", zq_test::TreeDifference(backup, after)) << "document now: " << after[kSlotDocument];
  EXPECT_LT(used_mib, 2.0);
  EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
  EXPECT_TRUE(ReportsFlow());
}

// A package server that trickles: libcurl gives the transfer up after 30 s
// below 1 KiB/s, the reports waiting for the transport go out, and the
// download is tried again after its back-off, which is at least three times
// what the attempt held the transport.
TEST_F(UpgradeProcessTest, TricklingDownloadIsGivenUpAndTheReportsTakeTheirTurn) {
  std::string package = Package().Build();
  Announce("", zq_test::Md5Hex(package));
  cloud_.server().SetReply("GET", kPackagePath,
                           HttpReply::Trickle(HttpReply::Bytes(package, "application/zip"), 1, std::chrono::seconds(1)));
  StartCameraPeer();
  auto service = StartService();
  ASSERT_TRUE(cloud_.server().WaitForRequestsTo(kPackagePath, 2, std::chrono::seconds(240))) << service->Stdout();
  auto downloads = cloud_.server().RequestsTo(kPackagePath);
  double between = std::chrono::duration<double>(downloads[1].arrival - downloads[0].arrival).count();
  printf("[ figures  ] second download attempt %.1f s after the first\n", between);
  // 30 s of trickle, then three times that without the download.
  EXPECT_GE(between, 4 * 29.0);
  EXPECT_LE(between, 4 * 45.0);
  EXPECT_NE(std::string::npos, service->Stdout().find("download upgrade ERROR\n"));
  // A heartbeat that waited for the transport went out before the retry.
  bool reported_between = false;
  for (const auto& heartbeat : cloud_.Reports(CloudBackendFake::kHeartbeatPath)) {
    reported_between = reported_between || (heartbeat.raw.arrival > downloads[0].arrival + std::chrono::seconds(25) &&
                                            heartbeat.raw.arrival < downloads[1].arrival);
  }
  EXPECT_TRUE(reported_between);
  service->Kill();
}

}  // namespace
