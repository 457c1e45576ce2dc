#include "support/proc_figures.h"

#include <time.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace zq_test {

long CpuTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name (field 2) may hold blanks and parentheses: the fields
  // are counted from the last ')'.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stol(field);
  }
  return ticks;
}

long StatusFigure(const std::string& status_path, const std::string& name) {
  std::ifstream status(status_path);
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  }
  return -1;
}

long ResidentKib(pid_t pid) { return StatusFigure("/proc/" + std::to_string(pid) + "/status", "VmRSS"); }

long PeakResidentKib(pid_t pid) { return StatusFigure("/proc/" + std::to_string(pid) + "/status", "VmHWM"); }

bool ResetPeakResident(pid_t pid) {
  std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

double ThreadCpuSeconds() {
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace zq_test
