// SNMP agent under a flood of cheap requests: the real binary (a new one for
// each row), its agent on a free loopback port, and one UDP socket sending evenly spaced requests of one
// kind per row while snmpget asks for sysUpTime.0 every second beside it.
// Each row: requests answered per second, the process's CPU in % of one core
// (from /proc/<pid>/stat), the slowest snmpget and the bytes written to
// standard error over the row.
// Goals for the 90/s bulk row: most requests answered (> 90 %), CPU < 50 %,
// every snmpget answered within 2 s.
//
//   bench_snmp_flood [--binary PATH] [--seconds S, default 20] [--log-level N]
//     --binary     the service program to measure (an older build, say)
//     --log-level  LOG_LEVEL of the service; unset (its default) when not given
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_command_line.h"
#include "support/child_process.h"
#include "support/install_root.h"
#include "support/proc_figures.h"
#include "support/snmp_tools.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct FloodRow {
  const char* name;
  zq_test::SnmpRequestKind kind;
  int per_second;
};

const FloodRow kRows[] = {
    {"getbulk, max-repetitions 127, 90/s", zq_test::SnmpRequestKind::kBulk, 90},
    {"getbulk, max-repetitions 127, 9/s", zq_test::SnmpRequestKind::kBulk, 9},
    {"get of 200 varbinds, 25/s", zq_test::SnmpRequestKind::kGet200Varbinds, 25},
    {"56 000-byte datagram, 25/s", zq_test::SnmpRequestKind::kLargeDatagram, 25},
};

constexpr double kAnsweredGoal = 0.9;
constexpr double kCpuGoalPercent = 50;
constexpr double kGetGoalSeconds = 2;

long FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 20;
  std::string log_level;
  zq_bench::BenchCommandLine line;
  const int unreadable = zq_bench::ReadBenchCommandLine(
      argc, argv, "[--binary PATH] [--seconds S] [--log-level N]", false, &line,
      [&](const std::string& option, const std::string& value) {
        if (option == "--seconds") {
          seconds = atoi(value.c_str());
          return seconds > 0 && seconds <= 600;
        }
        if (option != "--log-level") return false;
        log_level = value;
        return true;
      });
  if (unreadable != 0) return unreadable;
  const std::string& binary = line.program;
  setvbuf(stdout, nullptr, _IOLBF, 0);

  const long ticks_per_second = sysconf(_SC_CLK_TCK);

  printf("SNMP request flood against %s (LOG_LEVEL %s), %d s a row\n\n", binary.c_str(),
         log_level.empty() ? "unset" : log_level.c_str(), seconds);
  printf("| requests | sent | answered/s (goal > %.0f %%) | CPU (goal < %.0f %%) | slowest snmpget (goal < %.0f s) "
         "| standard error |\n",
         kAnsweredGoal * 100, kCpuGoalPercent, kGetGoalSeconds);
  printf("|---|---|---|---|---|---|\n");
  int missed = 0;
  for (const FloodRow& row : kRows) {
    // A service of its own for each row: what one row left queued must not
    // count against the next.
    zq_test::InstallRoot root;
    // No cloud address: standard error is the agent's alone.
    root.WriteBaseConfig("{}");
    root.WriteVersionConfig(zq_test::VersionConfig(3));
    zq_test::ServiceEnvironment environment(root.path());
    zq_test::Env env = environment.env;
    if (log_level.empty()) {
      env.erase("LOG_LEVEL");
    } else {
      env["LOG_LEVEL"] = log_level;
    }
    zq_test::ChildProcess service(env, binary);
    if (!service.WaitForStdout("NET-SNMP test\n", 30s)) {
      fprintf(stderr, "the agent did not start\n%s\n", service.Stderr().substr(0, 2000).c_str());
      return 1;
    }
    std::this_thread::sleep_for(2s);  // past the start-up's own output

    const long cpu_before = zq_test::CpuTicks(service.pid());
    const long stderr_before = FileSize(service.StderrPath());
    const auto started = Clock::now();
    zq_test::SnmpFloodFigures figures;
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
      figures = zq_test::FloodSnmpRequests(environment.snmp_port, row.kind, row.per_second,
                                           std::chrono::seconds(seconds));
      flooding = false;
    });
    double slowest_get = 0;
    int unanswered_gets = 0;
    while (flooding) {
      auto asked = Clock::now();
      bool answered = !zq_test::SnmpGet(environment.snmp_port, {".1.3.6.1.2.1.1.3.0"}).empty();
      double took = std::chrono::duration<double>(Clock::now() - asked).count();
      if (answered) {
        slowest_get = std::max(slowest_get, took);
      } else {
        ++unanswered_gets;
      }
      std::this_thread::sleep_until(asked + 1s);
    }
    flood.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    const long cpu_after = zq_test::CpuTicks(service.pid());
    const long stderr_after = FileSize(service.StderrPath());
    if (cpu_before < 0 || cpu_after < 0) {
      printf("| %s | the service ended |||||\n", row.name);
      return 1;
    }
    double cpu_percent = 100.0 * static_cast<double>(cpu_after - cpu_before) / ticks_per_second / elapsed;
    double answered_share = figures.sent == 0 ? 0 : static_cast<double>(figures.answered) / figures.sent;
    bool met = answered_share > kAnsweredGoal && cpu_percent < kCpuGoalPercent && unanswered_gets == 0 &&
               slowest_get < kGetGoalSeconds;
    if (!met) ++missed;
    std::string gets = unanswered_gets == 0 ? std::to_string(slowest_get).substr(0, 4) + " s"
                                            : std::to_string(unanswered_gets) + " unanswered";
    printf("| %s | %zu | %zu (%.1f/s, %.0f %%) | %.0f %% | %s | %.1f KB |%s\n", row.name, figures.sent,
           figures.answered, figures.answered / elapsed, answered_share * 100, cpu_percent, gets.c_str(),
           (stderr_after - stderr_before) / 1000.0, met ? "" : " MISSED");
  }
  return missed == 0 ? 0 : 1;
}
