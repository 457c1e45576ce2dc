#include "snmp/heartbeat_trap.h"

#include "snmp/device_notification.h"
#include "snmp/snmp_param_block.h"

long count = 0;
int32_t heartbeatlen = 1;

namespace {

constexpr oid kHeartbeatNotification = 4;

void Heartbeat(unsigned int clientreg, void* clientarg) { send_heartbeatNotification_trap(clientreg, clientarg); }

}  // namespace

void init_heartbeatTrap() {
  DEBUGMSGTL(("example_notification", "initializing (setting callback alarm)\n"));
  getParam(&snmpParams);
  snmp_alarm_register(static_cast<unsigned int>(snmpParams.heartbeat_interval), SA_REPEAT, Heartbeat, nullptr);
}

int send_heartbeatNotification_trap(unsigned int, void*) {
  netsnmp_variable_list* list =
      build_device_notification(kHeartbeatNotification, heartbeatlen, snmpParams.heartbeat_interval);
  ++count;
  DEBUGMSGTL(("example_notification", "sending trap %ld\n", count));
  if (list != nullptr) send_v2trap(list);
  DEBUGMSGTL(("example_notification", "cleaning up\n"));
  snmp_free_varbind(list);
  return 0;
}
