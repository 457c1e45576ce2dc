#include "service/upgrade_staging.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/lock_file.h"
#include "base/utils.h"
#include "support/build_kind.h"
#include "support/child_process.h"
#include "support/log_settings.h"
#include "support/proc_figures.h"
#include "support/small_file_system.h"
#include "support/stdout_capture.h"
#include "support/upgrade_package.h"
#include "support/zip_builder.h"

namespace {

using zq_camera_service::CheckedPackage;
using zq_test::FileExists;
using zq_test::IncompressibleBytes;
using zq_test::ReadFile;
using zq_test::kSlotDocument;
using zq_test::SlotState;
using zq_test::Tree;
using zq_test::UpgradePackageBuilder;
using zq_test::WriteFile;


bool OwnerCanExecute(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) != 0;
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

  // The backup slot, its version document (put in *document) left aside,
  // checked to hold what a complete staging of `builder` over `running`
  // leaves.
  Tree ExpectCompleteStaging(const Tree& running, const UpgradePackageBuilder& builder,
                             std::string* document = nullptr) const {
    Tree staged = zq_test::SnapshotTree(root_.SlotB());
    if (document != nullptr) *document = staged[kSlotDocument];
    staged.erase(kSlotDocument);
    EXPECT_EQ("", zq_test::TreeDifference(zq_test::ExpectedStagedTree(running, builder), staged));
    return staged;
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
  std::string document;
  ExpectCompleteStaging(running, builder, &document);
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
  EXPECT_EQ(expected, ReadFile(root_.SlotB() + "/" + kSlotDocument));
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
  // The files after the failed one are not written, and those before it
  // are taken back with the copy of the running slot.
  EXPECT_EQ(std::string::npos, printed.find("begin write " + root_.path() + "/bak/share/new/deep/data.bin")) << printed;
  EXPECT_EQ("", zq_test::DifferenceFromAbandonedSlot(root_.SlotB()));
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
  // The special pass stopped at the corrupt entry, the incremental files
  // were still written, and then the attempt was given up.
  EXPECT_EQ(std::string::npos, printed.find("begin write " + root_.path() + "/bak/etc/two.conf")) << printed;
  EXPECT_NE(std::string::npos, printed.find("begin write " + root_.path() + "/bak/lib/libnew.so")) << printed;
  EXPECT_NE(std::string::npos, printed.find("write file ERROR!\n")) << printed;
  // What it wrote is gone again: only the unfinished document stays.
  EXPECT_EQ(1, SlotState(root_.SlotB()));
  EXPECT_EQ("", zq_test::DifferenceFromAbandonedSlot(root_.SlotB()));
}

// The piece in which a package file goes from the archive to the slot.
constexpr size_t kPiece = zq_camera_service::Utils::kSafeWritePiece;

// Files around the piece's size and of several pieces, stored (odd sizes)
// and deflated (even ones), special and incremental: each reaches the slot
// byte for byte, and nothing else is left beside them.
TEST_F(UpgradeStagingTest, FilesOfSeveralPiecesAreStreamedIntoTheSlotByteForByte) {
  UpgradePackageBuilder builder = FullPackage();
  builder.AddSpecialFile("/etc/table.bin", IncompressibleBytes(2 * kPiece + 1, 1));
  const size_t sizes[] = {kPiece - 1, kPiece, kPiece + 1, 3 * kPiece + 17, 3 * kPiece + 18};
  for (size_t size : sizes) {
    builder.AddFile("/data/f" + std::to_string(size) + ".bin", IncompressibleBytes(size, static_cast<unsigned>(size)));
  }
  const Tree running = zq_test::SnapshotTree(root_.SlotA());
  std::string printed;
  ASSERT_EQ(0, Stage(builder, &printed)) << printed;
  Tree staged = ExpectCompleteStaging(running, builder);
  for (size_t size : sizes) {
    EXPECT_TRUE(staged["data/f" + std::to_string(size) + ".bin"] == IncompressibleBytes(size, static_cast<unsigned>(size)))
        << size;
  }
  EXPECT_EQ(0, SlotState(root_.SlotB()));
}

// An incremental file found corrupt after some of its pieces were written
// (a CRC that does not match at its end; compressed data broken in its
// middle): the staging is given up as for an entry that cannot be
// extracted, with the reader's line, and the slot keeps only the
// unfinished document. The file after it is never begun.
TEST_F(UpgradeStagingTest, IncrementalFileFoundCorruptMidStreamAbandonsTheStaging) {
  const std::string big = IncompressibleBytes(3 * kPiece + 1, 7);  // odd: stored
  const std::string big_even = IncompressibleBytes(3 * kPiece + 2, 8);  // even: deflated
  struct Case {
    const char* name;
    const std::string& bytes;
  };
  for (const Case& c : {Case{"stored, CRC wrong", big}, Case{"deflated, data broken", big_even}}) {
    SCOPED_TRACE(c.name);
    UpgradePackageBuilder builder = FullPackage();
    builder.AddFile("/lib/libbig.so", c.bytes).AddFile("/lib/libafter.so", "after");
    std::string archive = builder.Build();
    const bool stored = c.bytes.size() % 2 == 1;
    size_t data_start = stored ? zq_test::FindStoredData(archive, c.bytes)
                               : archive.find("pkg/lib/libbig.so") + strlen("pkg/lib/libbig.so");
    ASSERT_NE(std::string::npos, data_start);
    // Two pieces in: they are written before the fault shows.
    for (size_t i = 0; i < 8; ++i) archive[data_start + 2 * kPiece + i] ^= 0x5A;
    std::string printed;
    zq_test::StdoutCapture errors(2);
    EXPECT_EQ(-1, StageBytes(archive, &printed, root_));
    EXPECT_NE(std::string::npos, printed.find("begin write " + root_.path() + "/bak/lib/libbig.so\n")) << printed;
    EXPECT_NE(std::string::npos, printed.find("write file ERROR!\n")) << printed;
    EXPECT_EQ(std::string::npos, printed.find("begin write " + root_.path() + "/bak/lib/libafter.so")) << printed;
    EXPECT_EQ(std::string::npos, printed.find("write " + root_.path() + "/bak/lib/libbig.so failed!")) << printed;
    EXPECT_EQ(1u, zq_test::LinesWith(errors.Text(), "can't open file at index': ").size()) << errors.Text();
    EXPECT_EQ(1, SlotState(root_.SlotB()));
    EXPECT_EQ("", zq_test::DifferenceFromAbandonedSlot(root_.SlotB()));
  }
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
    EXPECT_EQ(expected, ReadFile(root_.SlotB() + "/" + kSlotDocument));
    EXPECT_EQ(c.state, SlotState(root_.SlotB()));
    EXPECT_EQ(c.corrupt_incremental, printed.find("write file ERROR!\n") != std::string::npos) << printed;
  }
}

TEST_F(UpgradeStagingTest, SlotWithoutItsProgramIsRefusedBeforeTheSlotIsTouched) {
  std::filesystem::remove(root_.SlotA() + "/bin/zq_camera_service");
  struct Case {
    const char* name;
    UpgradePackageBuilder package;
    std::string line;
  };
  UpgradePackageBuilder unlisted(4);
  unlisted.AddFile("/lib/libnew.so", "n");
  UpgradePackageBuilder listed_but_nowhere(4);
  listed_but_nowhere.AddFile("/lib/libnew.so", "n").Keep("/bin/zq_camera_service");
  const Case cases[] = {
      {"all_file does not list the program", unlisted,
       "upgrade package refused: all_file does not list /bin/zq_camera_service\n"},
      {"neither the package nor the running slot holds it", listed_but_nowhere,
       "upgrade refused: neither the package nor the running slot holds /bin/zq_camera_service\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Tree backup = zq_test::SnapshotTree(root_.SlotB());
    std::string printed;
    EXPECT_EQ(-1, Stage(c.package, &printed));
    EXPECT_EQ(1u, zq_test::LinesWith(printed, "refused").size()) << printed;
    EXPECT_NE(std::string::npos, printed.find(c.line)) << printed;
    EXPECT_EQ("", zq_test::TreeDifference(backup, zq_test::SnapshotTree(root_.SlotB())));
  }
}

// Package files whose names a careless writer would use for its temporary
// files ("Xtmp"), and leftovers of the temporary form in the running slot:
// every listed file is staged byte for byte, whatever the order, and the
// leftovers, which no package can list, are pruned.
TEST_F(UpgradeStagingTest, FilesNamedLikeTemporaryFilesAreStagedByteForByte) {
  struct Case {
    const char* name;
    bool tmp_first;
    bool running_holds_tmp;
  };
  const Case cases[] = {
      {"Xtmp listed before X", true, false},
      {"X listed before Xtmp", false, false},
      {"the running slot holds Xtmp, the package writes X", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root_.SlotA());
    zq_test::PopulateRunningSlot(root_, 3);
    WriteFile(root_.SlotA() + "/lib/.libfoo.77.0.zqtmp", "left by a writer killed in the running slot");
    UpgradePackageBuilder builder = FullPackage();
    if (c.running_holds_tmp) {
      WriteFile(root_.SlotA() + "/lib/libfootmp", "kept from the running version");
      builder.Keep("/lib/libfootmp").AddFile("/lib/libfoo", std::string(5000, 'f'));
    } else if (c.tmp_first) {
      builder.AddFile("/lib/libfootmp", "tmp-named file").AddFile("/lib/libfoo", std::string(5000, 'f'));
    } else {
      builder.AddFile("/lib/libfoo", std::string(5000, 'f')).AddFile("/lib/libfootmp", "tmp-named file");
    }
    const Tree running = zq_test::SnapshotTree(root_.SlotA());
    std::string printed;
    ASSERT_EQ(0, Stage(builder, &printed)) << printed;
    Tree staged = ExpectCompleteStaging(running, builder);
    EXPECT_EQ(0u, staged.count("lib/.libfoo.77.0.zqtmp"));
  }
}

// Files sharing a bare name in many directories, none listed by the new
// version: one listing of the slot finds them all, and they go in
// ascending order of bare name.
TEST_F(UpgradeStagingTest, PruneFindsEveryFileOfANameInOnePass) {
  for (int i = 0; i < 3000; ++i) WriteFile(root_.SlotA() + "/cache/d" + std::to_string(i) + "/stale.bin", "s");
  WriteFile(root_.SlotA() + "/cache/d7/a_first.bin", "a");
  const Tree running = zq_test::SnapshotTree(root_.SlotA());
  UpgradePackageBuilder builder = FullPackage();
  std::string printed;
  // CPU time of this thread: the listings show there, while the clock also
  // counts every fsync, which a busy disk stretches.
  const double started = zq_test::ThreadCpuSeconds();
  ASSERT_EQ(0, Stage(builder, &printed)) << printed.substr(0, 4000);
  const double took = zq_test::ThreadCpuSeconds() - started;
  // Round after round of listings took a minute here; one pass, a moment
  // (under an emulator, where each instruction is emulated, some seconds).
  EXPECT_LT(took, zq_test::kUnderEmulator ? 30.0 : 10.0);
  ExpectCompleteStaging(running, builder);
  EXPECT_EQ(3000u, zq_test::LinesWith(printed, "/stale.bin 0").size());
  EXPECT_EQ(1u, zq_test::LinesWith(printed, "backup_files size:").size());
  size_t first = printed.find("SafeRemoveFile " + root_.path() + "/bak/cache/d7/a_first.bin 0\n");
  size_t stale = printed.find("/stale.bin 0\n");
  EXPECT_LT(first, stale);
}

// The backup slot on a small file system of its own: a package that cannot
// fit is refused with one line before the slot is touched; one that fits,
// also only once the old slot's room is given back, is staged.
TEST_F(UpgradeStagingTest, PackageThatCannotFitTheBackupFileSystemIsRefusedBeforeTouchingIt) {
  std::string why = zq_test::PrivateMountsUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  constexpr size_t kFileSystemBytes = 4u << 20;
  struct Case {
    const char* name;
    size_t old_slot_bytes;  // held by the older staging in the backup slot
    std::vector<size_t> entries;
    bool fits;
  };
  const Case cases[] = {
      {"three entries of 1.5 MiB", 0, {1536u << 10, 1536u << 10, 1536u << 10}, false},
      {"a small package", 0, {}, true},
      {"fits once the old slot is emptied", 2u << 20, {1536u << 10}, true},
      {"does not fit even then", 2u << 20, {2u << 20, 2u << 20}, false},
  };
  const std::string small = root_ / "small";
  std::filesystem::create_directories(small);
  ReplaceLink(root_ / "bak", small + "/slotB");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpgradePackageBuilder builder = FullPackage();
    for (size_t i = 0; i < c.entries.size(); ++i) {
      builder.AddFile("/data/zero" + std::to_string(i), std::string(c.entries[i], '\0'));
    }
    const std::string bytes = builder.Build();
    const Tree running = zq_test::SnapshotTree(root_.SlotA());
    auto report = zq_test::RunOnSmallFileSystem(small, kFileSystemBytes, [&]() -> std::string {
      WriteFile(small + "/slotB/config/VersionConfig.json", "{\"major\":2,\"state\":0}");
      WriteFile(small + "/slotB/lib/libold.so", std::string(c.old_slot_bytes, 'o'));
      const Tree before = zq_test::SnapshotTree(small + "/slotB");
      std::string printed;
      int result = StageBytes(bytes, &printed, root_);
      Tree after = zq_test::SnapshotTree(small + "/slotB");
      std::string account;
      if (c.fits) {
        if (result != 0) account += "not staged\n";
        if (SlotState(small + "/slotB") != 0) account += "not complete\n";
        after.erase(kSlotDocument);
        account += zq_test::TreeDifference(zq_test::ExpectedStagedTree(running, builder), after);
      } else {
        if (result != -1) account += "not refused\n";
        if (zq_test::LinesWith(printed, "upgrade refused: staging needs ").size() != 1) account += "no refusal line\n";
        if (zq_test::LinesWith(printed, "refused").size() != 1) account += "more than one refusal\n";
        if (printed.find("update VersionConfig state 1") != std::string::npos) account += "slot touched\n";
        account += zq_test::TreeDifference(before, after);
      }
      return account.empty() ? std::string() : account + "--- printed:\n" + printed;
    });
    ASSERT_TRUE(report.has_value()) << "the child could not mount its file system";
    EXPECT_EQ("", *report);
  }
}

}  // namespace
