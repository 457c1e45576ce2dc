#include "snmp/heartbeat_trap.h"

#include "snmp/device_notification.h"
#include "snmp/notification_sinks.h"
#include "snmp/snmp_param_block.h"

long count = 0;
int32_t heartbeatlen = 1;
const oid heart_snmptrap_oid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const size_t heart_snmptrap_oid_len = OID_LENGTH(heart_snmptrap_oid);

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
      build_device_notification(heart_snmptrap_oid, heart_snmptrap_oid_len, kHeartbeatNotification,
                                heartbeatlen, snmpParams.heartbeat_interval);
  ++count;
  DEBUGMSGTL(("example_notification", "sending trap %ld\n", count));
  if (list != nullptr) send_to_notification_sinks(list);
  DEBUGMSGTL(("example_notification", "cleaning up\n"));
  snmp_free_varbind(list);
  return 0;
}
