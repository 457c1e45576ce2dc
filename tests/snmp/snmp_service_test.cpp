// The agent and its notification modules, run in a forked copy of the test
// (the agent library is process-wide and its thread never ends), with the
// real snmptrapd as receiver and files of the test standing in for procfs.
#include "snmp/snmp_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <unistd.h>

#include "base/log.h"
#include "snmp/cpu_ratio_trap.h"
#include "snmp/memory_free_trap.h"
#include "support/child_process.h"
#include "support/files.h"
#include "support/snmp_tools.h"

namespace {

using namespace std::chrono_literals;
using zq_test::SnmpNotification;
using zq_test::SnmpVarbind;

const std::string kCpuNotification = ".1.0.0.2.0.1";
const std::string kMemoryNotification = ".1.0.0.3.0.1";
const std::string kHeartbeatNotification = ".1.0.0.4.0.1";

std::string MeminfoWithFree(uint32_t free_kb) {
  return "MemTotal:        2048000 kB\nMemFree:        " + std::to_string(free_kb) +
         " kB\nMemAvailable:    1500000 kB\n";
}

std::string StatLine(uint32_t user, uint32_t idle) {
  return "cpu  " + std::to_string(user) + " 0 0 " + std::to_string(idle) + " 0 0 0 0 0 0\ncpu0 1 1 1 1 1 1 1\n";
}

// When each was sent, for failure messages.
std::string Uptimes(const std::vector<SnmpNotification>& received) {
  std::string uptimes;
  for (const SnmpNotification& notification : received) uptimes += std::to_string(notification.uptime) + " ";
  return uptimes;
}

// Replaces the file in one step, so the agent never reads it half written.
void ReplaceFile(const std::string& path, const std::string& content) {
  zq_test::WriteFile(path + ".new", content);
  ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
}

class SnmpAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.AddSnmpTrapSink(receiver_.port());
    zq_test::WriteFile(stat_, StatLine(0, 0));
    zq_test::WriteFile(meminfo_, MeminfoWithFree(1000000));
  }

  std::unique_ptr<zq_test::ChildProcess> StartAgent(bool fail_thread_start = false) {
    std::string stat = stat_;
    std::string meminfo = meminfo_;
    auto agent = std::make_unique<zq_test::ChildProcess>(environment_.env, [=] {
      g_zq_log_config = 4;
      g_zq_log_record_type = 3;
      g_zq_log_app_name = "Service";
      SetCpuRatioTrapStatPathForTest(stat);
      SetMemoryFreeTrapMeminfoPathForTest(meminfo);
      zq_camera_service::SnmpService::SetFailThreadStartForTest(fail_thread_start);
      int result = zq_camera_service::SnmpService::netsnmp_agent_init();
      printf("agent init returned %d\n", result);
      for (;;) pause();
    });
    started_ = std::chrono::steady_clock::now();
    return agent;
  }

  std::chrono::steady_clock::duration SinceStart() const { return std::chrono::steady_clock::now() - started_; }

  // One step of a half-busy CPU: as many user as idle ticks pass, then the
  // agent gets a tenth of a second, so a one-second poll sees several steps.
  void AdvanceHalfBusy() {
    ticks_ += 10;
    ReplaceFile(stat_, StatLine(ticks_, ticks_));
    auto now = std::chrono::steady_clock::now();
    if (last_step_) longest_step_ = std::max(longest_step_, now - *last_step_);
    last_step_ = now;
    std::this_thread::sleep_for(100ms);
  }
  // The agent polls once a second at the most often. While no two steps lie
  // further apart than this, every poll finds ticks since the one before.
  bool EveryPollSawTicks() const { return longest_step_ < 950ms; }
  // A pause of the counters that is meant to be one: the steps after it are
  // measured from the first one.
  void PauseSteps() { last_step_.reset(); }

  // Starts an agent that reads `meminfo` and a half-busy CPU, keeps the CPU
  // so until its first CPU notification, then hands over to `scenario`; all
  // this until a run kept to its plan, three runs at the most, and tells
  // whether one did. On a loaded machine this thread can be held up past a
  // poll, which then rightly finds the CPU idle; such a run proves nothing.
  // The scenario gets the time the first notification was seen and returns
  // whether its run kept to the plan; NotificationsOfLastRun() then gives
  // what the agent of the last run sent.
  bool RunKeepingToPlan(const std::string& meminfo,
                        const std::function<bool(std::chrono::steady_clock::time_point)>& scenario) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      run_start_ = receiver_.Notifications().size();
      last_step_.reset();
      longest_step_ = {};
      zq_test::WriteFile(stat_, StatLine(ticks_, ticks_));
      zq_test::WriteFile(meminfo_, meminfo);
      auto agent = StartAgent();
      if (!AdvanceHalfBusyUntilCpuNotification()) {
        ADD_FAILURE() << "no CPU notification\n" << agent->Stdout();
        return true;
      }
      if (scenario(std::chrono::steady_clock::now())) return true;
    }
    return false;
  }
  std::vector<SnmpNotification> NotificationsOfLastRun(const std::string& trap_oid) const {
    std::vector<SnmpNotification> all = receiver_.Notifications();
    std::vector<SnmpNotification> matching;
    for (size_t i = run_start_; i < all.size(); ++i) {
      if (all[i].TrapOid() == trap_oid) matching.push_back(all[i]);
    }
    return matching;
  }
  void AdvanceHalfBusyUntil(std::chrono::steady_clock::time_point end) {
    while (std::chrono::steady_clock::now() < end) AdvanceHalfBusy();
  }
  // Keeps the CPU half busy until the first CPU notification arrives (20 s at
  // the most); whether it did.
  bool AdvanceHalfBusyUntilCpuNotification() {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (NotificationsOfLastRun(kCpuNotification).empty() && std::chrono::steady_clock::now() < deadline) {
      AdvanceHalfBusy();
    }
    return !NotificationsOfLastRun(kCpuNotification).empty();
  }

  zq_test::TempDir files_ = zq_test::TempDir::InMemory("zqsnmp");
  std::string stat_ = files_ / "stat";
  std::string meminfo_ = files_ / "meminfo";
  zq_test::ServiceEnvironment environment_{files_ / "root"};
  zq_test::TrapReceiver receiver_;
  std::chrono::steady_clock::time_point started_;
  uint32_t ticks_ = 1000;  // user and idle counts of a half-busy CPU
  std::optional<std::chrono::steady_clock::time_point> last_step_;
  std::chrono::steady_clock::duration longest_step_{};
  size_t run_start_ = 0;  // notifications received before the last run
};

TEST_F(SnmpAgentTest, EachNotificationCarriesItsFigureAndTheDeviceIdentity) {
  // The first CPU poll compares with an all-zero sample: 25 % since "boot".
  zq_test::WriteFile(stat_, StatLine(25, 75));
  zq_test::WriteFile(meminfo_, MeminfoWithFree(119999));
  auto agent = StartAgent();
  ASSERT_TRUE(receiver_.WaitFor(kHeartbeatNotification, 1, 30s)) << agent->Stdout();

  struct Case {
    const char* name;
    std::string trap_oid;
    int number;
    std::string figure;
  } cases[] = {
      {"cpu ratio", kCpuNotification, 2, "25"},
      {"free memory", kMemoryNotification, 3, "119999"},
      {"heartbeat", kHeartbeatNotification, 4, "20"},
  };
  for (const Case& c : cases) {
    std::vector<SnmpNotification> received = receiver_.Notifications(c.trap_oid);
    ASSERT_FALSE(received.empty()) << c.name;
    EXPECT_EQ(zq_test::DescribeVarbinds(zq_test::DeviceNotificationVarbinds(c.number, c.figure)),
              zq_test::DescribeVarbinds(received[0].varbinds))
        << c.name;
  }

  // The heartbeat goes out one interval after the agent started, not before.
  SnmpNotification heartbeat = receiver_.Notifications(kHeartbeatNotification)[0];
  EXPECT_GE(heartbeat.uptime, 1950);
  EXPECT_LE(heartbeat.uptime, 2300);
  EXPECT_TRUE(agent->WaitForStderr("example_notification: sending trap 1\n", 5s));
  EXPECT_EQ(std::string::npos, agent->Stderr().find("sending trap 2\n"));
  // The CPU and memory notifications went out at the first poll.
  EXPECT_LE(receiver_.Notifications(kCpuNotification)[0].uptime, 250);
  EXPECT_LE(receiver_.Notifications(kMemoryNotification)[0].uptime, 250);

  std::string out = agent->Stdout();
  EXPECT_EQ(0u, out.find("setParam\n")) << out;
  EXPECT_NE(std::string::npos, out.find("agent init returned 0\n"));
  EXPECT_NE(std::string::npos, out.find("NET-SNMP test\n"));
  EXPECT_NE(std::string::npos, out.find("Service | DEBUG: check and process snmptrap\n"));
  std::string err = agent->Stderr();
  EXPECT_NE(std::string::npos, err.find("cpuTrap: Initializing\n"));
  EXPECT_NE(std::string::npos, err.find("memoryTrap: Initializing\n"));
  EXPECT_NE(std::string::npos, err.find("example_notification: initializing (setting callback alarm)\n"));
  EXPECT_NE(std::string::npos, err.find("NET_SNMP version "));
}

TEST_F(SnmpAgentTest, FiguresAtTheThresholdSendNothingAndOneStepBeyondSendAtOnce) {
  zq_test::WriteFile(stat_, StatLine(20, 80));          // exactly 20 %
  zq_test::WriteFile(meminfo_, MeminfoWithFree(120000));  // exactly the threshold
  auto agent = StartAgent();
  ASSERT_TRUE(agent->WaitForStdout("agent init returned 0\n", 20s)) << agent->Stderr().substr(0, 2000);
  std::this_thread::sleep_for(3500ms);  // three polls
  EXPECT_TRUE(receiver_.Notifications(kCpuNotification).empty());
  EXPECT_TRUE(receiver_.Notifications(kMemoryNotification).empty());

  // 21 of the next 100 ticks busy; one kB below the threshold.
  ReplaceFile(stat_, StatLine(41, 159));
  ReplaceFile(meminfo_, MeminfoWithFree(119999));
  auto changed = SinceStart();
  ASSERT_TRUE(receiver_.WaitFor(kCpuNotification, 1, 5s));
  ASSERT_TRUE(receiver_.WaitFor(kMemoryNotification, 1, 5s));
  SnmpNotification cpu = receiver_.Notifications(kCpuNotification)[0];
  SnmpNotification memory = receiver_.Notifications(kMemoryNotification)[0];
  EXPECT_EQ("21", cpu.varbinds.at(2).value);
  EXPECT_EQ("119999", memory.varbinds.at(2).value);
  // Sent at the first poll after the change.
  long changed_ticks = std::chrono::duration_cast<std::chrono::milliseconds>(changed).count() / 10;
  EXPECT_LE(cpu.uptime, changed_ticks + 200);
  EXPECT_LE(memory.uptime, changed_ticks + 200);
}

TEST_F(SnmpAgentTest, HeldConditionRepeatsEveryFiveSecondsAndStopsWhenItClears) {
  // Half of every tick that passes is busy, for as long as the test keeps
  // the counters moving.
  bool kept = RunKeepingToPlan(MeminfoWithFree(119999), [&](std::chrono::steady_clock::time_point first) {
    AdvanceHalfBusyUntil(first + 12s);
    // Cleared: the counters stand still (ratio 0) and free memory is back.
    ReplaceFile(meminfo_, MeminfoWithFree(500000));
    std::this_thread::sleep_for(first + 17500ms - std::chrono::steady_clock::now());
    return EveryPollSawTicks();
  });
  ASSERT_TRUE(kept) << "three runs in a row held up past a poll";

  // A repeat never comes early, and may come a little late on a loaded
  // machine: the library counts each interval from when the last one ran.
  for (const std::string& trap_oid : {kCpuNotification, kMemoryNotification}) {
    std::vector<SnmpNotification> received = NotificationsOfLastRun(trap_oid);
    std::string uptimes = Uptimes(received);
    ASSERT_EQ(3u, received.size()) << trap_oid << " sent at " << uptimes;
    for (size_t i = 1; i < received.size(); ++i) {
      long gap = received[i].uptime - received[i - 1].uptime;
      EXPECT_GE(gap, 480) << trap_oid << " sent at " << uptimes;
      EXPECT_LE(gap, 650) << trap_oid << " sent at " << uptimes;
    }
  }
  EXPECT_EQ("50", NotificationsOfLastRun(kCpuNotification)[0].varbinds.at(2).value);
}

TEST_F(SnmpAgentTest, OnePollAtTheThresholdRestartsTheRepeatWithAnImmediateNotification) {
  // Polls fall on whole seconds after the first notification (seen here a
  // little later). The counters stand still from +1.5 s to +3.6 s, so the poll
  // at +3 s finds no tick since the one at +2 s (ratio 0), and move again for
  // the poll at +4 s; they stop for good after +6.5 s, so the poll at +8 s
  // ends the new repeat well before it would fall due.
  bool kept = RunKeepingToPlan(MeminfoWithFree(1000000), [&](std::chrono::steady_clock::time_point first) {
    AdvanceHalfBusyUntil(first + 1500ms);
    bool paused_in_time = std::chrono::steady_clock::now() < first + 1900ms;
    PauseSteps();
    std::this_thread::sleep_for(first + 3600ms - std::chrono::steady_clock::now());
    AdvanceHalfBusy();
    bool resumed_in_time = std::chrono::steady_clock::now() < first + 3900ms;
    AdvanceHalfBusyUntil(first + 6500ms);
    std::this_thread::sleep_for(first + 11s - std::chrono::steady_clock::now());
    return paused_in_time && resumed_in_time && EveryPollSawTicks();
  });
  ASSERT_TRUE(kept) << "three runs in a row held up past a poll";

  // No notification at +5 s from the first repeat; a new one at +4 s, whose
  // own repeat (+9 s) the poll at +8 s cancelled.
  std::vector<SnmpNotification> received = NotificationsOfLastRun(kCpuNotification);
  std::string uptimes = Uptimes(received);
  ASSERT_EQ(2u, received.size()) << uptimes;
  EXPECT_NEAR(400, received[1].uptime - received[0].uptime, 60);
}

TEST_F(SnmpAgentTest, AgentThreadThatCannotStartIsReportedAndServesNothing) {
  zq_test::WriteFile(stat_, StatLine(90, 10));
  auto agent = StartAgent(true);
  ASSERT_TRUE(agent->WaitForStdout("agent init returned -1\n", 20s)) << agent->Stdout();
  EXPECT_TRUE(agent->WaitForStderr("netsnmp agent init error\n", 5s));
  EXPECT_TRUE(zq_test::SnmpGet(environment_.snmp_port, {".1.3.6.1.2.1.1.3.0"}).empty());
  EXPECT_EQ(std::string::npos, agent->Stdout().find("NET-SNMP test"));
  EXPECT_TRUE(receiver_.Notifications().empty());
}

TEST_F(SnmpAgentTest, AnswersQueriesOnItsConfiguredPort) {
  auto agent = StartAgent();
  ASSERT_TRUE(agent->WaitForStdout("NET-SNMP test\n", 20s));
  std::vector<SnmpVarbind> answer =
      zq_test::SnmpGet(environment_.snmp_port, {".1.3.6.1.2.1.1.3.0", ".1.3.6.1.2.1.1.1.0"});
  ASSERT_EQ(2u, answer.size()) << agent->Stdout();
  EXPECT_EQ("Timeticks", answer[0].type);
  EXPECT_EQ("STRING", answer[1].type);
  EXPECT_NE(std::string::npos, answer[1].value.find("Linux"));
}

TEST_F(SnmpAgentTest, EveryKindOfSinkLineGetsEachNotificationOnce) {
  // Beside the fixture's "trap2sink": an SNMPv1 sink, an inform sink, and a
  // TCP receiver named by a "trapsess" line.
  zq_test::TrapReceiver v1;
  zq_test::TrapReceiver inform;
  zq_test::TrapReceiver tcp(true);
  const std::string conf = environment_.snmp_conf_dir + "/Test.conf";
  zq_test::WriteFile(conf, zq_test::ReadFile(conf) + "trapsink 127.0.0.1:" + std::to_string(v1.port()) +
                               " public\ninformsink 127.0.0.1:" + std::to_string(inform.port()) +
                               " public\ntrapsess -v 2c -c public tcp:127.0.0.1:" + std::to_string(tcp.port()) +
                               "\n");
  zq_test::WriteFile(stat_, StatLine(90, 10));
  auto agent = StartAgent();
  ASSERT_TRUE(receiver_.WaitFor(kCpuNotification, 1, 20s)) << agent->Stdout();
  ASSERT_TRUE(inform.WaitFor(kCpuNotification, 1, 5s)) << agent->Stdout();
  ASSERT_TRUE(tcp.WaitFor(kCpuNotification, 1, 5s)) << agent->Stdout();
  ASSERT_TRUE(v1.WaitForOutput("Enterprise Specific Trap (1)", 5s)) << v1.Output();

  // Well before the 5-second repeat: one each.
  std::this_thread::sleep_for(2s);
  for (const zq_test::TrapReceiver* v2 : {&receiver_, &inform, &tcp}) {
    std::vector<SnmpNotification> received = v2->Notifications(kCpuNotification);
    ASSERT_EQ(1u, received.size()) << Uptimes(received);
    EXPECT_EQ(zq_test::DescribeVarbinds(zq_test::DeviceNotificationVarbinds(2, "90")),
              zq_test::DescribeVarbinds(received[0].varbinds));
  }
  std::string v1_output = v1.Output();
  EXPECT_EQ(1u, zq_test::CountOccurrences(v1_output, "TRAP, SNMP v1, community public")) << v1_output;
  EXPECT_NE(std::string::npos, v1_output.find(".1.0.0.2 Enterprise Specific Trap (1)")) << v1_output;
  EXPECT_NE(std::string::npos, v1_output.find(".1.0.0.2.1.1.0 = INTEGER: 90")) << v1_output;
}

}  // namespace
