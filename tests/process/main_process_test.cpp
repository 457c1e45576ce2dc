// The real binary's process entry: log settings from the environment, the
// single-instance lock, the configuration documents and the idle main thread.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "support/proc_figures.h"
#include "support/service_process.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Env;

class MainProcessTest : public zq_test::ServiceProcessTest {};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST_F(MainProcessTest, EnvironmentSelectsLogSettings) {
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig());
  root_.WriteVersionConfig(zq_test::VersionConfig(5));
  struct Case {
    const char* name;
    Env env;
    std::string settings_line;
    bool lines_on_stdout;
  };
  const Case cases[] = {
      {"nothing set", {{"LOG_LEVEL", "<unset>"}, {"LOG_TYPE", "<unset>"}},
       "level 1 type 2 url http://127.0.0.1:1234", false},
      {"type 3 without url", {{"LOG_TYPE", "3"}}, "level 4 type 3 url ", true},
      {"type 3 with url", {{"LOG_TYPE", "3"}, {"LOG_URL", "somewhere"}}, "level 4 type 3 url somewhere", true},
      {"type 2 with empty url", {{"LOG_TYPE", "2"}, {"LOG_URL", ""}}, "level 4 type 2 url ", true},
      {"type not a number", {{"LOG_TYPE", "net"}}, "level 4 type 0 url ", true},
      {"level with blank and sign", {{"LOG_LEVEL", " +3"}, {"LOG_TYPE", "7"}}, "level 3 type 7 url ", false},
      {"level not a number", {{"LOG_LEVEL", "loud"}}, "level 0 type 3 url ", false},
  };
  for (const Case& c : cases) {
    auto service = StartService(c.env);
    ASSERT_TRUE(service->WaitForStdout("\n", 10s)) << c.name;
    EXPECT_EQ(c.settings_line, FirstLine(service->Stdout())) << c.name;
    if (c.lines_on_stdout) {
      EXPECT_TRUE(service->WaitForStdout("zq_camera_service major version: 5 \n", 10s)) << c.name;
      EXPECT_NE(std::string::npos, service->Stdout().find("Service | DEBUG: Begin...\n")) << c.name;
    } else {
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(std::string::npos, service->Stdout().find("Begin...")) << c.name << ": " << service->Stdout();
    }
    EXPECT_TRUE(service->Running()) << c.name;
  }
}

TEST_F(MainProcessTest, FileSinkTargetIsShownAndLinesLeaveStdout) {
  struct stat info {};
  if (stat("/mnt/flash/smartinfo", &info) == 0) GTEST_SKIP() << "the device log directory exists on this machine";
  auto service = StartService({{"LOG_TYPE", "1"}});
  // The agent thread writes its line when it gets to it, on a busy machine
  // later than 300 ms after the first.
  ASSERT_TRUE(service->WaitForStdout(zq_test::kSnmpAgentStdoutLines, 30s)) << service->Stdout();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ("level 4 type 1 url /mnt/flash/smartinfo/log_service.txt\n" + zq_test::kSnmpAgentStdoutLines,
            service->Stdout());
}

TEST_F(MainProcessTest, StartsLocksLoadsAndIdles) {
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig());
  root_.WriteVersionConfig(zq_test::VersionConfig(7));
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("zq_camera_service major version: 7 \n", 10s)) << service->Stdout();
  std::string out = service->Stdout();
  EXPECT_EQ(0u, out.find("level 4 type 3 url \n"
                         "Service | DEBUG: Begin...\n"
                         "Service | DEBUG: services lock file: " + root_.path() + "/lock_file\n"))
      << out;
  EXPECT_TRUE(zq_test::FileExists(root_ / "lock_file"));

  // Idle: the process may not spin. Generous bound, a quarter of one core:
  // the periodic threads run meanwhile (and a sanitizer build's runtime has
  // threads of its own), while one spinning thread would take a whole core.
  long before = zq_test::CpuTicks(service->pid());
  std::this_thread::sleep_for(2s);
  long used = zq_test::CpuTicks(service->pid()) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) * 2 / 4) << "ticks used while idle: " << used;
  EXPECT_TRUE(service->Running());
}

TEST_F(MainProcessTest, MissingVersionDocumentLogsMajorZero) {
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig());
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("zq_camera_service major version: 0 \n", 10s)) << service->Stdout();
  EXPECT_NE(std::string::npos, service->Stdout().find("Failed found config VersionConfig.json\n"));
}

TEST_F(MainProcessTest, SecondProcessWithSameRootWaitsForTheFirst) {
  root_.WriteVersionConfig(zq_test::VersionConfig(2));
  auto first = StartService();
  ASSERT_TRUE(first->WaitForStdout("major version: 2", 10s));
  auto second = StartService();
  ASSERT_TRUE(second->WaitForStdout("services lock file:", 10s));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(std::string::npos, second->Stdout().find("major version")) << second->Stdout();
  first->Kill();
  EXPECT_TRUE(second->WaitForStdout("major version: 2", 10s)) << second->Stdout();
}

TEST_F(MainProcessTest, UnlockableRootIsReportedOnceAndStartUpGoesOn) {
  zq_test::TempDir scratch;
  const std::string root = scratch / "missing-root";
  auto service = StartService({{"ZQ_ROOT_PATH", root}});
  ASSERT_TRUE(service->WaitForStdout("zq_camera_service major version: 0 \n", 10s)) << service->Stdout();
  std::string out = service->Stdout();
  const std::string lock_path = root + "/lock_file";
  auto lock_lines = zq_test::LinesWith(out, lock_path);
  ASSERT_EQ(2u, lock_lines.size()) << out;
  EXPECT_EQ("Service | DEBUG: services lock file: " + lock_path, lock_lines[0]);
  EXPECT_EQ(0u, lock_lines[1].find("Service | ERROR: ")) << lock_lines[1];
  EXPECT_LT(out.find(lock_lines[1]), out.find("major version")) << out;
  EXPECT_FALSE(zq_test::FileExists(root));
  EXPECT_TRUE(service->Running());
}

TEST_F(MainProcessTest, ConfigPathOverridesTheInstallRootDirectory) {
  zq_test::TempDir elsewhere;
  zq_test::WriteFile(elsewhere / "VersionConfig.json", zq_test::VersionConfig(42));
  auto service = StartService({{"ConfigPath", elsewhere.path() + "/"}});
  EXPECT_TRUE(service->WaitForStdout("zq_camera_service major version: 42 \n", 10s)) << service->Stdout();
}

}  // namespace
