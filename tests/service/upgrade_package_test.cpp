#include "service/upgrade_package.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "base/lock_file.h"
#include "support/build_kind.h"
#include "support/child_process.h"
#include "support/log_settings.h"
#include "support/proc_figures.h"
#include "support/stdout_capture.h"
#include "support/upgrade_package.h"

namespace {

using zq_camera_service::CheckedPackage;
using zq_camera_service::CheckUpgradePackage;
using zq_test::Md5Hex;
using zq_test::UpgradePackageBuilder;

// Replaces record `index` of `list` by {name, path}.
std::function<void(rapidjson::Document&)> SetRecord(const char* list, unsigned index, const std::string& name,
                                                    const std::string& path) {
  return [=](rapidjson::Document& document) {
    rapidjson::Value& record = document[list][index];
    auto& allocator = document.GetAllocator();
    record["name"].SetString(name.c_str(), static_cast<rapidjson::SizeType>(name.size()), allocator);
    record["path"].SetString(path.c_str(), static_cast<rapidjson::SizeType>(path.size()), allocator);
  };
}

class UpgradePackageTest : public ::testing::Test {
 protected:
  UpgradePackageTest() : log_(4, 3, "") {
    g_zq_safe_file_path = root_ / "safe_file";
    zq_test::PopulateRunningSlot(root_, 3);
  }
  ~UpgradePackageTest() override { g_zq_safe_file_path.clear(); }

  // The check's result and what it printed.
  int Check(const std::string& bytes, const std::string& md5, std::string* printed,
            std::unique_ptr<CheckedPackage>* out = nullptr, const std::string& root = "") {
    std::unique_ptr<CheckedPackage> package;
    zq_test::StdoutCapture capture;
    int result = CheckUpgradePackage(bytes.data(), bytes.size(), md5, root.empty() ? root_.path() : root, &package);
    *printed = capture.Text();
    if (out != nullptr) *out = std::move(package);
    return result;
  }

  static UpgradePackageBuilder Valid(int major = 4) {
    UpgradePackageBuilder builder(major);
    builder.AddFile("/bin/zq_camera_service", "new program").Keep("/lib/libkeep.so").AddFile("/lib/libnew.so", "n");
    return builder;
  }

  zq_test::ScopedLogSettings log_;
  zq_test::InstallRoot root_;
};

TEST_F(UpgradePackageTest, ValidPackagePassesWithItsLists) {
  UpgradePackageBuilder builder = Valid();
  builder.SetMember("name", "\"release\"");
  std::string bytes = builder.Build();
  std::string printed;
  std::unique_ptr<CheckedPackage> package;
  ASSERT_EQ(0, Check(bytes, Md5Hex(bytes), &printed, &package)) << printed;
  ASSERT_TRUE(package);
  EXPECT_EQ(builder.KeptNames(), package->kept_names);
  EXPECT_EQ("/config/VersionConfig.json", package->document_path);
  EXPECT_EQ(root_.path() + "/bak//config/VersionConfig.json", package->document_location);
  EXPECT_EQ(root_.path() + "/app", package->app_link);
  EXPECT_EQ(root_.path() + "/bak", package->bak_link);
  EXPECT_TRUE(package->document.IsObject());
  EXPECT_EQ(4, package->document["major"].GetInt());
  for (const char* line : {"download file md5c: ", "=============test unzip===============\n", "file_size:",
                           "======\n", "all_file_names size:4\n", "config_file_abs_path: "}) {
    EXPECT_NE(std::string::npos, printed.find(line)) << line << " in\n" << printed;
  }
}

TEST_F(UpgradePackageTest, RefusedPackages) {
  const std::string valid = Valid().Build();
  struct Case {
    const char* name;
    UpgradePackageBuilder package;
    std::string message;  // "" for a refusal that prints nothing of its own
  };
  const std::string bad_record = "is not a file inside the slot\n";
  std::vector<Case> cases = {
      {"version document only at top level", Valid().DocumentAtTopLevel(), ""},
      {"invalid JSON", Valid().SetDocumentText("{\"major\": 9, \"incre_file\": ["), "\nparase config ERROR\n"},
      {"nested deeper than the staged copy can be written",
       Valid().SetDocumentText("{\"major\": 9, \"deep\": " + std::string(100000, '[') + std::string(100000, ']') +
                               ", \"incre_file\": [], \"all_file\": []}"),
       "\nparase config ERROR\n"},
      {"document not an object", Valid().SetDocumentText("[1, 2]"), "parase config can't find incre_file\n"},
      {"incre_file not an array",
       Valid().Mutate([](rapidjson::Document& d) { d["incre_file"].SetObject(); }),
       "parase config can't find incre_file\n"},
      {"all_file missing", Valid().Mutate([](rapidjson::Document& d) { d.RemoveMember("all_file"); }),
       "parase config can't find all_file\n"},
      {"major equal", Valid(3), "new_major:3 current_major:3, abort upgrade!\n"},
      {"major lower", Valid(2), "new_major:2 current_major:3, abort upgrade!\n"},
      {"major missing", Valid().Mutate([](rapidjson::Document& d) { d.RemoveMember("major"); }),
       "new_major:0 current_major:3, abort upgrade!\n"},
      {"major a string", Valid().Mutate([](rapidjson::Document& d) { d["major"].SetString("9"); }),
       "parase config major is not an integer, abort upgrade!\n"},
      {"major fractional", Valid().Mutate([](rapidjson::Document& d) { d["major"].SetDouble(9.5); }),
       "parase config major is not an integer, abort upgrade!\n"},
      {"path with ..", Valid().Mutate(SetRecord("incre_file", 0, "x", "/../../outside/x")), bad_record},
      {"path with ;touch X;", Valid().Mutate(SetRecord("incre_file", 0, ";touch X;", "/bin/;touch X;")), bad_record},
      {"path with $(...)", Valid().Mutate(SetRecord("all_file", 1, "x", "/$(touch X)/x")), bad_record},
      {"path without leading /", Valid().Mutate(SetRecord("incre_file", 0, "x", "bin/x")), bad_record},
      {"name is not the last segment", Valid().Mutate(SetRecord("incre_file", 0, "other", "/bin/x")), bad_record},
      {"empty segment", Valid().Mutate(SetRecord("all_file", 1, "x", "/bin//x")), bad_record},
      {"dot segment", Valid().Mutate(SetRecord("all_file", 1, "x", "/bin/./x")), bad_record},
      {"trailing slash", Valid().Mutate(SetRecord("all_file", 1, "", "/bin/")), bad_record},
      {"control character", Valid().Mutate(SetRecord("all_file", 1, "x\n", "/bin/x\n")), bad_record},
      {"path is the slot itself", Valid().Mutate(SetRecord("incre_file", 0, "", "/")), bad_record},
      {"name not a string",
       Valid().Mutate([](rapidjson::Document& d) { d["incre_file"][0]["name"].SetInt(5); }), bad_record},
      {"record not an object", Valid().Mutate([](rapidjson::Document& d) { d["all_file"][1].SetInt(1); }),
       bad_record},
      {"bad special_file record",
       Valid().AddSpecialFile("/etc/s.conf", "s").Mutate(SetRecord("special_file", 0, "s.conf", "/../s.conf")),
       bad_record},
      {"no VersionConfig.json record in all_file",
       Valid().Mutate([](rapidjson::Document& d) { d["all_file"].Erase(d["all_file"].Begin()); }),
       "upgrade package refused: all_file has no VersionConfig.json record\n"},
      {"incre entry missing from the archive", Valid().OmitEntry("/lib/libnew.so"), "write file ERROR!\n"},
      {"special entry missing from the archive", Valid().AddSpecialFile("/etc/s.conf", "s").OmitEntry("/etc/s.conf"),
       "write file ERROR!\n"},
  };
  zq_test::Tree backup_before = zq_test::SnapshotTree(root_.SlotB());
  for (const Case& c : cases) {
    std::string bytes = c.package.Build();
    std::string printed;
    EXPECT_EQ(-1, Check(bytes, Md5Hex(bytes), &printed)) << c.name;
    if (!c.message.empty()) {
      EXPECT_NE(std::string::npos, printed.find(c.message)) << c.name << ":\n" << printed;
    }
    EXPECT_EQ(std::string::npos, printed.find("config_file_abs_path")) << c.name;
  }
  EXPECT_EQ(backup_before, zq_test::SnapshotTree(root_.SlotB()));

  std::string printed;
  EXPECT_EQ(-1, Check(valid, Md5Hex(valid) + "0", &printed));
  EXPECT_NE(std::string::npos, printed.find("download file md5 ERROR\n"));
  std::string upper = Md5Hex(valid);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_EQ(-1, Check(valid, upper, &printed));
  EXPECT_NE(std::string::npos, printed.find("download file md5 ERROR\n"));
  EXPECT_EQ(-1, Check("<html>404 Not Found</html>", Md5Hex(valid), &printed));
  EXPECT_NE(std::string::npos, printed.find("download file md5 ERROR\n"));
  const std::string not_zip = "this is no archive at all";
  EXPECT_EQ(-1, Check(not_zip, Md5Hex(not_zip), &printed));
  EXPECT_NE(std::string::npos, printed.find("can't open zip from source: "));
}

// What the archive tells about itself is checked before anything is staged:
// each refusal is one line of its own.
TEST_F(UpgradePackageTest, ArchiveFaultsAreFoundBeforeStaging) {
  struct Case {
    const char* name;
    UpgradePackageBuilder package;
    std::string line;
  };
  const std::string above_cap(static_cast<size_t>(Unzip::kMaxEntrySize) + 1, '\0');
  std::vector<Case> cases = {
      {"incremental entry above the 64 MiB cap", Valid().AddFile("/lib/huge.bin", above_cap),
       "upgrade package refused: huge.bin: entry of 67108865 bytes, above the cap of 67108864\n"},
      {"special entry above the cap", Valid().AddSpecialFile("/etc/huge.conf", above_cap),
       "upgrade package refused: huge.conf: entry of 67108865 bytes, above the cap of 67108864\n"},
      {"all_file without the program",
       Valid().Mutate([](rapidjson::Document& d) { d["all_file"].Erase(d["all_file"].Begin() + 1); }),
       "upgrade package refused: all_file does not list /bin/zq_camera_service\n"},
      {"the program listed at another path",
       Valid().Mutate(SetRecord("all_file", 1, "zq_camera_service", "/usr/bin/zq_camera_service")),
       "upgrade package refused: all_file does not list /bin/zq_camera_service\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = c.package.Build();
    std::string printed;
    EXPECT_EQ(-1, Check(bytes, Md5Hex(bytes), &printed));
    EXPECT_NE(std::string::npos, printed.find(c.line)) << printed;
    EXPECT_EQ(1u, zq_test::LinesWith(printed, "refused").size()) << printed;
    EXPECT_EQ(std::string::npos, printed.find("config_file_abs_path")) << printed;
  }
  // An entry of exactly the cap is a file like any other.
  std::string at_cap = Valid().AddFile("/lib/big.bin", std::string(static_cast<size_t>(Unzip::kMaxEntrySize), '\0')).Build();
  std::string printed;
  std::unique_ptr<CheckedPackage> package;
  ASSERT_EQ(0, Check(at_cap, Md5Hex(at_cap), &printed, &package)) << printed;
  ASSERT_EQ(3u, package->staged_files.size());
  EXPECT_EQ("/lib/big.bin", package->staged_files[2].path);
  EXPECT_EQ(Unzip::kMaxEntrySize, package->staged_files[2].size);
}

// A member name twice in one object: RapidJSON reads the first, Python's
// json the last, so the document is refused as undecodable, whichever object
// of it repeats a name and however the name is spelled.
TEST_F(UpgradePackageTest, RepeatedMemberNamesMakeTheDocumentUndecodable) {
  const std::string valid = Valid().DocumentText();
  const std::string body = valid.substr(1, valid.size() - 2);
  struct Case {
    const char* name;
    std::string document;
    std::string member;  // "" when the document is accepted
  };
  const std::string records = "\"incre_file\":[],\"all_file\":[{\"name\":\"VersionConfig.json\",\"path\":"
                              "\"/config/VersionConfig.json\"},{\"name\":\"zq_camera_service\",\"path\":"
                              "\"/bin/zq_camera_service\"}]";
  const Case cases[] = {
      {"\"state\" first and last", "{\"state\":0," + body + ",\"state\":0}", "state"},
      {"\"state\" spelled with an escape", "{\"state\":1," + body + ",\"\\u0073tate\":0}", "state"},
      {"\"major\" twice", "{" + body + ",\"major\":99}", "major"},
      {"\"all_file\" twice", "{" + body + ",\"all_file\":[]}", "all_file"},
      {"a record with two paths",
       "{\"major\":4,\"incre_file\":[],\"all_file\":[{\"name\":\"VersionConfig.json\",\"path\":\"/config/"
       "VersionConfig.json\",\"path\":\"/x/VersionConfig.json\"},{\"name\":\"zq_camera_service\",\"path\":"
       "\"/bin/zq_camera_service\"}]}",
       "path"},
      {"deep inside another member", "{\"major\":4,\"extra\":[[{\"a\":{\"b\":1,\"b\":2}}]]," + records + "}", "b"},
      {"the same names in different objects", "{\"major\":4,\"a\":{\"a\":{\"a\":1}}," + records + "}", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = Valid().SetDocumentText(c.document).Build();
    std::string printed;
    if (c.member.empty()) {
      EXPECT_EQ(0, Check(bytes, Md5Hex(bytes), &printed)) << printed;
      continue;
    }
    EXPECT_EQ(-1, Check(bytes, Md5Hex(bytes), &printed));
    EXPECT_NE(std::string::npos,
              printed.find("upgrade package refused: VersionConfig.json repeats the member \"" + c.member + "\"\n"))
        << printed;
    EXPECT_NE(std::string::npos, printed.find("\nparase config ERROR\n")) << printed;
    EXPECT_EQ(1u, zq_test::LinesWith(printed, "refused").size()) << printed;
  }
}

// 60,000 records over 60,000 entries: every record is found through the
// index built when the archive was opened, so the check takes a moment,
// whether the package passes or one entry is missing.
TEST_F(UpgradePackageTest, SixtyThousandRecordsAreCheckedInUnderTwoSeconds) {
  // A sanitizer's runtime costs several times over; under an emulator each
  // instruction is emulated (the look-up per record took minutes there).
  const double bound = zq_test::kSanitizerBuild ? 10.0 : zq_test::kUnderEmulator ? 20.0 : 2.0;
  UpgradePackageBuilder builder = Valid();
  for (int i = 0; i < 60000; ++i) builder.AddFile("/d" + std::to_string(i % 100) + "/f" + std::to_string(i), "x");
  const std::string whole = builder.Build();
  const std::string missing_last = builder.OmitEntry("/d99/f59999").Build();
  zq_test::ScopedLogSettings quiet(1, 3, "");
  struct Case {
    const char* name;
    const std::string& bytes;
    int result;
  };
  const Case cases[] = {{"every entry present", whole, 0}, {"the last entry missing", missing_last, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string printed;
    std::unique_ptr<CheckedPackage> package;
    // CPU time of this thread, which a busy machine does not stretch as it
    // stretches the clock.
    const double started = zq_test::ThreadCpuSeconds();
    int result = Check(c.bytes, Md5Hex(c.bytes), &printed, &package);
    const double took = zq_test::ThreadCpuSeconds() - started;
    EXPECT_EQ(c.result, result) << printed;
    EXPECT_LT(took, bound);
    printf("%s: %.2f s of CPU\n", c.name, took);
    if (result == 0) {
      EXPECT_EQ(60002u, package->staged_files.size());
    } else {
      EXPECT_NE(std::string::npos, printed.find("upgrade package lacks f59999\n")) << printed;
    }
  }
}

// The version document is the one file read whole: one at its cap passes,
// one a byte larger is refused with its line before it is read.
TEST_F(UpgradePackageTest, VersionDocumentAboveItsCapIsRefused) {
  const size_t cap = zq_camera_service::kMaxVersionDocumentBytes;
  for (size_t size : {cap, cap + 1}) {
    SCOPED_TRACE(size);
    UpgradePackageBuilder builder = Valid();
    // A member of white space takes the document to the size wanted.
    std::string text = builder.DocumentText();
    const std::string padded = text.substr(0, text.size() - 1) + ",\"padding\":\"\"}";
    ASSERT_LT(padded.size(), size);
    builder.SetDocumentText(padded.substr(0, padded.size() - 2) + std::string(size - padded.size(), ' ') + "\"}");
    ASSERT_EQ(size, builder.DocumentText().size());
    std::string bytes = builder.Build();
    std::string printed;
    const bool taken = size <= cap;
    EXPECT_EQ(taken ? 0 : -1, Check(bytes, Md5Hex(bytes), &printed)) << printed.substr(0, 2000);
    const std::string line = "upgrade package refused: VersionConfig.json of " + std::to_string(size) +
                             " bytes, above the cap of " + std::to_string(cap) + "\n";
    EXPECT_EQ(taken ? 0u : 1u, zq_test::CountOccurrences(printed, line)) << printed.substr(0, 2000);
    // Refused before it was read.
    EXPECT_EQ(taken, printed.find("file_size:") != std::string::npos) << printed.substr(0, 2000);
  }
}

TEST_F(UpgradePackageTest, InstalledVersionComesFromTheGivenRoot) {
  zq_test::InstallRoot other;
  other.WriteVersionConfig("{\"major\": 10}");
  std::string bytes = Valid(5).Build();
  std::string printed;
  EXPECT_EQ(-1, Check(bytes, Md5Hex(bytes), &printed, nullptr, other.path()));
  EXPECT_NE(std::string::npos, printed.find("new_major:5 current_major:10, abort upgrade!\n")) << printed;
  EXPECT_EQ(0, Check(bytes, Md5Hex(bytes), &printed)) << printed;

  // ConfigPath names the configuration directory instead.
  setenv("ConfigPath", other.ConfigDir().c_str(), 1);
  int result = Check(bytes, Md5Hex(bytes), &printed);
  unsetenv("ConfigPath");
  EXPECT_EQ(-1, result);
  EXPECT_NE(std::string::npos, printed.find("current_major:10")) << printed;

  // No installed version document: any major of at least 1 passes.
  zq_test::InstallRoot bare;
  std::string first = Valid(1).Build();
  EXPECT_EQ(0, Check(first, Md5Hex(first), &printed, nullptr, bare.path())) << printed;
}

TEST(SlotFilePath, Table) {
  struct Case {
    std::string path;
    std::string name;
    bool valid;
  };
  const Case cases[] = {
      {"/x", "x", true},
      {"/bin/zq_camera_service", "zq_camera_service", true},
      {"/lib/libx.so.1.2", "libx.so.1.2", true},
      {"/a b/c d", "c d", true},
      {"/x", "y", false},
      {"x", "x", false},
      {"", "", false},
      {"/", "", false},
      {"//x", "x", false},
      {"/a/../x", "x", false},
      {"/..", "..", false},
      {"/./x", "x", false},
      {"/a/", "", false},
      {std::string("/a\0b", 4), std::string("a\0b", 3), false},
      {"/a\tb", "a\tb", false},
      {"/a;b", "a;b", false},
      {"/a|b", "a|b", false},
      {"/a`b`", "a`b`", false},
      {"/a&", "a&", false},
      {"/a>b", "a>b", false},
      // The form of the files a replacement is written to on its way in.
      {"/lib/.libfoo.12.0.zqtmp", ".libfoo.12.0.zqtmp", false},
      {"/lib/.x.zqtmp/f", "f", false},
      {"/lib/libfootmp", "libfootmp", true},
      {"/lib/.libfoo.tmp", ".libfoo.tmp", true},
      {"/lib/.hidden", ".hidden", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.valid, zq_camera_service::IsSlotFilePath(c.path, c.name)) << zq_camera_service::PrintableText(c.path);
  }
}

}  // namespace
