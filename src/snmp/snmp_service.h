// The process's own SNMP agent: configured and started once at start-up, then
// served on its own thread for the life of the process.
#pragma once

namespace zq_camera_service {

// The application type: the agent reads "Test.conf" (and "Test.local.conf")
// from the library's configuration path.
extern const char* app_name;

class SnmpService {
 public:
  SnmpService() = delete;

  // Configures the agent library, brings the agent up as master agent of
  // "Test" and starts the agent thread: 0, or -1 when the thread cannot be
  // started (reported on standard error). Ends the process with exit status 1
  // when the library cannot be initialised or its transports cannot be opened.
  static int netsnmp_agent_init();
  // Writes the library's version to standard output and ends the process
  // with exit status 0.
  [[noreturn]] static void version();

  // Test seam: the agent thread fails to start when set.
  static void SetFailThreadStartForTest(bool fail);
};

// The agent thread's body: serves requests and runs the library's alarms
// (the notification modules' polls and repeats) while the library runs; 0.
int netsnmp_agent_task();

}  // namespace zq_camera_service
