// Notification module heartbeatTrap: sends heartbeatNotification every
// heartbeat_interval seconds, always. Runs on the agent thread.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/types.h>

#include <cstddef>
#include <cstdint>

extern long count;             // heartbeats sent so far
extern int32_t heartbeatlen;   // the second varbind's value
// snmpTrapOID.0, the name of the notification's first varbind (11 sub-identifiers).
extern const oid heart_snmptrap_oid[];
extern const size_t heart_snmptrap_oid_len;

// Takes the parameter block and registers the heartbeat alarm.
void init_heartbeatTrap();
// Sends heartbeatNotification; 0.
int send_heartbeatNotification_trap(unsigned int clientreg, void* clientarg);
