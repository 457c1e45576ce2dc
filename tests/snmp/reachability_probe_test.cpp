// The probe against the library's own event loop, run here as the agent
// thread runs it, with a tick every tenth of a second to show that the loop
// never waits for the probe.
#include "snmp/reachability_probe.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <optional>

#include "base/unique_fd.h"
#include "support/ports.h"
#include "support/snmp_tools.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sockaddr_storage Loopback(uint16_t port, socklen_t* length) {
  sockaddr_storage storage{};
  auto* in = reinterpret_cast<sockaddr_in*>(&storage);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  in->sin_port = htons(port);
  *length = sizeof *in;
  return storage;
}

class ReachabilityProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As in the agent: alarms run from the loop, not from a signal.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    tick_alarm_ = snmp_alarm_register_hr(timeval{0, 100000}, SA_REPEAT, Tick, &ticks_);
    ASSERT_NE(0u, tick_alarm_);
  }
  void TearDown() override { snmp_alarm_unregister(tick_alarm_); }

  static void Tick(unsigned int, void* ticks) { ++*static_cast<int*>(ticks); }

  // Starts a probe of 127.0.0.1:`port` and runs the loop until it answers
  // (30 s at the most); its answer.
  std::optional<bool> Probe(uint16_t port) {
    socklen_t length = 0;
    sockaddr_storage address = Loopback(port, &length);
    std::optional<bool> answer;
    if (!probe_.Start(address, length, [&](bool reachable) { answer = reachable; })) return std::nullopt;
    RunLoopUntil([&] { return answer.has_value(); }, 30s);
    return answer;
  }

  void RunLoopUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) agent_check_and_process(1);
  }

  ReachabilityProbe probe_;
  int ticks_ = 0;
  unsigned int tick_alarm_ = 0;
};

TEST_F(ReachabilityProbeTest, AListeningReceiverIsReachable) {
  zq_camera_service::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  sockaddr_storage address = Loopback(0, &length);
  ASSERT_EQ(0, bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length));
  ASSERT_EQ(0, listen(listener.get(), 4));
  ASSERT_EQ(0, getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length));
  uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);

  EXPECT_EQ(std::optional<bool>(true), Probe(port));
  EXPECT_FALSE(probe_.InFlight());
}

TEST_F(ReachabilityProbeTest, AClosedPortIsNot) {
  EXPECT_EQ(std::optional<bool>(false), Probe(zq_test::FreeTcpPort()));
  EXPECT_FALSE(probe_.InFlight());
}

TEST_F(ReachabilityProbeTest, ASilentHostIsNotAfterTheTimeOutWhileTheLoopRunsOn) {
  uint16_t port = zq_test::FreeTcpPort();
  zq_test::SilentTcpPort silent(port);
  ASSERT_TRUE(silent.silent());
  auto started = Clock::now();
  EXPECT_EQ(std::optional<bool>(false), Probe(port));
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  EXPECT_GE(seconds, ReachabilityProbe::kTimeoutSeconds - 0.5);
  // The loop went on all the while: ticks all through the time-out.
  EXPECT_GE(ticks_, static_cast<int>(ReachabilityProbe::kTimeoutSeconds) * 5) << ticks_ << " ticks in " << seconds
                                                                                << " s";
}

TEST_F(ReachabilityProbeTest, ACancelledProbeNeverAnswers) {
  uint16_t port = zq_test::FreeTcpPort();
  zq_test::SilentTcpPort silent(port);
  ASSERT_TRUE(silent.silent());
  socklen_t length = 0;
  sockaddr_storage address = Loopback(port, &length);
  bool answered = false;
  ASSERT_TRUE(probe_.Start(address, length, [&](bool) { answered = true; }));
  EXPECT_TRUE(probe_.InFlight());
  probe_.Cancel();
  EXPECT_FALSE(probe_.InFlight());
  // Past the time-out: neither the watch nor the time-out alarm is left.
  int ticks_before = ticks_;
  RunLoopUntil([&] { return ticks_ >= ticks_before + static_cast<int>(ReachabilityProbe::kTimeoutSeconds + 1) * 10; },
               30s);
  EXPECT_FALSE(answered);
}

}  // namespace
