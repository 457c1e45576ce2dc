#include "snmp/memory_free_trap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/files.h"

namespace {

TEST(ParseMeminfoLine, Table) {
  struct Case {
    const char* name;
    std::string line;
    bool parsed;
    uint32_t figure;
  } cases[] = {
      {"kernel line", "MemFree:          119999 kB", true, 119999},
      {"no unit", "MemFree: 5", true, 5},
      {"figure above 32 bits saturates", "MemFree: 4294967296 kB", true, 4294967295u},
      {"figure of thirty digits saturates", "MemFree: 999999999999999999999999999999 kB", true, 4294967295u},
      {"word of 63 characters", std::string(63, 'w') + " 12 kB", true, 12},
      {"word of 64 characters", std::string(64, 'w') + " 12 kB", false, 0},
      {"no figure", "MemFree: kB", false, 0},
      {"negative figure", "MemFree: -5 kB", false, 0},
      {"word only", "MemFree:", false, 0},
      {"empty", "", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t figure = 77;
    EXPECT_EQ(c.parsed, ParseMeminfoLine(c.line, &figure)) << c.name;
    EXPECT_EQ(c.parsed ? c.figure : 77u, figure) << c.name;
  }
}

TEST(GetMemoryInfo, ReadsTheSecondLineAndKeepsTheFigureWhenItCannot) {
  zq_test::TempDir dir;
  std::string path = dir / "meminfo";
  SetMemoryFreeTrapMeminfoPathForTest(path);
  struct Step {
    const char* name;
    const char* content;  // null: no file
    uint32_t figure_after;
  } steps[] = {
      {"kernel file", "MemTotal:        2048000 kB\nMemFree:          119999 kB\nMemAvailable: 5 kB\n", 119999},
      {"file missing", nullptr, 119999},
      {"only one line", "MemTotal:        2048000 kB\n", 119999},
      {"second line without a figure", "MemTotal: 1 kB\nMemFree:\n", 119999},
      {"empty file", "", 119999},
      {"second line without line break", "MemTotal: 1 kB\nMemFree: 120000 kB", 120000},
  };
  mem = 0;
  for (const Step& step : steps) {
    unlink(path.c_str());
    if (step.content != nullptr) zq_test::WriteFile(path, step.content);
    get_memory_info();
    EXPECT_EQ(step.figure_after, mem) << step.name;
  }
  // Only 255 characters of a line are kept; the rest of an overlong first
  // line is never taken for the second.
  zq_test::WriteFile(path, "MemTotal: " + std::string(400, '1') + " kB\nMemFree: 4321 kB\n");
  get_memory_info();
  EXPECT_EQ(4321u, mem);
  SetMemoryFreeTrapMeminfoPathForTest("/proc/meminfo");
  get_memory_info();
  EXPECT_GT(mem, 0u);
}

}  // namespace
