// What the three device notifications share: their eight varbinds, and the
// start and stop of a notification repeated while its condition holds.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstdint>

// The eight varbinds of notification `number` (2 CPU ratio, 3 free memory,
// 4 heartbeat): `trap_oid` (the module's snmpTrapOID.0) = 1.0.0.number.0.1, `second_value`, `figure`
// under 1.0.0.number.1.1.0, then the device identity of snmpParams. Null when
// the library could not build the list.
netsnmp_variable_list* build_device_notification(const oid* trap_oid, size_t trap_oid_len, oid number,
                                                 int32_t second_value, int32_t figure);

// While `condition` holds, a notification goes out at once and then every
// 5 seconds from the alarm `*repeat_alarm` registers; when it fails, the
// repeat ends. `send_now` sends one notification, `repeat` is the alarm body.
void update_repeated_notification(bool condition, unsigned int* repeat_alarm, void (*send_now)(),
                                  SNMPAlarmCallback* repeat);
