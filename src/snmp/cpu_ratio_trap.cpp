#include "snmp/cpu_ratio_trap.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "snmp/device_notification.h"
#include "snmp/notification_sinks.h"
#include "snmp/snmp_param_block.h"

using zq_camera_service::_cpu_info;

_cpu_info info1{};
_cpu_info info2{};
int32_t cpu = 0;
unsigned int cpu_trap_alarm = 0;
int32_t cpuratiolen = 1;
const oid cpu_snmptrap_oid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const size_t cpu_snmptrap_oid_len = OID_LENGTH(cpu_snmptrap_oid);

namespace {

constexpr oid kCpuRatioNotification = 2;
std::string g_stat_path = "/proc/stat";

void SendNow() { send_cpuRatioNotification_trap(0, nullptr); }
void Repeat(unsigned int clientreg, void* clientarg) { send_cpuRatioNotification_trap(clientreg, clientarg); }

}  // namespace

void SetCpuRatioTrapStatPathForTest(const std::string& path) { g_stat_path = path; }

void init_cpuRatioTrap() {
  DEBUGMSGTL(("cpuTrap", "Initializing\n"));
  getParam(&snmpParams);
  snmp_alarm_register(1, SA_REPEAT, read_cpudata_repeat, nullptr);
}

void get_cpu_occupy(_cpu_info* info) { zq_camera_service::ReadCpuInfoFile(g_stat_path, info); }

double calc_cpu_rate(_cpu_info* earlier, _cpu_info* later) {
  return zq_camera_service::calc_cpu_rate(earlier, later);
}

void copy_struct(_cpu_info* destination, _cpu_info* source) {
  if (destination == nullptr || source == nullptr) return;
  memcpy(destination->name, source->name, sizeof destination->name);
  destination->name[sizeof destination->name - 1] = '\0';
  destination->user = source->user;
  destination->nice = source->nice;
  destination->system = source->system;
  destination->idle = source->idle;
  destination->iowait = source->iowait;
  destination->irq = source->irq;
  destination->softirq = source->softirq;
}

int32_t cpu_ratio_percent(double ratio) {
  if (std::isnan(ratio)) return 0;
  if (ratio >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  if (ratio <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(ratio);
}

void read_cpudata_repeat(unsigned int, void*) {
  ::get_cpu_occupy(&info2);
  cpu = cpu_ratio_percent(::calc_cpu_rate(&info1, &info2));
  copy_struct(&info1, &info2);
  judge_send_cputrap(cpu);
}

void judge_send_cputrap(int ratio) {
  update_repeated_notification(snmpParams.cpu_ratio_threshold < ratio, &cpu_trap_alarm, SendNow, Repeat);
}

int send_cpuRatioNotification_trap(unsigned int, void*) {
  netsnmp_variable_list* list = build_device_notification(cpu_snmptrap_oid, cpu_snmptrap_oid_len,
                                                          kCpuRatioNotification, cpuratiolen, cpu);
  if (list == nullptr) return 0;
  send_to_notification_sinks(list);
  snmp_free_varbind(list);
  return 0;
}
