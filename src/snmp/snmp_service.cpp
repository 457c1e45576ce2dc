#include "snmp/snmp_service.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/mib_modules.h>

#include <pthread.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "base/log.h"
#include "snmp/cpu_ratio_trap.h"
#include "snmp/heartbeat_trap.h"
#include "snmp/memory_free_trap.h"
#include "snmp/notification_sinks.h"
#include "snmp/snmp_param_block.h"

// The library's run flag of its agent loop; exported but not declared by its
// headers.
extern "C" int netsnmp_running;

namespace zq_camera_service {

const char* app_name = "Test";

namespace {

// The device's own agent configuration, read after the library's files. A
// fixed path: it does not follow the install root.
const char* const kOptionalConfig = "/mnt/flash/smart/zarnu_service/current/config/snmpd.conf";

bool g_fail_thread_start_for_test = false;

// The process ends here with the other threads (the network log poster among
// them) still running, so no static destructor may run under them.
[[noreturn]] void EndProcess(int status) {
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

// A distribution's library initialises, in init_mib_modules, every module it
// was built with: a SMUX listener on TCP port 199 of every interface, the
// host-resources and UCD tables, and more. The agent keeps to the modules the
// device's agent is built with (the statistics modules under both of the
// names they have had).
void KeepDeviceModules() {
  char modules[] =
      "snmp_mib,system_mib,sysORTable,vacm_vars,snmpMPDStats_5_5,snmpMPDStats,usmStats_5_5,usmStats,"
      "snmpEngine,usmUser,vacm_context";
  add_to_init_list(modules);
}

// The library's debug output, when on, stays off for the tokens that begin
// with "trap": their trace of a notification reads the sink's session, and a
// session the library freed on its own (a TCP receiver that closed its end)
// ended the process there when it was still listed as a sink. The library
// can only exclude a token on top of a list of enabled ones (an exclusion on
// its own switches everything off, and "all" overrides exclusions), so the
// enabled list is every first character a token can have, narrowed along
// "t", "tr", "tra" so that "trap" alone stays out: 183 of the library's 256
// token slots.
void KeepDebugOutputButTrap() {
  static const char kFirst[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_:.";
  static const char kNext[] = "abcdefghijklmnopqrstuvwxyz0123456789_:-.";
  static const char kExcluded[] = "trap";
  std::string tokens;
  for (size_t depth = 0; depth + 1 < sizeof kExcluded; ++depth) {
    for (const char* c = depth == 0 ? kFirst : kNext; *c != '\0'; ++c) {
      if (*c == kExcluded[depth]) continue;
      tokens += std::string(kExcluded, depth) + *c + ",";
    }
  }
  tokens += std::string("-") + kExcluded;
  debug_register_tokens(tokens.c_str());
}

// The library's debug output traces and dumps every packet: megabytes on
// standard error for one bulk request, and the agent thread busy writing them
// instead of answering. It is on only when the service logs at DEBUG. Below
// INFO the library does not log every request's source address either.
void FollowLogThreshold() {
  if (zq_log_enabled(4)) {
    snmp_set_do_debugging(1);
    KeepDebugOutputButTrap();
  } else {
    snmp_set_do_debugging(0);
  }
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS,
                         zq_log_enabled(3) ? 0 : 1);
}

void* StaticAgentTask(void*) {
  netsnmp_agent_task();
  return nullptr;
}

}  // namespace

void SnmpService::SetFailThreadStartForTest(bool fail) { g_fail_thread_start_for_test = fail; }

int SnmpService::netsnmp_agent_init() {
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT, -1);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, -1);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_CACHE_TIMEOUT, 5);
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE, app_name);
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, kOptionalConfig);
  FollowLogThreshold();

  // The modules take their copy of the parameter block while they are
  // initialised, so it is filled first.
  initsnmpParams();
  setParam(&addsnmpParams);

  if (init_agent(app_name) != 0) {
    snmp_log(LOG_ERR, "Agent initialization failed\n");
    EndProcess(1);
  }
  KeepDeviceModules();
  init_mib_modules();
  // The distribution's library does not know the device's notification
  // modules; they join after its own and before the configuration is read.
  init_cpuRatioTrap();
  init_memoryFreeTrap();
  init_heartbeatTrap();
  watch_notification_sinks();
  init_snmp(app_name);
  snmp_log(LOG_INFO, "NET_SNMP version %s\n", netsnmp_get_version());

  netsnmp_addrcache_initialise();
  if (init_master_agent() != 0) {
    snmp_log(LOG_ERR, "Server Exiting with code 1\n");
    EndProcess(1);
  }

  // From here on every call into the library happens on the agent thread.
  pthread_t thread;
  if (g_fail_thread_start_for_test || pthread_create(&thread, nullptr, StaticAgentTask, nullptr) != 0) {
    fprintf(stderr, "netsnmp agent init error\n");
    return -1;
  }
  // Nothing ever joins the agent thread: it serves until the process ends.
  pthread_detach(thread);
  return 0;
}

void SnmpService::version() {
  printf("NET-SNMP version : %s\n", netsnmp_get_version());
  EndProcess(0);
}

int netsnmp_agent_task() {
  netsnmp_running = 1;
  printf("NET-SNMP test\n");
  while (netsnmp_running != 0) {
    zq_print("check and process snmptrap\n");
    agent_check_and_process(1);
  }
  snmp_shutdown(app_name);
  shutdown_master_agent();
  shutdown_agent();
  return 0;
}

}  // namespace zq_camera_service
