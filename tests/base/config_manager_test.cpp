#include "base/config_manager.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "base/utils.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::CONFIG_BASE;
using zq_camera_service::CONFIG_VERSION;
using zq_camera_service::ConfigManager;
using zq_camera_service::ConfigType;

class ConfigManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("ConfigPath"); }
  void TearDown() override { unsetenv("ConfigPath"); }

  std::string Dir() { return dir_.path() + "/"; }
  void Write(const std::string& name, const std::string& text) { zq_test::WriteFile(dir_ / name, text); }
  bool Has(ConfigType type) {
    rapidjson::Document* document = nullptr;
    zq_test::ScopedLogSettings quiet(0, 3, "");
    return ConfigManager::GetInstance()->GetConfigBy(type, &document) == 0 && document != nullptr;
  }
  // Loads `Dir()` and returns what was logged.
  std::string Load(const std::string& directory) {
    zq_test::ScopedLogSettings settings(1, 3, "");
    zq_test::StdoutCapture capture;
    ConfigManager::GetInstance()->LoadConfigs(directory);
    return capture.Text();
  }

  // Saves `document` as the base document; its return code, and what was
  // logged in `log`.
  int UpdateBase(rapidjson::Document* document, std::string* log) {
    zq_test::ScopedLogSettings settings(1, 3, "");
    zq_test::StdoutCapture capture;
    const int rc = manager_->UpdateConfigBy(CONFIG_BASE, document);
    *log = capture.Text();
    return rc;
  }

  // Loads a base document holding `kOriginalBase` and edits its key in memory
  // to a longer text; the shared document.
  rapidjson::Document* LoadAndEditKey(const char* new_key) {
    Write("BaseConfig.json", kOriginalBase);
    Load(Dir());
    rapidjson::Document* document = nullptr;
    EXPECT_EQ(0, manager_->GetConfigBy(CONFIG_BASE, &document));
    if (document != nullptr) (*document)["Key"].SetString(rapidjson::StringRef(new_key));
    return document;
  }
  // The two lines of a refused write.
  static std::string WriteFailureLines(const std::string& path, const std::string& reason) {
    return "Service | ERROR: Write file " + path + " failed with " + reason + "\n" +
           "Service | ERROR: Failed to write file " + path + " with -1\n";
  }

  const std::string kOriginalBase = "{\"Key\":\"old\"}";
  zq_test::TempDir dir_;
  ConfigManager* manager_ = ConfigManager::GetInstance();
};

TEST_F(ConfigManagerTest, LoadScenarios) {
  const std::string missing_error = "No such file or directory";
  struct Case {
    const char* name;
    const char* base;     // nullptr: file absent
    const char* version;  // nullptr: file absent
    bool has_base;
    bool has_version;
    std::string log;  // with BASE / VERSION standing for the paths
  };
  // Parsed without recursion, but writing it back (key rotation) would
  // recurse once per level and overflow the stack.
  const std::string too_deep = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  const Case cases[] = {
      {"both fine", "{\"a\":1}", "{\"major\":3}", true, true, ""},
      {"version missing", "{\"a\":1}", nullptr, true, false,
       "Service | ERROR: Read file VERSION failed with No such file or directory\n"
       "Service | ERROR: Load file VERSION failed\n"},
      {"base malformed stops loading", "{\"a\":", "{\"major\":3}", false, false,
       "Service | ERROR: Failed to decode content 3\n"},
      {"base empty", "", "{\"major\":3}", false, true, "Service | ERROR: Load file BASE failed\n"},
      {"white space only", " \t\r\n", "{\"major\":3}", false, false,
       "Service | ERROR: Failed to decode content 1\n"},
      {"trailing text accepted", "{\"a\":1} trailing garbage", "{\"major\":3}  {", true, true, ""},
      {"root not an object", "[1,2]", "{\"major\":3}", false, true, "Service | ERROR: Load file BASE failed\n"},
      {"nested past what can be written back", too_deep.c_str(), "{\"major\":3}", false, false,
       "Service | ERROR: Failed to decode content 0\n"},
  };
  for (const Case& c : cases) {
    unlink((dir_ / "BaseConfig.json").c_str());
    unlink((dir_ / "VersionConfig.json").c_str());
    if (c.base) Write("BaseConfig.json", c.base);
    if (c.version) Write("VersionConfig.json", c.version);
    std::string log = Load(Dir());
    std::string expected = c.log;
    for (auto [token, path] : {std::pair<std::string, std::string>{"BASE", Dir() + "BaseConfig.json"},
                               {"VERSION", Dir() + "VersionConfig.json"}}) {
      for (size_t at = expected.find(token); at != std::string::npos; at = expected.find(token)) {
        expected.replace(at, token.size(), path);
      }
    }
    EXPECT_EQ(expected, log) << c.name;
    EXPECT_EQ(c.has_base, Has(CONFIG_BASE)) << c.name;
    EXPECT_EQ(c.has_version, Has(CONFIG_VERSION)) << c.name;
  }
}

TEST_F(ConfigManagerTest, ConfigPathReplacesDirectoryVerbatim) {
  // No trailing slash: the file name follows the text directly.
  Write("cfgBaseConfig.json", "{\"from\":\"prefix\"}");
  setenv("ConfigPath", (dir_ / "cfg").c_str(), 1);
  Load("/nonexistent/");
  EXPECT_EQ(dir_ / "cfgBaseConfig.json", manager_->GetConfigPathBy(CONFIG_BASE));
  EXPECT_EQ(dir_ / "cfgVersionConfig.json", manager_->GetConfigPathBy(CONFIG_VERSION));
  ASSERT_TRUE(Has(CONFIG_BASE));
}

TEST_F(ConfigManagerTest, UnknownTypeIsRefused) {
  Write("BaseConfig.json", "{}");
  Load(Dir());
  zq_test::ScopedLogSettings settings(1, 3, "");
  zq_test::StdoutCapture capture;
  rapidjson::Document* document = reinterpret_cast<rapidjson::Document*>(0x1);
  EXPECT_EQ(-1, manager_->GetConfigBy(static_cast<ConfigType>(2), &document));
  EXPECT_EQ(reinterpret_cast<rapidjson::Document*>(0x1), document);
  EXPECT_EQ(-1, manager_->UpdateConfigBy(static_cast<ConfigType>(2), nullptr));
  EXPECT_EQ("Service | ERROR: Failed found config \nService | ERROR: Failed found config \n", capture.Text());
}

TEST_F(ConfigManagerTest, DocumentsHandedOutSurviveAReload) {
  Write("BaseConfig.json", "{\"gen\":1}");
  Load(Dir());
  rapidjson::Document* first = nullptr;
  ASSERT_EQ(0, manager_->GetConfigBy(CONFIG_BASE, &first));
  Write("BaseConfig.json", "{\"gen\":2}");
  Load(Dir());
  rapidjson::Document* second = nullptr;
  ASSERT_EQ(0, manager_->GetConfigBy(CONFIG_BASE, &second));
  EXPECT_NE(first, second);
  EXPECT_EQ(1, (*first)["gen"].GetInt());
  EXPECT_EQ(2, (*second)["gen"].GetInt());
}

TEST_F(ConfigManagerTest, UpdateWritesExactPrettyTextOfTheEditedDocument) {
  Write("BaseConfig.json", "{\"Key\":\"old\",\"Gap\":20}  \n\n  extra text that is ignored and longer than the new text");
  Load(Dir());
  rapidjson::Document* document = nullptr;
  ASSERT_EQ(0, manager_->GetConfigBy(CONFIG_BASE, &document));
  (*document)["Key"].SetString("new");
  ASSERT_EQ(0, manager_->UpdateConfigBy(CONFIG_BASE, document));
  EXPECT_EQ("{\n    \"Key\": \"new\",\n    \"Gap\": 20\n}", zq_test::ReadFile(dir_ / "BaseConfig.json"));
  // Round trip: what was written loads back to the same text.
  Load(Dir());
  ASSERT_EQ(0, manager_->GetConfigBy(CONFIG_BASE, &document));
  EXPECT_EQ(zq_test::ReadFile(dir_ / "BaseConfig.json"), zq_camera_service::Utils::DocumentToString(*document));
}

TEST_F(ConfigManagerTest, UpdateRefusedWhileAnotherProcessHoldsASharedLock) {
  rapidjson::Document* document = LoadAndEditKey("new-and-longer");
  ASSERT_NE(nullptr, document);

  int ready[2], release[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(release));
  pid_t child = fork();
  if (child == 0) {
    int fd = open((dir_ / "BaseConfig.json").c_str(), O_RDONLY);
    flock(fd, LOCK_SH);
    char byte = 'r';
    (void)!write(ready[1], &byte, 1);
    (void)!read(release[0], &byte, 1);
    _exit(0);
  }
  char byte;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  std::string log;
  const int rc = UpdateBase(document, &log);
  (void)!write(release[1], &byte, 1);
  waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);

  EXPECT_EQ(-1, rc);
  std::string path = dir_ / "BaseConfig.json";
  EXPECT_EQ(WriteFailureLines(path, "Resource temporarily unavailable"), log);
  EXPECT_EQ(kOriginalBase, zq_test::ReadFile(path));
  EXPECT_FALSE(zq_test::FileExists(path + ".tmp"));
  // The edit stays in memory and goes out once the file is free.
  EXPECT_EQ(0, manager_->UpdateConfigBy(CONFIG_BASE, document));
  EXPECT_NE(std::string::npos, zq_test::ReadFile(path).find("new-and-longer"));
}

TEST_F(ConfigManagerTest, UpdateThatCannotBeWrittenOutFailsAndKeepsTheFile) {
  // A file that may not grow past its present size stands for a full flash:
  // the longer text cannot go out, and the old document must survive whole.
  rapidjson::Document* document = LoadAndEditKey("a-new-key-much-longer-than-the-old-one");
  ASSERT_NE(nullptr, document);

  // The child's log lines come back through a pipe, which no file size limit touches.
  int lines[2];
  ASSERT_EQ(0, pipe(lines));
  zq_test::ScopedLogSettings settings(1, 3, "");
  fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    dup2(lines[1], STDOUT_FILENO);
    signal(SIGXFSZ, SIG_IGN);  // the refused write reports EFBIG instead of ending the process
    rlimit limit{static_cast<rlim_t>(kOriginalBase.size()), static_cast<rlim_t>(kOriginalBase.size())};
    setrlimit(RLIMIT_FSIZE, &limit);
    int rc = manager_->UpdateConfigBy(CONFIG_BASE, document);
    fflush(stdout);
    _exit(rc == -1 ? 0 : 1);
  }
  close(lines[1]);
  std::string log;
  char chunk[512];
  for (ssize_t n; (n = read(lines[0], chunk, sizeof chunk)) > 0;) log.append(chunk, static_cast<size_t>(n));
  close(lines[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "UpdateConfigBy did not return -1";
  std::string path = dir_ / "BaseConfig.json";
  EXPECT_EQ(WriteFailureLines(path, "File too large"), log);
  EXPECT_EQ(kOriginalBase, zq_test::ReadFile(path));
  EXPECT_FALSE(zq_test::FileExists(path + ".tmp")) << "the half-written text must not stay behind";
}

TEST_F(ConfigManagerTest, UpdateIntoUnwritableDirectoryFails) {
  Write("BaseConfig.json", "{}");
  Load(Dir());
  rapidjson::Document* document = nullptr;
  ASSERT_EQ(0, manager_->GetConfigBy(CONFIG_BASE, &document));
  unlink((dir_ / "BaseConfig.json").c_str());
  rmdir(dir_.path().c_str());  // the directory is gone: the file cannot be created
  zq_test::ScopedLogSettings quiet(0, 3, "");
  EXPECT_EQ(-1, manager_->UpdateConfigBy(CONFIG_BASE, document));
}

TEST_F(ConfigManagerTest, UpdateReplacesTheDocumentWholeInsteadOfWritingIntoIt) {
  // A reader that opened the document before the update keeps reading the
  // old complete text: the new text arrives as another file under the same
  // name, never byte by byte over the old one.
  rapidjson::Document* document = LoadAndEditKey("replacement");
  ASSERT_NE(nullptr, document);
  const std::string path = dir_ / "BaseConfig.json";
  chmod(path.c_str(), 0600);
  int reader = open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(0, manager_->UpdateConfigBy(CONFIG_BASE, document));

  char old_text[64] = {0};
  ASSERT_EQ(static_cast<ssize_t>(kOriginalBase.size()), pread(reader, old_text, sizeof old_text, 0));
  EXPECT_EQ(kOriginalBase, std::string(old_text));
  close(reader);
  EXPECT_EQ("{\n    \"Key\": \"replacement\"\n}", zq_test::ReadFile(path));
  EXPECT_FALSE(zq_test::FileExists(path + ".tmp"));
  struct stat info {};
  ASSERT_EQ(0, stat(path.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777u) << "the document keeps its permissions";
}

TEST_F(ConfigManagerTest, TextLeftBesideTheDocumentByAKilledWriterIsReplacedAndGone) {
  rapidjson::Document* document = LoadAndEditKey("after-the-kill");
  ASSERT_NE(nullptr, document);
  const std::string path = dir_ / "BaseConfig.json";
  zq_test::WriteFile(path + ".tmp", std::string(5000, '{'));  // a torn text, longer than the new one
  ASSERT_EQ(0, manager_->UpdateConfigBy(CONFIG_BASE, document));
  EXPECT_EQ("{\n    \"Key\": \"after-the-kill\"\n}", zq_test::ReadFile(path));
  EXPECT_FALSE(zq_test::FileExists(path + ".tmp"));
  Load(Dir());
  EXPECT_TRUE(Has(CONFIG_BASE));
}

TEST_F(ConfigManagerTest, UpdateWithoutRoomInTheDirectoryKeepsTheDocument) {
  // The document exists but its new text cannot be put beside it (a
  // directory in the way; root would ignore a read-only directory): -1, the
  // two lines, the old text whole.
  rapidjson::Document* document = LoadAndEditKey("no-room");
  ASSERT_NE(nullptr, document);
  const std::string path = dir_ / "BaseConfig.json";
  ASSERT_EQ(0, mkdir((path + ".tmp").c_str(), 0755));  // a directory where the text would go
  std::string log;
  const int rc = UpdateBase(document, &log);
  EXPECT_EQ(-1, rc);
  EXPECT_EQ(WriteFailureLines(path, "Is a directory"), log);
  EXPECT_EQ(kOriginalBase, zq_test::ReadFile(path));
  rmdir((path + ".tmp").c_str());
}

// Whatever stands at the name the new text is first written to, nothing
// it leads to is opened or written: a link planted there by a process of
// the device cannot turn the key rotation into a write of another file.
TEST_F(ConfigManagerTest, WhateverStandsAtTheTemporaryNameIsNeverFollowedOrWritten) {
  struct Case {
    const char* name;
    std::function<void(const std::string& temporary, const std::string& victim)> plant;
    bool victim_exists_after;  // the planted thing pointed at a file that must stay as it was
  };
  const Case cases[] = {
      {"link to a file", [](const std::string& t, const std::string& v) { ASSERT_EQ(0, symlink(v.c_str(), t.c_str())); },
       true},
      {"hard link to a file", [](const std::string& t, const std::string& v) { ASSERT_EQ(0, link(v.c_str(), t.c_str())); },
       true},
      {"dangling link", [](const std::string& t, const std::string& v) {
         unlink(v.c_str());
         ASSERT_EQ(0, symlink(v.c_str(), t.c_str()));
       },
       false},
      {"fifo", [](const std::string& t, const std::string&) { ASSERT_EQ(0, mkfifo(t.c_str(), 0644)); }, true},
      {"leftover of a killed writer", [](const std::string& t, const std::string&) {
         zq_test::WriteFile(t, std::string(5000, '{'));
       },
       true},
  };
  zq_test::TempDir elsewhere("zqvictim");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rapidjson::Document* document = LoadAndEditKey("rotated");
    ASSERT_NE(nullptr, document);
    const std::string path = dir_ / "BaseConfig.json";
    const std::string victim = elsewhere / "victim";
    const std::string victim_text = "victim's own text, longer than the document's";
    zq_test::WriteFile(victim, victim_text);
    c.plant(path + ".tmp", victim);
    ASSERT_EQ(0, manager_->UpdateConfigBy(CONFIG_BASE, document));
    EXPECT_EQ("{\n    \"Key\": \"rotated\"\n}", zq_test::ReadFile(path));
    if (c.victim_exists_after) {
      EXPECT_EQ(victim_text, zq_test::ReadFile(victim));
    } else {
      EXPECT_FALSE(zq_test::FileExists(victim)) << "a dangling link's target was created";
    }
    struct stat info {};
    EXPECT_NE(0, lstat((path + ".tmp").c_str(), &info)) << "something is left at the temporary name";
    ASSERT_EQ(0, lstat(path.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    unlink(victim.c_str());
  }
}

// The new text takes the old file's place with its mode, whatever the
// process's umask, and its owner.
TEST_F(ConfigManagerTest, ReplacedDocumentKeepsItsModeAndOwner) {
  const mode_t saved_umask = umask(022);
  for (mode_t mode : {0664, 0666, 0640, 0600}) {
    SCOPED_TRACE(mode);
    rapidjson::Document* document = LoadAndEditKey("rotated");
    ASSERT_NE(nullptr, document);
    const std::string path = dir_ / "BaseConfig.json";
    ASSERT_EQ(0, chmod(path.c_str(), mode));
    const bool root = geteuid() == 0;
    if (root) {
      ASSERT_EQ(0, chown(path.c_str(), 4321, 4322));
    }
    ASSERT_EQ(0, manager_->UpdateConfigBy(CONFIG_BASE, document));
    EXPECT_EQ("{\n    \"Key\": \"rotated\"\n}", zq_test::ReadFile(path));
    struct stat info {};
    ASSERT_EQ(0, stat(path.c_str(), &info));
    EXPECT_EQ(mode, info.st_mode & 07777u);
    if (root) {
      EXPECT_EQ(4321u, info.st_uid);
      EXPECT_EQ(4322u, info.st_gid);
    }
  }
  umask(saved_umask);
}

// Integrators keep the settings on another partition and link the document
// there: the link stays, the file it leads to takes the new text, and the
// file keeps its mode and owner.
TEST_F(ConfigManagerTest, DocumentThatIsALinkStaysALinkAndItsTargetTakesTheText) {
  struct Case {
    const char* name;
    bool relative;  // the link names its target relative to its own directory
    bool chained;   // the link leads to another link, which leads to the file
  };
  const Case cases[] = {{"absolute link", false, false}, {"relative link", true, false}, {"link to a link", false, true}};
  const mode_t saved_umask = umask(022);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zq_test::TempDir partition("zqpartition");
    // A relative link leads into a directory beside it, an absolute one to another tree.
    const std::string target = (c.relative ? dir_.path() : partition.path()) + "/settings/BaseConfig.json";
    zq_test::WriteFile(target, kOriginalBase);
    ASSERT_EQ(0, chmod(target.c_str(), 0664));
    const bool root = geteuid() == 0;
    if (root) {
      ASSERT_EQ(0, chown(target.c_str(), 4321, 4322));
    }
    std::string first_hop = target;
    if (c.chained) {
      first_hop = partition / "hop.json";
      ASSERT_EQ(0, symlink(target.c_str(), first_hop.c_str()));
    }
    const std::string path = dir_ / "BaseConfig.json";
    unlink(path.c_str());
    const std::string link_text = c.relative ? "settings/BaseConfig.json" : first_hop;
    ASSERT_EQ(0, symlink(link_text.c_str(), path.c_str()));
    Load(Dir());
    rapidjson::Document* document = nullptr;
    ASSERT_EQ(0, manager_->GetConfigBy(CONFIG_BASE, &document));
    (*document)["Key"].SetString("rotated-through-the-link");

    ASSERT_EQ(0, manager_->UpdateConfigBy(CONFIG_BASE, document));
    struct stat info {};
    ASSERT_EQ(0, lstat(path.c_str(), &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link was replaced by a file";
    char read_back[4096] = {0};
    ASSERT_GT(readlink(path.c_str(), read_back, sizeof read_back - 1), 0);
    EXPECT_EQ(link_text, std::string(read_back));
    if (c.chained) {
      ASSERT_EQ(0, lstat(first_hop.c_str(), &info));
      EXPECT_TRUE(S_ISLNK(info.st_mode));
    }
    EXPECT_EQ("{\n    \"Key\": \"rotated-through-the-link\"\n}", zq_test::ReadFile(target));
    ASSERT_EQ(0, lstat(target.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0664u, info.st_mode & 07777u) << "the document keeps its mode";
    if (root) {
      EXPECT_EQ(4321u, info.st_uid) << "the document keeps its owner";
      EXPECT_EQ(4322u, info.st_gid);
    }
    // Nothing is left beside the link or beside the file it leads to.
    EXPECT_NE(0, lstat((path + ".tmp").c_str(), &info));
    EXPECT_NE(0, lstat((target + ".tmp").c_str(), &info));
  }
  umask(saved_umask);
}

}  // namespace
