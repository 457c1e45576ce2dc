// Device monitor (service 3): the CPU usage sampled on "MonitorThread" over
// back-to-back 1.5 s windows, and the disk usage measured on request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/thread_manager.h"
#include "service/base_service.h"

namespace zq_camera_service {

// One sample of the first line of "/proc/stat"; the CPU notification module
// takes its samples in the same record.
struct _cpu_info {
  char name[20];  // first word of the line, NUL-terminated
  uint32_t user;
  uint32_t nice;
  uint32_t system;
  uint32_t idle;
  uint32_t iowait;
  uint32_t irq;
  uint32_t softirq;
};

// Reads one sample of the first line of "/proc/stat" into `info`; an
// unreadable file leaves the record unchanged.
void get_cpu_occupy(_cpu_info* info);
// CPU usage in percent between an earlier and a later sample: user and
// system time over all seven counters.
double calc_cpu_rate(_cpu_info* earlier, _cpu_info* later);
// Disk usage in percent over every filesystem "df" lists; 0 when none.
double get_hard_drive_rate();

// The pieces behind the three functions above, open to tests and shared with
// the CPU notification module.
//
// Scans the first line of a stat file: a name of at most 19 characters and
// seven counters (reduced modulo 2^32, as the kernel's own 32-bit counters
// wrap). False, and the record unchanged, when the line holds less.
bool ParseCpuInfoLine(const std::string& line, _cpu_info* info);
// One sample from the stat file at `path`; false (record unchanged) when the
// file cannot be read or its first line does not scan.
bool ReadCpuInfoFile(const std::string& path, _cpu_info* info);
// Disk usage from the text "df" prints: the header line, then filesystems of
// six columns each (line breaks count as blanks); reading stops at the first
// filesystem whose size columns are not numbers.
double ParseDiskUsage(const std::string& df_output);
// Runs `command` and takes the disk usage from its output; 0 when it cannot
// be started.
double ReadDiskUsage(const std::string& command);

class MonitorService : public BaseService, private IThreadService {
 public:
  // The device's stat file and df command; tests pass their own.
  explicit MonitorService(std::string stat_path = "/proc/stat", std::string df_command = "df");
  ~MonitorService() override;
  MonitorService(const MonitorService&) = delete;
  MonitorService& operator=(const MonitorService&) = delete;

  // Starts the sampling loop as "MonitorThread"; always 0.
  int StartService() override;
  // Ends the sampling loop at once (also in the middle of its sleep) and joins
  // the thread; always 0.
  int StopService() override;
  // The CPU figure of the last completed window, and a fresh disk figure; 0.
  int FetchCurrentDeviceState(float& cpu, float& disk);

  // The name the thread manager gave the latest monitor thread; "" when it
  // did not start.
  const std::string& ThreadName() const { return thread_name; }

 private:
  void StartThread() override;
  void RequestStopThread() override;
  void ClearRunning();

  const std::string stat_path;
  const std::string df_command;

  std::atomic<uint8_t> running{0};
  std::string thread_name;
  // Every monitor thread started and not yet stopped: a repeated
  // StartService runs one more, and each must be joined before the service
  // goes away.
  std::vector<std::string> started_threads;
  std::atomic<float> cpu_usage{0.0f};
  std::atomic<float> disk_usage{0.0f};

  // The sleep between two samples waits here, so a stop ends it at once.
  std::mutex wait_mutex;
  std::condition_variable wake;
};

}  // namespace zq_camera_service
