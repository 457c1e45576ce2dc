#include "service/upgrade_staging.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/lock_file.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"
#include "support/upgrade_package.h"
#include "support/zip_builder.h"

namespace {

using zq_camera_service::CheckedPackage;
using zq_test::FileExists;
using zq_test::ReadFile;
using zq_test::Tree;
using zq_test::UpgradePackageBuilder;
using zq_test::WriteFile;

const char* const kDocument = "config/VersionConfig.json";

bool OwnerCanExecute(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

// The "state" of the version document in a slot: -1 without a readable one.
int SlotState(const std::string& slot) {
  std::string text = ReadFile(slot + "/" + kDocument);
  rapidjson::Document document;
  document.Parse(text.c_str());
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("state") ||
      !document["state"].IsInt()) {
    return -1;
  }
  return document["state"].GetInt();
}

void ReplaceLink(const std::string& link, const std::string& target) {
  std::filesystem::remove_all(link);
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str())) << link;
}

class UpgradeStagingTest : public ::testing::Test {
 protected:
  UpgradeStagingTest() : log_(4, 3, "") {
    g_zq_safe_file_path = root_ / "safe_file";
    zq_test::PopulateRunningSlot(root_, 3);
    // Leftovers of an older complete staging in the backup slot.
    WriteFile(root_.SlotB() + "/config/VersionConfig.json", "{\"major\":2,\"state\":0}");
    WriteFile(root_.SlotB() + "/old/stale.bin", "stale");
  }
  ~UpgradeStagingTest() override { g_zq_safe_file_path.clear(); }

  // Checks and stages the package; its result, what it printed in *printed.
  int Stage(const UpgradePackageBuilder& builder, std::string* printed) {
    return StageBytes(builder.Build(), printed, root_);
  }
  static int StageBytes(const std::string& bytes, std::string* printed, const zq_test::InstallRoot& root) {
    zq_test::StdoutCapture capture;
    std::unique_ptr<CheckedPackage> package;
    int result = zq_camera_service::CheckUpgradePackage(bytes.data(), bytes.size(), zq_test::Md5Hex(bytes),
                                                        root.path(), &package);
    if (result == 0) result = zq_camera_service::StageUpgrade(*package);
    *printed = capture.Text();
    return result;
  }

  static UpgradePackageBuilder FullPackage() {
    UpgradePackageBuilder builder(4);
    builder.SetMember("name", "\"release four\"")
        .AddSpecialFile("/etc/special.conf", "special=1\n")
        .AddFile("/bin/zq_camera_service", std::string("\x7f" "ELF new program\0\3", 19))
        .AddFile("/lib/libnew.so", std::string(7000, 'n'))
        .AddFile("/share/new/deep/data.bin", std::string("\0\1\2\3", 4))
        .Keep("/lib/libkeep.so")
        .Keep("/lib/libkeep.so.1")
        .Keep("/bin/helper.sh")
        .Keep("/config/BaseConfig.json")
        .Keep("/share/a/notes.txt");
    return builder;
  }

  zq_test::ScopedLogSettings log_;
  zq_test::InstallRoot root_;
};

TEST_F(UpgradeStagingTest, CompleteStagingRefillsTheBackupSlot) {
  UpgradePackageBuilder builder = FullPackage();
  Tree running = zq_test::SnapshotTree(root_.SlotA());
  std::string printed;
  ASSERT_EQ(0, Stage(builder, &printed)) << printed;

  EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
  Tree staged = zq_test::SnapshotTree(root_.SlotB());
  std::string document = staged[kDocument];
  staged.erase(kDocument);
  EXPECT_EQ("", zq_test::TreeDifference(zq_test::ExpectedStagedTree(running, builder), staged));
  // Both files named dup.txt were unlisted and are gone, wherever they lay.
  EXPECT_FALSE(FileExists(root_.SlotB() + "/share/a/dup.txt"));
  EXPECT_FALSE(FileExists(root_.SlotB() + "/share/b/dup.txt"));

  // Compact, members in the package's order, "state" 0 added at the end.
  std::string package_document = builder.DocumentText();
  EXPECT_EQ(package_document.substr(0, package_document.size() - 1) + ",\"state\":0}", document);
  EXPECT_TRUE(OwnerCanExecute(root_.SlotB() + "/bin/zq_camera_service"));
  EXPECT_TRUE(OwnerCanExecute(root_.SlotB() + "/bin/helper.sh"));

  const std::string debug = "Service | DEBUG: ";
  size_t state_line = printed.find(debug + "update VersionConfig state 1\n" + debug + root_.SlotA() + "\n" + debug +
                                   root_.SlotB() + "\n");
  size_t chmod_line = printed.find(debug + "chmod u+x " + root_.SlotB() + "/bin/zq_camera_service\n");
  EXPECT_NE(std::string::npos, state_line) << printed;
  EXPECT_NE(std::string::npos, chmod_line) << printed;
  EXPECT_LT(state_line, chmod_line);
  EXPECT_NE(std::string::npos, printed.find("backup_files size:")) << printed;
  EXPECT_NE(std::string::npos, printed.find("SafeRemoveFile " + root_.path() + "/bak/lib/libdropped.so 0\n"));
  EXPECT_NE(std::string::npos, printed.find("sepcial file end write\n"));
  EXPECT_NE(std::string::npos, printed.find("incre file end write\n"));
}

TEST_F(UpgradeStagingTest, StateKeepsItsPlaceAndTheDocumentComesFromThePackageDocument) {
  UpgradePackageBuilder builder(4);
  builder.SetMember("state", "7")
      .SetMember("extra", "{\"nested\":[1,2.5,\"x\"]}")
      .AddFile("/config/VersionConfig.json", "{\"not\":\"this\"}")
      .Keep("/bin/zq_camera_service");
  std::string printed;
  ASSERT_EQ(0, Stage(builder, &printed)) << printed;
  std::string expected = builder.DocumentText();
  expected.replace(expected.find("\"state\":7"), 9, "\"state\":0");
  EXPECT_EQ(expected, ReadFile(root_.SlotB() + "/" + kDocument));
  // No special_file and nothing but the document to extract.
  EXPECT_NE(std::string::npos, printed.find("parase config can't find special_file\n\n")) << printed;
  Tree staged = zq_test::SnapshotTree(root_.SlotB());
  EXPECT_EQ(0u, staged.count("lib/libkeep.so"));
  EXPECT_EQ(1u, staged.count("bin/zq_camera_service"));
}

TEST_F(UpgradeStagingTest, RelativeLinksAndAMissingBackupSlot) {
  ReplaceLink(root_ / "app", "slotA");
  ReplaceLink(root_ / "bak", "./slotC");
  std::string printed;
  ASSERT_EQ(0, Stage(FullPackage(), &printed)) << printed;
  EXPECT_EQ(0, SlotState(root_ / "slotC"));
  EXPECT_EQ("special=1\n", ReadFile(root_ / "slotC/etc/special.conf"));
  // The old backup slot is no longer the backup slot and is left alone.
  EXPECT_EQ("stale", ReadFile(root_.SlotB() + "/old/stale.bin"));
}

TEST_F(UpgradeStagingTest, UnusableSlotLinksAreRefusedBeforeAnythingIsTouched) {
  struct Case {
    const char* name;
    std::function<void(const zq_test::InstallRoot&)> layout;
  };
  using Root = zq_test::InstallRoot;
  const Case cases[] = {
      {"bak names the running slot", [](const Root& r) { ReplaceLink(r / "bak", r.SlotA()); }},
      {"bak names the running slot another way", [](const Root& r) { ReplaceLink(r / "bak", "slotB/../slotA/"); }},
      {"bak is no link", [](const Root& r) {
         std::filesystem::remove(r / "bak");
         std::filesystem::create_directories(r / "bak/config");
       }},
      {"bak missing", [](const Root& r) { std::filesystem::remove(r / "bak"); }},
      {"bak is the root directory", [](const Root& r) { ReplaceLink(r / "bak", "/"); }},
      {"bak is the install root", [](const Root& r) { ReplaceLink(r / "bak", "."); }},
      {"bak is above the install root", [](const Root& r) { ReplaceLink(r / "bak", ".."); }},
      {"bak inside the running slot", [](const Root& r) { ReplaceLink(r / "bak", "slotA/var"); }},
      {"running slot inside bak", [](const Root& r) {
         std::filesystem::rename(r.SlotA(), r.SlotB() + "/inner");
         ReplaceLink(r / "app", "slotB/inner");
       }},
      {"bak through another link", [](const Root& r) {
         ASSERT_EQ(0, symlink(r.SlotB().c_str(), (r / "bak2").c_str()));
         ReplaceLink(r / "bak", "bak2");
       }},
      {"bak below a missing directory", [](const Root& r) { ReplaceLink(r / "bak", "missing/slotB"); }},
      {"app missing", [](const Root& r) { ReplaceLink(r / "app", "slotZ"); }},
      {"app is no link", [](const Root& r) {
         std::filesystem::remove(r / "app");
         std::filesystem::create_directories(r / "app/config");
       }},
  };
  for (const Case& c : cases) {
    Root root;
    g_zq_safe_file_path = root / "safe_file";
    zq_test::PopulateRunningSlot(root, 3);
    WriteFile(root.SlotB() + "/config/VersionConfig.json", "{\"major\":2,\"state\":0}");
    c.layout(root);
    Tree before = zq_test::SnapshotTree(root.path());
    std::string printed;
    EXPECT_EQ(-1, StageBytes(FullPackage().Build(), &printed, root)) << c.name;
    EXPECT_NE(std::string::npos, printed.find("upgrade links refused: ")) << c.name << "\n" << printed;
    EXPECT_EQ(std::string::npos, printed.find("update VersionConfig state 1")) << c.name;
    Tree after = zq_test::SnapshotTree(root.path());
    EXPECT_EQ("", zq_test::TreeDifference(before, after)) << c.name;
  }
}

TEST_F(UpgradeStagingTest, FailedWriteAbandonsWithStateOne) {
  // A directory of that name in the running slot: the rename over it fails.
  WriteFile(root_.SlotA() + "/lib/libnew.so/inner", "in the way");
  Tree running = zq_test::SnapshotTree(root_.SlotA());
  std::string printed;
  EXPECT_EQ(-1, Stage(FullPackage(), &printed));
  EXPECT_NE(std::string::npos, printed.find("write " + root_.path() + "/bak/lib/libnew.so failed!\n")) << printed;
  EXPECT_EQ(1, SlotState(root_.SlotB()));
  EXPECT_EQ(std::string::npos, printed.find("chmod u+x"));
  // The files after the failed one are not written.
  EXPECT_FALSE(FileExists(root_.SlotB() + "/share/new/deep/data.bin"));
  EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
}

TEST_F(UpgradeStagingTest, WritesNeverGoThroughALinkOfTheSlot) {
  // A link of the running slot into itself: a package file below it would
  // land in the running slot.
  ASSERT_EQ(0, symlink((root_.SlotA() + "/lib").c_str(), (root_.SlotA() + "/plugins").c_str()));
  Tree running = zq_test::SnapshotTree(root_.SlotA());
  UpgradePackageBuilder builder = FullPackage();
  builder.AddFile("/plugins/evil.so", "evil");
  std::string printed;
  EXPECT_EQ(-1, Stage(builder, &printed));
  EXPECT_NE(std::string::npos, printed.find("write " + root_.path() + "/bak/plugins/evil.so failed!\n")) << printed;
  EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
  EXPECT_EQ(1, SlotState(root_.SlotB()));

  // The same for the version document's own directory.
  std::filesystem::remove_all(root_.SlotA() + "/plugins");
  ASSERT_EQ(0, symlink((root_.SlotA() + "/config").c_str(), (root_.SlotA() + "/etc2").c_str()));
  running = zq_test::SnapshotTree(root_.SlotA());
  UpgradePackageBuilder through_link(4);
  through_link.Mutate([](rapidjson::Document& d) {
    d["all_file"][0]["path"].SetString("/etc2/VersionConfig.json");
  });
  through_link.Keep("/bin/zq_camera_service");
  EXPECT_EQ(-1, Stage(through_link, &printed));
  EXPECT_NE(std::string::npos, printed.find("write VersionConfig failed! 1\n")) << printed;
  EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
}

TEST_F(UpgradeStagingTest, CorruptSpecialEntryStopsTheSpecialPassAndAbandons) {
  UpgradePackageBuilder builder(4);
  const std::string corrupt = "first special, stored and corrupted";  // odd length: stored
  builder.AddSpecialFile("/etc/one.conf", corrupt)
      .AddSpecialFile("/etc/two.conf", "second special")
      .AddFile("/lib/libnew.so", "incremental")
      .Keep("/bin/zq_camera_service");
  std::string bytes = builder.Build();
  bytes[zq_test::FindStoredData(bytes, corrupt) + 3] ^= 0x20;
  std::string printed;
  EXPECT_EQ(-1, StageBytes(bytes, &printed, root_));
  EXPECT_FALSE(FileExists(root_.SlotB() + "/etc/one.conf"));
  EXPECT_FALSE(FileExists(root_.SlotB() + "/etc/two.conf"));
  EXPECT_EQ("incremental", ReadFile(root_.SlotB() + "/lib/libnew.so"));
  EXPECT_NE(std::string::npos, printed.find("write file ERROR!\n")) << printed;
  EXPECT_EQ(1, SlotState(root_.SlotB()));
}

TEST_F(UpgradeStagingTest, SpecialRecordOfTheVersionDocumentNeverOverwritesTheStagedOne) {
  // The archive's own version document says "state" 0; written as a special
  // file at the document's path it would mark the half-staged slot complete.
  const std::string incremental = "incremental file, stored so that it can be corrupted!";  // odd length: stored
  struct Case {
    const char* what;
    bool corrupt_incremental;
    int result;
    int state;
  };
  const Case cases[] = {
      {"staging abandoned after the special pass", true, -1, 1},
      {"staging complete", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UpgradePackageBuilder builder(4);
    builder.SetMember("state", "0")
        .AddFile("/lib/libnew.so", incremental)
        .Keep("/bin/zq_camera_service")
        .Mutate([](rapidjson::Document& d) {
          auto& allocator = d.GetAllocator();
          rapidjson::Value record(rapidjson::kObjectType);
          record.AddMember("name", "VersionConfig.json", allocator);
          record.AddMember("path", "/config/VersionConfig.json", allocator);
          rapidjson::Value special(rapidjson::kArrayType);
          special.PushBack(record, allocator);
          d.AddMember("special_file", special, allocator);
        });
    std::string bytes = builder.Build();
    if (c.corrupt_incremental) bytes[zq_test::FindStoredData(bytes, incremental) + 3] ^= 0x20;
    std::string printed;
    EXPECT_EQ(c.result, StageBytes(bytes, &printed, root_)) << printed;
    std::string expected = builder.DocumentText();
    expected.replace(expected.find("\"state\":0"), 9, "\"state\":" + std::to_string(c.state));
    EXPECT_EQ(expected, ReadFile(root_.SlotB() + "/" + kDocument));
    EXPECT_EQ(c.state, SlotState(root_.SlotB()));
    EXPECT_EQ(c.corrupt_incremental, printed.find("write file ERROR!\n") != std::string::npos) << printed;
  }
}

TEST_F(UpgradeStagingTest, SlotWithoutItsProgramIsNeverMarkedComplete) {
  std::filesystem::remove(root_.SlotA() + "/bin/zq_camera_service");
  UpgradePackageBuilder builder(4);
  builder.AddFile("/lib/libnew.so", "n");
  std::string printed;
  EXPECT_EQ(-1, Stage(builder, &printed));
  EXPECT_NE(std::string::npos, printed.find("chmod u+x " + root_.SlotB() + "/bin/zq_camera_service failed\n"))
      << printed;
  EXPECT_EQ(1, SlotState(root_.SlotB()));
}

// Staging killed at random moments: the running slot never changes, and the
// backup slot never says "state" 0 unless it is complete.
TEST_F(UpgradeStagingTest, KilledAtRandomMomentsNeverLeavesAFalseCompleteSlot) {
  for (int i = 0; i < 200; ++i) {
    WriteFile(root_.SlotA() + "/data/d" + std::to_string(i % 10) + "/f" + std::to_string(i), std::string(2000 + i, 'a' + i % 26));
  }
  UpgradePackageBuilder builder = FullPackage();
  for (int i = 0; i < 40; ++i) builder.AddFile("/pkg/p" + std::to_string(i), std::string(3000 + i, 'p'));
  for (int i = 0; i < 200; i += 2) builder.Keep("/data/d" + std::to_string(i % 10) + "/f" + std::to_string(i));
  const std::string bytes = builder.Build();
  const Tree running = zq_test::SnapshotTree(root_.SlotA());
  const Tree expected = zq_test::ExpectedStagedTree(running, builder);

  auto run_child = [&]() -> pid_t {
    pid_t child = fork();
    if (child == 0) {
      int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
      std::unique_ptr<CheckedPackage> package;
      int result = zq_camera_service::CheckUpgradePackage(bytes.data(), bytes.size(), zq_test::Md5Hex(bytes),
                                                          root_.path(), &package);
      if (result == 0) result = zq_camera_service::StageUpgrade(*package);
      _exit(result == 0 ? 0 : 1);
    }
    return child;
  };
  // The shortest of a few complete runs: kills spread over it land during
  // the staging even when the machine is busier at one moment than another.
  std::chrono::microseconds full_run = std::chrono::microseconds::max();
  for (int run = 0; run < 3; ++run) {
    auto started = std::chrono::steady_clock::now();
    pid_t complete = run_child();
    int status = 0;
    ASSERT_EQ(complete, waitpid(complete, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    if (took < full_run) full_run = took;
  }
  int status = 0;
  // At least 20 kills during the staging, in at most 60 rounds. A run that
  // finished before its kill (the machine got faster) narrows the window.
  std::mt19937 random(12345);
  int killed_midway = 0;
  int64_t window = full_run.count() * 9 / 10;
  for (int round = 0; round < 60 && killed_midway < 20; ++round) {
    auto delay = std::chrono::microseconds(random() % (window + 1));
    pid_t child = run_child();
    std::this_thread::sleep_for(delay);
    kill(child, SIGKILL);
    ASSERT_EQ(child, waitpid(child, &status, 0));
    bool completed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (completed) {
      window = window * 7 / 10;
    } else {
      ++killed_midway;
    }

    ASSERT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA()))) << "round " << round;
    if (SlotState(root_.SlotB()) == 0) {
      Tree staged = zq_test::SnapshotTree(root_.SlotB());
      staged.erase(kDocument);
      EXPECT_EQ("", zq_test::TreeDifference(expected, staged)) << "round " << round << " says state 0 but is incomplete";
    }
  }
  EXPECT_EQ(20, killed_midway) << "the kills should land during the staging (full run " << full_run.count() << " us)";
}

}  // namespace
