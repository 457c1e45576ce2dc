#include "snmp/device_notification.h"

#include <cstring>

#include "snmp/snmp_param_block.h"

namespace {

constexpr unsigned int kRepeatSeconds = 5;

// INTEGER varbinds carry 32-bit values, whatever the width of long.
bool AddInteger(netsnmp_variable_list** list, const oid* name, size_t name_length, int32_t value) {
  return snmp_varlist_add_variable(list, name, name_length, ASN_INTEGER, reinterpret_cast<const u_char*>(&value),
                                   sizeof value) != nullptr;
}

// The text's own characters, never the rest of its array.
bool AddText(netsnmp_variable_list** list, const oid* name, size_t name_length, const char* text,
             size_t capacity) {
  return snmp_varlist_add_variable(list, name, name_length, ASN_OCTET_STR, reinterpret_cast<const u_char*>(text),
                                   strnlen(text, capacity - 1)) != nullptr;
}

}  // namespace

netsnmp_variable_list* build_device_notification(const oid* trap_oid, size_t trap_oid_len, oid number,
                                                 int32_t second_value, int32_t figure) {
  const oid notification_oid[] = {1, 0, 0, number, 0, 1};
  const oid second_oid[] = {1, 0, 0, 1, 1, 0};
  const oid figure_oid[] = {1, 0, 0, number, 1, 1, 0};
  const oid ident_number_oid[] = {1, 0, 0, 1, 2, 0};
  const oid company_oid[] = {1, 0, 0, 1, 3, 0};
  const oid ident_code_oid[] = {1, 0, 0, 1, 4, 0};
  const oid ident_year_oid[] = {1, 0, 0, 1, 5, 0};
  const oid mac_oid[] = {1, 0, 0, 1, 6, 0};

  netsnmp_variable_list* list = nullptr;
  bool built =
      snmp_varlist_add_variable(&list, trap_oid, trap_oid_len, ASN_OBJECT_ID,
                                reinterpret_cast<const u_char*>(notification_oid), sizeof notification_oid) != nullptr &&
      AddInteger(&list, second_oid, OID_LENGTH(second_oid), second_value) &&
      AddInteger(&list, figure_oid, OID_LENGTH(figure_oid), figure) &&
      AddInteger(&list, ident_number_oid, OID_LENGTH(ident_number_oid), snmpParams.ident_number) &&
      AddText(&list, company_oid, OID_LENGTH(company_oid), snmpParams.company_name, sizeof snmpParams.company_name) &&
      AddInteger(&list, ident_code_oid, OID_LENGTH(ident_code_oid), snmpParams.ident_code) &&
      AddInteger(&list, ident_year_oid, OID_LENGTH(ident_year_oid), snmpParams.ident_year) &&
      AddText(&list, mac_oid, OID_LENGTH(mac_oid), snmpParams.mac_address, sizeof snmpParams.mac_address);
  if (!built) {
    snmp_free_varbind(list);
    return nullptr;
  }
  return list;
}

void update_repeated_notification(bool condition, unsigned int* repeat_alarm, void (*send_now)(),
                                  SNMPAlarmCallback* repeat) {
  if (condition) {
    if (*repeat_alarm != 0) return;
    send_now();
    // An id of 0 (not registered) leaves the notification idle: the next
    // poll that finds the condition sends again and tries again.
    *repeat_alarm = snmp_alarm_register(kRepeatSeconds, SA_REPEAT, repeat, nullptr);
  } else if (*repeat_alarm != 0) {
    snmp_alarm_unregister(*repeat_alarm);
    *repeat_alarm = 0;
  }
}
