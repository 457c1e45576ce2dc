#include "support/snmp_tools.h"

#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/ports.h"

namespace zq_test {

namespace {

using namespace std::chrono_literals;

constexpr const char* kSysUpTime = ".1.3.6.1.2.1.1.3.0";
constexpr const char* kSnmpTrapOid = ".1.3.6.1.6.3.1.1.4.1.0";

// "name = TYPE: value"; a value-less "name = \"\"" has the type "".
bool ParseVarbind(const std::string& text, SnmpVarbind* varbind) {
  size_t equals = text.find(" = ");
  if (equals == std::string::npos || text.empty() || text[0] != '.') return false;
  varbind->name = text.substr(0, equals);
  std::string rest = text.substr(equals + 3);
  size_t colon = rest.find(": ");
  if (colon == std::string::npos) {
    varbind->type = "";
    varbind->value = rest;
  } else {
    varbind->type = rest.substr(0, colon);
    varbind->value = rest.substr(colon + 2);
  }
  return true;
}

}  // namespace

std::string SnmpNotification::TrapOid() const {
  for (const SnmpVarbind& varbind : varbinds) {
    if (varbind.name == kSnmpTrapOid) return varbind.value;
  }
  return "";
}

std::vector<SnmpVarbind> DeviceNotificationVarbinds(int number, const std::string& figure) {
  std::string n = std::to_string(number);
  return {
      {kSnmpTrapOid, "OID", ".1.0.0." + n + ".0.1"},
      {".1.0.0.1.1.0", "INTEGER", "1"},
      {".1.0.0." + n + ".1.1.0", "INTEGER", figure},
      {".1.0.0.1.2.0", "INTEGER", "1"},
      {".1.0.0.1.3.0", "STRING", "\"zorblat\""},
      {".1.0.0.1.4.0", "INTEGER", "12345"},
      {".1.0.0.1.5.0", "INTEGER", "2018"},
      {".1.0.0.1.6.0", "STRING", "\"mac_test\""},
  };
}

std::string DescribeVarbinds(const std::vector<SnmpVarbind>& varbinds) {
  std::string text;
  for (const SnmpVarbind& varbind : varbinds) text += varbind.name + " = " + varbind.type + ": " + varbind.value + "\n";
  return text;
}

bool ParseNotificationLine(const std::string& line, SnmpNotification* notification) {
  // snmptrapd prints the varbinds of one notification on one line, separated
  // by tabs, sysUpTime.0 first.
  if (line.rfind(std::string(kSysUpTime) + " = Timeticks: (", 0) != 0) return false;
  SnmpNotification parsed;
  std::istringstream fields(line);
  std::string field;
  while (std::getline(fields, field, '\t')) {
    SnmpVarbind varbind;
    if (!ParseVarbind(field, &varbind)) return false;
    if (varbind.name == kSysUpTime) {
      parsed.uptime = std::stol(varbind.value.substr(1));  // "(123) 0:00:01.23"
    } else {
      parsed.varbinds.push_back(varbind);
    }
  }
  *notification = parsed;
  return true;
}

Env SnmpToolEnvironment(const std::string& dir) {
  return Env{{"SNMPCONFPATH", dir + "/conf"},
             {"SNMP_PERSISTENT_DIR", dir + "/persist"},
             {"HOME", dir},
             {"MIBS", ""}};
}

TrapReceiver::TrapReceiver(bool tcp, uint16_t port) : dir_("zqtrapd") {
  WriteFile(dir_ / "conf/snmptrapd.conf", "disableAuthorization yes\n");
  // A port that was free a moment ago may be taken by the time snmptrapd
  // binds it; a few tries make that harmless.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = port != 0 ? port : (tcp ? FreeTcpPort() : FreeUdpPort());
    process_ = std::make_unique<ChildProcess>(
        SnmpToolEnvironment(dir_.path()), "/usr/sbin/snmptrapd",
        std::vector<std::string>{"-f", "-Lo", "-On", "-m", "", "-C", "-c", dir_ / "conf/snmptrapd.conf",
                                 std::string(tcp ? "tcp:" : "") + "127.0.0.1:" + std::to_string(port_)});
    if (process_->WaitForStdout("NET-SNMP version", 10s) && process_->Running()) return;
  }
  throw std::runtime_error("snmptrapd did not start: " + process_->Stdout() + process_->Stderr());
}

std::vector<SnmpNotification> TrapReceiver::Notifications() const {
  std::vector<SnmpNotification> notifications;
  std::istringstream lines(process_->Stdout());
  std::string line;
  while (std::getline(lines, line)) {
    SnmpNotification notification;
    if (ParseNotificationLine(line, &notification)) notifications.push_back(notification);
  }
  return notifications;
}

std::vector<SnmpNotification> TrapReceiver::Notifications(const std::string& trap_oid) const {
  std::vector<SnmpNotification> matching;
  for (const SnmpNotification& notification : Notifications()) {
    if (notification.TrapOid() == trap_oid) matching.push_back(notification);
  }
  return matching;
}

bool TrapReceiver::WaitFor(const std::string& trap_oid, size_t count, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Notifications(trap_oid).size() >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

std::vector<SnmpVarbind> SnmpGet(uint16_t port, const std::vector<std::string>& oids) {
  TempDir dir("zqsnmpget");
  std::vector<std::string> args{"-v2c", "-c", "public", "-On", "-m", "", "-t", "1", "-r", "1",
                                "127.0.0.1:" + std::to_string(port)};
  args.insert(args.end(), oids.begin(), oids.end());
  ChildProcess get(SnmpToolEnvironment(dir.path()), "/usr/bin/snmpget", args);
  if (!get.WaitForExit(30s)) return {};
  std::vector<SnmpVarbind> varbinds;
  std::istringstream lines(get.Stdout());
  std::string line;
  while (std::getline(lines, line)) {
    SnmpVarbind varbind;
    if (ParseVarbind(line, &varbind)) varbinds.push_back(varbind);
  }
  return varbinds;
}

}  // namespace zq_test
