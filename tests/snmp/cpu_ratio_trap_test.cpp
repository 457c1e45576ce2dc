#include "snmp/cpu_ratio_trap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <unistd.h>

#include "support/files.h"

namespace {

using zq_camera_service::_cpu_info;

// The module has its own get_cpu_occupy and calc_cpu_rate beside the
// monitor's: calls name the module's (global) ones explicitly.

TEST(CpuRatioPercent, TruncatesTowardZeroWithinInt32) {
  struct Case {
    double ratio;
    int32_t percent;
  } cases[] = {
      {0, 0},
      {20.0, 20},
      {20.999, 20},
      {21.0, 21},
      {-0.7, 0},
      {-3.5, -3},
      {1e12, std::numeric_limits<int32_t>::max()},
      {-1e12, std::numeric_limits<int32_t>::min()},
      {std::nan(""), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.percent, cpu_ratio_percent(c.ratio)) << c.ratio;
}

TEST(CopyStruct, CopiesTheNameAndTheSevenCounters) {
  _cpu_info source{};
  strcpy(source.name, "cpu");
  source.user = 1;
  source.nice = 2;
  source.system = 3;
  source.idle = 4;
  source.iowait = 5;
  source.irq = 6;
  source.softirq = 7;
  _cpu_info destination;
  memset(&destination, 0x7f, sizeof destination);
  copy_struct(&destination, &source);
  EXPECT_STREQ("cpu", destination.name);
  EXPECT_EQ(0, memcmp(&source, &destination, sizeof source));
}

TEST(CpuRatioTrapSample, ReadsTheStatFileOfTheSeam) {
  zq_test::TempDir dir;
  SetCpuRatioTrapStatPathForTest(dir / "stat");
  _cpu_info sample{};
  zq_test::WriteFile(dir / "stat", "cpu 21 0 0 79 0 0 0\n");
  ::get_cpu_occupy(&sample);
  EXPECT_EQ(21u, sample.user);
  EXPECT_EQ(79u, sample.idle);
  _cpu_info zero{};
  EXPECT_EQ(21, cpu_ratio_percent(::calc_cpu_rate(&zero, &sample)));
  // Unreadable: the sample stays as it was.
  unlink((dir / "stat").c_str());
  ::get_cpu_occupy(&sample);
  EXPECT_EQ(21u, sample.user);
  SetCpuRatioTrapStatPathForTest("/proc/stat");
}

}  // namespace
