#include "snmp/memory_free_trap.h"

#include <cctype>

#include "base/file_line.h"
#include "snmp/device_notification.h"
#include "snmp/notification_sinks.h"
#include "snmp/snmp_param_block.h"

uint32_t mem = 0;
unsigned int mem_trap_alarm = 0;
int32_t memoryfreelen = 1;
const oid memory_snmptrap_oid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const size_t memory_snmptrap_oid_len = OID_LENGTH(memory_snmptrap_oid);

namespace {

constexpr oid kMemoryFreeNotification = 3;
// The kernel's free-memory figure is the second line of meminfo.
constexpr int kMemFreeLine = 1;
constexpr size_t kMaxLineLength = 255;
constexpr size_t kMaxWordLength = 63;
std::string g_meminfo_path = "/proc/meminfo";

void SendNow() { send_memoryFreeNotification_trap(0, nullptr); }
void Repeat(unsigned int clientreg, void* clientarg) { send_memoryFreeNotification_trap(clientreg, clientarg); }

bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

void SetMemoryFreeTrapMeminfoPathForTest(const std::string& path) { g_meminfo_path = path; }

bool ParseMeminfoLine(const std::string& line, uint32_t* figure) {
  size_t at = 0;
  while (at < line.size() && IsBlank(line[at])) ++at;
  size_t word_start = at;
  while (at < line.size() && !IsBlank(line[at])) ++at;
  if (at == word_start || at - word_start > kMaxWordLength) return false;
  while (at < line.size() && IsBlank(line[at])) ++at;
  if (at == line.size() || line[at] < '0' || line[at] > '9') return false;
  uint64_t value = 0;
  for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
    value = value * 10 + static_cast<uint64_t>(line[at] - '0');
    if (value > UINT32_MAX) value = UINT32_MAX;
  }
  *figure = static_cast<uint32_t>(value);
  return true;
}

void init_memoryFreeTrap() {
  DEBUGMSGTL(("memoryTrap", "Initializing\n"));
  getParam(&snmpParams);
  snmp_alarm_register(1, SA_REPEAT, read_memorydata_repeat, nullptr);
}

void get_memory_info() {
  std::string line;
  if (!zq_camera_service::ReadFileLine(g_meminfo_path, kMemFreeLine, kMaxLineLength, &line)) return;
  uint32_t figure = 0;
  if (ParseMeminfoLine(line, &figure)) mem = figure;
}

void read_memorydata_repeat(unsigned int, void*) {
  get_memory_info();
  judge_send_memorytrap(mem);
}

void judge_send_memorytrap(unsigned figure) {
  update_repeated_notification(figure < static_cast<uint32_t>(snmpParams.mem_free_threshold), &mem_trap_alarm,
                               SendNow, Repeat);
}

int send_memoryFreeNotification_trap(unsigned int, void*) {
  // INTEGER varbinds are 32-bit: the figure goes out as its 32 bits.
  netsnmp_variable_list* list =
      build_device_notification(memory_snmptrap_oid, memory_snmptrap_oid_len, kMemoryFreeNotification, memoryfreelen, static_cast<int32_t>(mem));
  if (list == nullptr) return 0;
  send_to_notification_sinks(list);
  snmp_free_varbind(list);
  return 0;
}
