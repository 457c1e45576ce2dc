#include "snmp/snmp_param_block.h"

#include <cstdio>
#include <cstring>

#include "base/utils.h"

SnmpParamBlock addsnmpParams{};
SnmpParamBlock snmp_Param{};
SnmpParamBlock snmpParams{};

namespace {

// Copies at most size - 1 characters and the NUL; a source without a NUL in
// its array is cut rather than read past its end.
void CopyText(char (&destination)[kSnmpParamTextSize], const char (&source)[kSnmpParamTextSize]) {
  size_t length = strnlen(source, kSnmpParamTextSize - 1);
  memmove(destination, source, length);
  destination[length] = '\0';
}

void CopyBlock(SnmpParamBlock* destination, const SnmpParamBlock* source) {
  destination->heartbeat_interval = source->heartbeat_interval;
  destination->cpu_ratio_threshold = source->cpu_ratio_threshold;
  destination->mem_free_threshold = source->mem_free_threshold;
  destination->reserved_value = source->reserved_value;
  destination->ident_number = source->ident_number;
  CopyText(destination->company_name, source->company_name);
  destination->ident_code = source->ident_code;
  destination->ident_year = source->ident_year;
  CopyText(destination->mac_address, source->mac_address);
}

void StoreDefaults(SnmpParamBlock* block) {
  block->heartbeat_interval = 20;
  block->cpu_ratio_threshold = 20;
  block->mem_free_threshold = 120000;
  block->reserved_value = 415;
  block->ident_number = 1;
  strcpy(block->company_name, "zorblat");
  block->ident_code = 12345;
  block->ident_year = 2018;
  strcpy(block->mac_address, "mac_test");
}

}  // namespace

void initsnmpParams() { StoreDefaults(&addsnmpParams); }

int setParam(const SnmpParamBlock* source) {
  printf("setParam\n");
  if (source != nullptr) CopyBlock(&snmp_Param, source);
  return 0;
}

int getParam(SnmpParamBlock* destination) {
  if (destination != nullptr) CopyBlock(destination, &snmp_Param);
  return 0;
}

int init_snmpParam() {
  printf("init\n");
  StoreDefaults(&snmp_Param);
  return 0;
}

int str2int(const char* text) { return text == nullptr ? 0 : zq_camera_service::Utils::Str2Int(text); }
