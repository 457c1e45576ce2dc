#include "service/monitor_service.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/file_line.h"
#include "base/log.h"

namespace zq_camera_service {

namespace {

constexpr const char* kThreadName = "MonitorThread";
constexpr std::chrono::microseconds kWindow{1500000};
// The stat line and the df header are read the way the device always read
// them: at most 255 characters of a line.
constexpr size_t kMaxLineLength = 255;
constexpr size_t kMaxNameLength = sizeof(_cpu_info::name) - 1;
// Output of df beyond this is drained and ignored: no device has that many
// filesystems, and the buffer stays bounded.
constexpr size_t kMaxDfOutput = 1 << 20;

bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// The next blank-delimited word of `text` from `at`; "" at the end.
std::string NextWord(const std::string& text, size_t& at) {
  while (at < text.size() && IsBlank(text[at])) ++at;
  size_t start = at;
  while (at < text.size() && !IsBlank(text[at])) ++at;
  return text.substr(start, at - start);
}

// A word of decimal digits, reduced modulo 2^32.
bool ParseCounter(const std::string& word, uint32_t* value) {
  if (word.empty()) return false;
  uint32_t result = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    result = result * 10u + static_cast<uint32_t>(c - '0');
  }
  *value = result;
  return true;
}

// A whole word that is a finite number, as the size columns of df are.
bool ParseNumber(const std::string& word, double* value) {
  if (word.empty()) return false;
  char* end = nullptr;
  double result = strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || !std::isfinite(result)) return false;
  *value = result;
  return true;
}

uint32_t SumOfCounters(const _cpu_info& info) {
  return info.user + info.nice + info.system + info.idle + info.iowait + info.irq + info.softirq;
}

struct PipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};

}  // namespace

bool ParseCpuInfoLine(const std::string& line, _cpu_info* info) {
  if (info == nullptr) return false;
  size_t at = 0;
  std::string name = NextWord(line, at);
  if (name.empty() || name.size() > kMaxNameLength) return false;
  _cpu_info sample{};
  memcpy(sample.name, name.data(), name.size());
  uint32_t* counters[] = {&sample.user, &sample.nice, &sample.system, &sample.idle,
                          &sample.iowait, &sample.irq, &sample.softirq};
  for (uint32_t* counter : counters) {
    if (!ParseCounter(NextWord(line, at), counter)) return false;
  }
  *info = sample;
  return true;
}

bool ReadCpuInfoFile(const std::string& path, _cpu_info* info) {
  std::string line;
  if (!ReadFileLine(path, 0, kMaxLineLength, &line)) return false;
  return ParseCpuInfoLine(line, info);
}

void get_cpu_occupy(_cpu_info* info) { ReadCpuInfoFile("/proc/stat", info); }

double calc_cpu_rate(_cpu_info* earlier, _cpu_info* later) {
  if (earlier == nullptr || later == nullptr) return 0;
  // Elapsed ticks are taken modulo 2^32 like every counter difference, so a
  // sum that wrapped between the two samples still gives the true elapsed
  // time instead of a negative one.
  uint32_t elapsed = SumOfCounters(*later) - SumOfCounters(*earlier);
  if (elapsed == 0) return 0;
  double total = static_cast<double>(elapsed);
  uint32_t system = later->system - earlier->system;
  uint32_t user = later->user - earlier->user;
  return static_cast<double>(system) / total * 100 + static_cast<double>(user) / total * 100;
}

double ParseDiskUsage(const std::string& df_output) {
  size_t header_end = df_output.find('\n');
  if (header_end == std::string::npos) return 0;
  size_t at = header_end + 1;
  double total_sum = 0;
  double used_sum = 0;
  for (;;) {
    std::string columns[6];
    for (std::string& column : columns) column = NextWord(df_output, at);
    if (columns[5].empty()) break;
    double total = 0;
    double used = 0;
    if (!ParseNumber(columns[1], &total) || !ParseNumber(columns[2], &used)) break;
    total_sum += total;
    used_sum += used;
  }
  if (total_sum == 0) return 0;
  return used_sum / total_sum * 100;
}

double ReadDiskUsage(const std::string& command) {
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  if (!pipe) return 0;
  std::string output;
  char chunk[4096];
  size_t n = 0;
  // Read to the end even past the limit, so df never blocks on a full pipe
  // while pclose waits for it.
  while ((n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0) {
    if (output.size() < kMaxDfOutput) output.append(chunk, std::min(n, kMaxDfOutput - output.size()));
  }
  return ParseDiskUsage(output);
}

double get_hard_drive_rate() { return ReadDiskUsage("df"); }

MonitorService::MonitorService(std::string stat_path, std::string df_command)
    : stat_path(std::move(stat_path)), df_command(std::move(df_command)) {}

MonitorService::~MonitorService() {
  if (!started_threads.empty()) StopService();
}

int MonitorService::StartService() {
  running = 1;
  // The body is listed once: a thread already started reads this table, so a
  // repeated start must not grow (and move) it under that thread.
  if (threadFuncs.empty()) threadFuncs.push_back(&IThreadService::StartThread);
  zq_info("Create thread...\n");
  thread_name = ThreadManager::GetInstance()->CreateThread(kThreadName, static_cast<IThreadService*>(this), 0);
  if (!thread_name.empty()) started_threads.push_back(thread_name);
  zq_info("Create thread...done\n");
  return 0;
}

int MonitorService::StopService() {
  ClearRunning();
  // Every thread of this service ends on the cleared flag; all are joined.
  for (std::string& name : started_threads) ThreadManager::GetInstance()->StopThread(name);
  started_threads.clear();
  return 0;
}

void MonitorService::ClearRunning() {
  {
    std::lock_guard<std::mutex> lock(wait_mutex);
    running = 0;
  }
  wake.notify_all();
}

void MonitorService::RequestStopThread() { ClearRunning(); }

int MonitorService::FetchCurrentDeviceState(float& cpu, float& disk) {
  cpu = cpu_usage.load();
  float measured = static_cast<float>(ReadDiskUsage(df_command));
  disk_usage = measured;
  disk = measured;
  return 0;
}

void MonitorService::StartThread() {
  zq_info("monitor service start thread\n");
  if (running.load() == 0) return;
  for (;;) {
    _cpu_info earlier{};
    bool have_earlier = ReadCpuInfoFile(stat_path, &earlier);
    {
      std::unique_lock<std::mutex> lock(wait_mutex);
      if (wake.wait_for(lock, kWindow, [this] { return running.load() == 0; })) return;
    }
    // A later sample that cannot be read stays equal to the earlier one, so
    // the window counts as idle rather than as garbage.
    _cpu_info later = earlier;
    bool have_later = ReadCpuInfoFile(stat_path, &later);
    double usage = have_earlier && have_later ? calc_cpu_rate(&earlier, &later) : 0;
    uint8_t still_running = running.load();
    cpu_usage = static_cast<float>(usage);
    if (still_running != 1) return;
  }
}

}  // namespace zq_camera_service
