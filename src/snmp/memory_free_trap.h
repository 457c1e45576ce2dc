// Notification module memoryFreeTrap: polls the free memory every second and
// sends memoryFreeNotification while it is below the threshold (at once, then
// every 5 seconds). Runs on the agent thread.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern uint32_t mem;                 // the latest free-memory figure in kB
extern unsigned int mem_trap_alarm;  // id of the 5-second repeat; 0 = none
extern int32_t memoryfreelen;        // the second varbind's value
// snmpTrapOID.0, the name of the notification's first varbind (11 sub-identifiers).
extern const oid memory_snmptrap_oid[];
extern const size_t memory_snmptrap_oid_len;

// Takes the parameter block and registers the 1-second poll.
void init_memoryFreeTrap();
// One poll: read the figure, start or stop.
void read_memorydata_repeat(unsigned int clientreg, void* clientarg);
// Reads the free-memory figure (second line of the meminfo file) into `mem`;
// an unreadable file, or one without a second line, leaves it unchanged.
void get_memory_info();
void judge_send_memorytrap(unsigned figure);
// Sends memoryFreeNotification; 0.
int send_memoryFreeNotification_trap(unsigned int clientreg, void* clientarg);

// Scans a meminfo line: a word of at most 63 characters, then a decimal
// figure (saturating at 2^32 - 1). False when the line holds less.
bool ParseMeminfoLine(const std::string& line, uint32_t* figure);

// Test seam: the meminfo file the poll reads ("/proc/meminfo" unless set);
// set it before the agent starts.
void SetMemoryFreeTrapMeminfoPathForTest(const std::string& path);
