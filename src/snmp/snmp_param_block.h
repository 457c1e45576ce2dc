// The SNMP parameter block: thresholds, the heartbeat period and the device
// identity that the notification modules compare with and send.
#pragma once

#include <cstdint>

constexpr int kSnmpParamTextSize = 100;

struct SnmpParamBlock {
  int32_t heartbeat_interval;   // seconds; also the value the heartbeat carries
  int32_t cpu_ratio_threshold;  // whole percent; above it the CPU notification goes out
  int32_t mem_free_threshold;   // kB; below it the memory notification goes out
  int32_t reserved_value;
  int32_t ident_number;
  char company_name[kSnmpParamTextSize];  // NUL-terminated
  int32_t ident_code;
  int32_t ident_year;
  char mac_address[kSnmpParamTextSize];  // NUL-terminated
};

// Filled with the defaults at agent start and handed to setParam.
extern SnmpParamBlock addsnmpParams;
// The master record: written by setParam, read by getParam.
extern SnmpParamBlock snmp_Param;
// The notification modules' working copy, filled by getParam.
extern SnmpParamBlock snmpParams;

// Stores the defaults into addsnmpParams.
void initsnmpParams();
// Writes "setParam" to standard output and copies `source` into snmp_Param; 0.
int setParam(const SnmpParamBlock* source);
// Copies snmp_Param into `destination`; 0.
int getParam(SnmpParamBlock* destination);
// Writes "init" to standard output and stores the defaults into snmp_Param; 0.
int init_snmpParam();
// The decimal text's value (saturating; 0 for null).
int str2int(const char* text);
