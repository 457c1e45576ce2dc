#include "service/monitor_service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "service/service_manager.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::_cpu_info;
using zq_camera_service::MonitorService;
using zq_camera_service::ThreadManager;

_cpu_info Sample(uint32_t user, uint32_t nice, uint32_t system, uint32_t idle, uint32_t iowait = 0, uint32_t irq = 0,
                 uint32_t softirq = 0) {
  _cpu_info info{};
  snprintf(info.name, sizeof info.name, "cpu");
  info.user = user;
  info.nice = nice;
  info.system = system;
  info.idle = idle;
  info.iowait = iowait;
  info.irq = irq;
  info.softirq = softirq;
  return info;
}

// Replaces the file in one step, so a reader never sees it half written.
void ReplaceFile(const std::string& path, const std::string& content) {
  zq_test::WriteFile(path + ".new", content);
  ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
}

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST(CalcCpuRate, Table) {
  const uint32_t near_wrap = 4294967290u;  // 2^32 - 6
  struct Case {
    const char* name;
    _cpu_info earlier;
    _cpu_info later;
    double expected;
  } cases[] = {
      {"identical samples", Sample(100, 5, 50, 1000), Sample(100, 5, 50, 1000), 0},
      {"only idle advanced", Sample(100, 5, 50, 1000), Sample(100, 5, 50, 1300), 0},
      {"only nice advanced (busy, yet not counted)", Sample(100, 5, 50, 1000), Sample(100, 405, 50, 1000), 0},
      {"system +30, user +20 of 200 ticks", Sample(100, 5, 50, 1000, 7, 3, 1),
       Sample(120, 15, 80, 1120, 17, 8, 6), 25},
      {"iowait, irq and softirq only enlarge the elapsed time", Sample(0, 0, 0, 0), Sample(10, 0, 10, 0, 40, 20, 20),
       20},
      {"first sample against an all-zero record", Sample(0, 0, 0, 0), Sample(21, 0, 0, 79), 21},
      // The user counter and the sum of all counters wrap between the samples;
      // the true window is still 200 ticks with 50 busy.
      {"counter and sum wrap", Sample(near_wrap, 0, 100, 0), Sample(14, 0, 130, 150), 25},
  };
  for (Case& c : cases) {
    EXPECT_DOUBLE_EQ(c.expected, zq_camera_service::calc_cpu_rate(&c.earlier, &c.later)) << c.name;
  }
  EXPECT_EQ(0, zq_camera_service::calc_cpu_rate(nullptr, nullptr));
}

TEST(CalcCpuRate, WholePercentAtTheBoundaries) {
  // The notification module truncates to whole percent: these must not come
  // out a hair below their value.
  for (uint32_t busy : {20u, 21u, 25u, 50u, 99u}) {
    _cpu_info zero{};
    _cpu_info later = Sample(busy, 0, 0, 100 - busy);
    EXPECT_EQ(static_cast<int>(busy), static_cast<int>(zq_camera_service::calc_cpu_rate(&zero, &later))) << busy;
  }
}

TEST(ParseCpuInfoLine, Table) {
  struct Case {
    const char* name;
    std::string line;
    bool parsed;
    _cpu_info expected;
  } cases[] = {
      {"kernel line with ten counters", "cpu  10132153 290696 3084719 46828483 16683 0 25195 0 0 0\n", true,
       Sample(10132153, 290696, 3084719, 46828483, 16683, 0, 25195)},
      {"exactly seven counters", "cpu 1 2 3 4 5 6 7", true, Sample(1, 2, 3, 4, 5, 6, 7)},
      {"counters above 2^32 are reduced modulo 2^32", "cpu 4294967296 4294967297 99999999999999999999999 4 5 6 7",
       true, Sample(0, 1, 4135583743u, 4, 5, 6, 7)},
      {"six counters", "cpu 1 2 3 4 5 6", false, {}},
      {"a counter that is not a number", "cpu 1 2 x 4 5 6 7", false, {}},
      {"a counter with trailing letters", "cpu 1 2 3k 4 5 6 7", false, {}},
      {"a negative counter", "cpu 1 -2 3 4 5 6 7", false, {}},
      {"empty line", "", false, {}},
      {"first word of 20 characters", "cpuuuuuuuuuuuuuuuuuu 1 2 3 4 5 6 7", false, {}},
  };
  for (const Case& c : cases) {
    _cpu_info info = Sample(9, 9, 9, 9, 9, 9, 9);
    _cpu_info before = info;
    EXPECT_EQ(c.parsed, zq_camera_service::ParseCpuInfoLine(c.line, &info)) << c.name;
    const _cpu_info& want = c.parsed ? c.expected : before;
    EXPECT_STREQ(want.name, info.name) << c.name;
    EXPECT_EQ(want.user, info.user) << c.name;
    EXPECT_EQ(want.nice, info.nice) << c.name;
    EXPECT_EQ(want.system, info.system) << c.name;
    EXPECT_EQ(want.idle, info.idle) << c.name;
    EXPECT_EQ(want.iowait, info.iowait) << c.name;
    EXPECT_EQ(want.irq, info.irq) << c.name;
    EXPECT_EQ(want.softirq, info.softirq) << c.name;
  }
}

TEST(ParseCpuInfoLine, NameOfNineteenCharactersFitsExactly) {
  _cpu_info info{};
  ASSERT_TRUE(zq_camera_service::ParseCpuInfoLine("abcdefghijklmnopqrs 1 2 3 4 5 6 7", &info));
  EXPECT_STREQ("abcdefghijklmnopqrs", info.name);
  EXPECT_EQ(7u, info.softirq);
}

TEST(ReadCpuInfoFile, ReadsTheFirstLineOnlyAndLeavesTheSampleOnFailure) {
  zq_test::TempDir dir;
  _cpu_info info = Sample(1, 1, 1, 1);
  EXPECT_FALSE(zq_camera_service::ReadCpuInfoFile(dir / "missing", &info));
  EXPECT_EQ(1u, info.user);

  zq_test::WriteFile(dir / "stat", "cpu 5 6 7 8 9 10 11 12\ncpu0 1 1 1 1 1 1 1\n");
  ASSERT_TRUE(zq_camera_service::ReadCpuInfoFile(dir / "stat", &info));
  EXPECT_EQ(5u, info.user);
  EXPECT_EQ(11u, info.softirq);

  // Only 255 characters of the line are read: counters beyond them are lost.
  zq_test::WriteFile(dir / "long", "cpu" + std::string(300, ' ') + "1 2 3 4 5 6 7\n");
  EXPECT_FALSE(zq_camera_service::ReadCpuInfoFile(dir / "long", &info));
  EXPECT_EQ(5u, info.user);

  zq_test::WriteFile(dir / "empty", "");
  EXPECT_FALSE(zq_camera_service::ReadCpuInfoFile(dir / "empty", &info));

  _cpu_info real{};
  ASSERT_TRUE(zq_camera_service::ReadCpuInfoFile("/proc/stat", &real));
  EXPECT_STREQ("cpu", real.name);
}

TEST(ParseDiskUsage, Table) {
  const std::string header = "Filesystem     1K-blocks    Used Available Use% Mounted on\n";
  struct Case {
    const char* name;
    std::string output;
    double expected;
  } cases[] = {
      {"two filesystems", header + "/dev/sda1 1000 500 500 50% /\ntmpfs 3000 1500 1500 50% /run\n", 50},
      {"name on a line of its own", header + "/dev/mapper/a-very-long-volume-name\n  1000 250 750 25% /\n", 25},
      {"a size column that is not a number ends the reading",
       header + "/dev/sda1 1000 250 750 25% /\nnone - - - - /proc\n/dev/sdb1 3000 3000 0 100% /data\n", 25},
      {"a partly numeric column ends the reading", header + "a 1000 250 750 25% /\nb 3000x 0 0 0% /b\n", 25},
      {"infinite or NaN sizes are not numbers", header + "a 1000 250 750 25% /\nb inf 10 0 0% /b\nc 1 nan 0 0% /c\n",
       25},
      {"an incomplete last line is not counted", header + "a 1000 250 750 25% /\nb 3000 3000\n", 25},
      {"header only", header, 0},
      {"no output at all", "", 0},
      {"no header line break", "Filesystem 1K-blocks Used", 0},
      {"filesystems of size zero", header + "a 0 0 0 - /a\n", 0},
      {"a header longer than 255 characters is skipped whole",
       std::string(300, 'H') + " 1000 1000 0 100% /\n" + "a 1000 500 500 50% /\n", 50},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(c.expected, zq_camera_service::ParseDiskUsage(c.output)) << c.name;
  }
}

TEST(ReadDiskUsage, RunsTheCommand) {
  EXPECT_DOUBLE_EQ(50, zq_camera_service::ReadDiskUsage(
                           "printf 'Filesystem 1K-blocks Used Available Use%% Mounted on\\n"
                           "a 1000 500 500 50%% /\\nb 3000 1500 1500 50%% /b\\n'"));
  // df missing: the shell starts but prints nothing on standard output.
  EXPECT_DOUBLE_EQ(0, zq_camera_service::ReadDiskUsage("/nonexistent/df 2>/dev/null"));
  // An endless output is drained rather than left blocking the command.
  EXPECT_DOUBLE_EQ(25, zq_camera_service::ReadDiskUsage("{ echo header; yes 'fs 1000 250 750 25% /' | head -n 200000; }"));
  double real = zq_camera_service::get_hard_drive_rate();
  EXPECT_GT(real, 0);
  EXPECT_LE(real, 100);
}

class MonitorServiceTest : public ::testing::Test {
 protected:
  zq_test::TempDir dir_;
  std::string stat_ = dir_ / "stat";
  const std::string df_ =
      "printf 'Filesystem 1K-blocks Used Available Use%% Mounted on\\na 4000 1000 3000 25%% /\\n'";
};

TEST_F(MonitorServiceTest, FirstWindowGivesTheUsageAndLaterIdleWindowsGiveZero) {
  zq_test::ScopedLogSettings settings(3, 3, "");
  zq_test::WriteFile(stat_, "cpu 100 5 50 1000 7 3 1\n");
  MonitorService service(stat_, df_);
  std::string log;
  {
    zq_test::StdoutCapture capture;
    EXPECT_EQ(0, service.StartService());
    ASSERT_TRUE(WaitUntil([&] { return capture.Text().find("monitor service start thread\n") != std::string::npos; },
                          5s));
    log = capture.Text();
  }
  EXPECT_EQ("MonitorThread", service.ThreadName());
  // The new thread's lines may come between the two lines of the start.
  size_t create = log.find("Service | INFO: Create thread...\n");
  ASSERT_NE(std::string::npos, create) << log;
  EXPECT_NE(std::string::npos, log.find("Service | INFO: Create thread...done\n", create)) << log;

  // Before the first window completes the CPU figure is 0; the disk figure is fresh.
  float cpu = -1;
  float disk = -1;
  EXPECT_EQ(0, service.FetchCurrentDeviceState(cpu, disk));
  EXPECT_EQ(0.0f, cpu);
  EXPECT_EQ(25.0f, disk);

  // The first sample was taken right after the start line; the second comes
  // 1.5 s later and sees this one: system +30, user +20 of 200 ticks.
  std::this_thread::sleep_for(300ms);
  ReplaceFile(stat_, "cpu 120 15 80 1120 17 8 6\n");
  EXPECT_TRUE(WaitUntil([&] { service.FetchCurrentDeviceState(cpu, disk); return cpu == 25.0f; }, 5s)) << cpu;
  // The file no longer changes: the next windows are idle.
  EXPECT_TRUE(WaitUntil([&] { service.FetchCurrentDeviceState(cpu, disk); return cpu == 0.0f; }, 5s)) << cpu;
  EXPECT_EQ(0, service.StopService());
}

TEST_F(MonitorServiceTest, StopEndsTheSleepAtOnceAndFreesTheName) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  zq_test::WriteFile(stat_, "cpu 1 2 3 4 5 6 7\n");
  MonitorService service(stat_, df_);
  service.StartService();
  std::string name = service.ThreadName();
  ASSERT_EQ("MonitorThread", name);
  std::this_thread::sleep_for(100ms);  // well inside the first 1.5 s sleep
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(0, service.StopService());
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_EQ(-1, ThreadManager::GetInstance()->StopThread(name));
}

TEST_F(MonitorServiceTest, SecondStartRunsASecondThreadAndStopEndsBoth) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  zq_test::WriteFile(stat_, "cpu 1 2 3 4 5 6 7\n");
  MonitorService service(stat_, df_);
  service.StartService();
  service.StartService();
  EXPECT_EQ("MonitorThread1", service.ThreadName());
  service.StopService();
  std::string first = "MonitorThread";
  std::string second = "MonitorThread1";
  EXPECT_EQ(-1, ThreadManager::GetInstance()->StopThread(first));
  EXPECT_EQ(-1, ThreadManager::GetInstance()->StopThread(second));
}

TEST_F(MonitorServiceTest, UnreadableStatFileKeepsTheFigureAtZero) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  MonitorService service(dir_ / "missing", df_);
  service.StartService();
  std::this_thread::sleep_for(1800ms);  // one whole window
  float cpu = -1;
  float disk = -1;
  service.FetchCurrentDeviceState(cpu, disk);
  EXPECT_EQ(0.0f, cpu);
  // The destructor stops and joins the thread.
}

TEST_F(MonitorServiceTest, FailedThreadStartStillReturnsZero) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  MonitorService service(stat_, df_);
  ThreadManager::GetInstance()->SetFailThreadCreationForTest(true);
  EXPECT_EQ(0, service.StartService());
  ThreadManager::GetInstance()->SetFailThreadCreationForTest(false);
  EXPECT_EQ("", service.ThreadName());
  float cpu = -1;
  float disk = -1;
  service.FetchCurrentDeviceState(cpu, disk);
  EXPECT_EQ(0.0f, cpu);
  EXPECT_EQ(0, service.StopService());
}

TEST(MonitorServiceFactory, ServiceThreeIsTheMonitorAndStartsItsThread) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  zq_camera_service::ServiceManager manager;
  auto* service = dynamic_cast<MonitorService*>(manager.CreateServiceBy(zq_camera_service::SERVICE_MONITOR));
  ASSERT_NE(nullptr, service);
  EXPECT_EQ("MonitorService", service->name);
  EXPECT_EQ("MonitorThread", service->ThreadName());
  EXPECT_EQ(0, manager.CleanupAll());
  std::string name = "MonitorThread";
  EXPECT_EQ(-1, ThreadManager::GetInstance()->StopThread(name));
}

}  // namespace
