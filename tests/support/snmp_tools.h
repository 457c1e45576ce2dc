// The real net-snmp tools as the SNMP manager and notification receiver of
// tests, on loopback, with their files confined to temporary directories.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "support/child_process.h"
#include "support/files.h"

namespace zq_test {

// One varbind as the tools print it with numeric names (-On):
// ".1.0.0.1.3.0 = STRING: "zorblat"" is {".1.0.0.1.3.0", "STRING", "\"zorblat\""}.
struct SnmpVarbind {
  std::string name;
  std::string type;
  std::string value;
};

inline bool operator==(const SnmpVarbind& a, const SnmpVarbind& b) {
  return a.name == b.name && a.type == b.type && a.value == b.value;
}

// One notification: the sender's sysUpTime.0 in hundredths of a second and
// the varbinds after it (snmpTrapOID.0 first).
struct SnmpNotification {
  long uptime = -1;
  std::vector<SnmpVarbind> varbinds;
  // The value of snmpTrapOID.0, "" when absent.
  std::string TrapOid() const;
};

// The eight varbinds after sysUpTime.0 of device notification `number` (2 CPU
// ratio, 3 free memory, 4 heartbeat) carrying `figure`, with the default
// device identity, as the receiver prints them.
std::vector<SnmpVarbind> DeviceNotificationVarbinds(int number, const std::string& figure);

// Varbinds one per line, for comparisons whose failure shows them all.
std::string DescribeVarbinds(const std::vector<SnmpVarbind>& varbinds);

// The notification a receiver line holds, if it holds one.
bool ParseNotificationLine(const std::string& line, SnmpNotification* notification);

// The environment the tools run with: no MIB files, no files outside `dir`.
Env SnmpToolEnvironment(const std::string& dir);

// snmptrapd on a free port of 127.0.0.1 (UDP, or TCP with `tcp`; or on
// `port` when given, to stand in for a receiver that went away), accepting
// SNMPv2c notifications of any community.
class TrapReceiver {
 public:
  explicit TrapReceiver(bool tcp = false, uint16_t port = 0);
  TrapReceiver(const TrapReceiver&) = delete;
  TrapReceiver& operator=(const TrapReceiver&) = delete;

  uint16_t port() const { return port_; }
  // What the receiver printed so far (SNMPv1 traps included, in their own form).
  std::string Output() const { return process_->Stdout(); }
  // Everything received so far, in order of arrival.
  std::vector<SnmpNotification> Notifications() const;
  // Those whose snmpTrapOID.0 is `trap_oid`.
  std::vector<SnmpNotification> Notifications(const std::string& trap_oid) const;
  // Waits until the output holds `needle`.
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout) const;
  // Waits until at least `count` notifications of `trap_oid` arrived.
  bool WaitFor(const std::string& trap_oid, size_t count, std::chrono::milliseconds timeout) const;

 private:
  TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// snmpget (SNMPv2c, community "public") of `oids` from the agent on
// 127.0.0.1:`port`: the varbinds of its answer, none when there was no answer.
std::vector<SnmpVarbind> SnmpGet(uint16_t port, const std::vector<std::string>& oids);

// The requests of a flood: cheap to send, and each one answered by the agent.
enum class SnmpRequestKind {
  kBulk,             // getbulk from .1.3.6.1, max-repetitions 127
  kGet200Varbinds,   // get of 200 system-group names
  kLargeDatagram,    // get of sysUpTime.0 carrying a 56 000-byte value
};

// SNMPv2c request message of `kind` (community "public") with `request_id`.
std::string SnmpRequestMessage(SnmpRequestKind kind, int32_t request_id);
// The request id of an SNMP response message; false when it is none.
bool SnmpResponseRequestId(const std::string& message, int32_t* request_id);

struct SnmpFloodFigures {
  size_t sent = 0;
  size_t answered = 0;  // distinct requests answered, up to a second after the last was sent
};

// Sends `per_second` requests of `kind` to the agent on 127.0.0.1:`port`,
// evenly spaced, for `duration`, from one UDP socket, and counts answers.
SnmpFloodFigures FloodSnmpRequests(uint16_t port, SnmpRequestKind kind, int per_second,
                                   std::chrono::milliseconds duration);

// A TCP port on 127.0.0.1 whose listener never accepts and whose queue of
// connections is full: the SYN of every further connection goes unanswered,
// as when a receiver's host is silent. Closing it frees the port.
class SilentTcpPort {
 public:
  explicit SilentTcpPort(uint16_t port);
  // Whether a connection attempt went unanswered for a second.
  bool silent() const { return silent_; }

 private:
  zq_camera_service::UniqueFd listener_;
  zq_camera_service::UniqueFd filler_;
  bool silent_ = false;
};

}  // namespace zq_test
