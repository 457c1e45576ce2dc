// Notification module cpuRatioTrap: polls the CPU ratio every second and
// sends cpuRatioNotification while it is above the threshold (at once, then
// every 5 seconds). Runs on the agent thread.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "service/monitor_service.h"

extern zq_camera_service::_cpu_info info1;  // the earlier sample; zero until the first poll
extern zq_camera_service::_cpu_info info2;  // the latest sample
extern int32_t cpu;                         // the latest ratio in whole percent
extern unsigned int cpu_trap_alarm;         // id of the 5-second repeat; 0 = none
extern int32_t cpuratiolen;                 // the second varbind's value
// snmpTrapOID.0, the name of the notification's first varbind (11 sub-identifiers).
extern const oid cpu_snmptrap_oid[];
extern const size_t cpu_snmptrap_oid_len;

// Takes the parameter block and registers the 1-second poll.
void init_cpuRatioTrap();
// One poll: sample, ratio against the previous sample, start or stop.
void read_cpudata_repeat(unsigned int clientreg, void* clientarg);
// One sample of the first line of the stat file.
void get_cpu_occupy(zq_camera_service::_cpu_info* info);
double calc_cpu_rate(zq_camera_service::_cpu_info* earlier, zq_camera_service::_cpu_info* later);
// Copies the name and the seven counters of `source`.
void copy_struct(zq_camera_service::_cpu_info* destination, zq_camera_service::_cpu_info* source);
void judge_send_cputrap(int ratio);
// Sends cpuRatioNotification; 0.
int send_cpuRatioNotification_trap(unsigned int clientreg, void* clientarg);

// The ratio in whole percent, truncated toward zero (and kept within int32).
int32_t cpu_ratio_percent(double ratio);

// Test seam: the stat file the poll reads ("/proc/stat" unless set); set it
// before the agent starts.
void SetCpuRatioTrapStatPathForTest(const std::string& path);
