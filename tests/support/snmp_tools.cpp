#include "support/snmp_tools.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/unique_fd.h"
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

bool TrapReceiver::WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Output().find(needle) != std::string::npos) return true;
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

namespace zq_test {

namespace {

std::string Tlv(uint8_t tag, const std::string& content) {
  std::string tlv(1, static_cast<char>(tag));
  size_t length = content.size();
  if (length < 0x80) {
    tlv += static_cast<char>(length);
  } else if (length <= 0xff) {
    tlv += '\x81';
    tlv += static_cast<char>(length);
  } else {
    tlv += '\x82';
    tlv += static_cast<char>(length >> 8);
    tlv += static_cast<char>(length & 0xff);
  }
  return tlv + content;
}

std::string Integer(int32_t value) {
  std::string bytes;
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((static_cast<uint32_t>(value) >> shift) & 0xff);
  // Minimal two's complement: drop leading bytes that only repeat the sign.
  while (bytes.size() > 1 && ((bytes[0] == 0 && (bytes[1] & 0x80) == 0) ||
                              (bytes[0] == '\xff' && (bytes[1] & 0x80) != 0))) {
    bytes.erase(0, 1);
  }
  return Tlv(0x02, bytes);
}

// An OID of small sub-identifiers (each below 128), first two combined.
std::string Oid(const std::vector<int>& arcs) {
  std::string bytes(1, static_cast<char>(arcs[0] * 40 + arcs[1]));
  for (size_t i = 2; i < arcs.size(); ++i) bytes += static_cast<char>(arcs[i]);
  return Tlv(0x06, bytes);
}

std::string Varbind(const std::vector<int>& arcs, const std::string& value) {
  return Tlv(0x30, Oid(arcs) + value);
}

const std::string kNull = std::string("\x05\x00", 2);

// Reads one TLV at `*at`; false when the bytes end inside it.
bool ReadTlv(const std::string& bytes, size_t* at, uint8_t* tag, std::string* content) {
  if (*at + 2 > bytes.size()) return false;
  *tag = static_cast<uint8_t>(bytes[*at]);
  size_t length = static_cast<uint8_t>(bytes[*at + 1]);
  size_t header = 2;
  if (length & 0x80) {
    size_t octets = length & 0x7f;
    if (octets == 0 || octets > 3 || *at + 2 + octets > bytes.size()) return false;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | static_cast<uint8_t>(bytes[*at + 2 + i]);
    header += octets;
  }
  if (*at + header + length > bytes.size()) return false;
  *content = bytes.substr(*at + header, length);
  *at += header + length;
  return true;
}

}  // namespace

std::string SnmpRequestMessage(SnmpRequestKind kind, int32_t request_id) {
  std::string varbinds;
  std::string fields;
  uint8_t pdu_tag = 0xa0;  // GetRequest
  switch (kind) {
    case SnmpRequestKind::kBulk:
      pdu_tag = 0xa5;
      varbinds = Varbind({1, 3, 6, 1}, kNull);
      fields = Integer(request_id) + Integer(0) + Integer(127);
      break;
    case SnmpRequestKind::kGet200Varbinds:
      for (int i = 0; i < 200; ++i) varbinds += Varbind({1, 3, 6, 1, 2, 1, 1, 1 + i % 7, 0}, kNull);
      fields = Integer(request_id) + Integer(0) + Integer(0);
      break;
    case SnmpRequestKind::kLargeDatagram:
      varbinds = Varbind({1, 3, 6, 1, 2, 1, 1, 3, 0}, Tlv(0x04, std::string(56000, 'x')));
      fields = Integer(request_id) + Integer(0) + Integer(0);
      break;
  }
  std::string pdu = Tlv(pdu_tag, fields + Tlv(0x30, varbinds));
  return Tlv(0x30, Integer(1) + Tlv(0x04, "public") + pdu);
}

bool SnmpResponseRequestId(const std::string& message, int32_t* request_id) {
  size_t at = 0;
  uint8_t tag = 0;
  std::string sequence;
  if (!ReadTlv(message, &at, &tag, &sequence) || tag != 0x30) return false;
  at = 0;
  std::string field;
  if (!ReadTlv(sequence, &at, &tag, &field) || tag != 0x02) return false;  // version
  if (!ReadTlv(sequence, &at, &tag, &field) || tag != 0x04) return false;  // community
  std::string pdu;
  if (!ReadTlv(sequence, &at, &tag, &pdu) || tag != 0xa2) return false;  // Response
  at = 0;
  if (!ReadTlv(pdu, &at, &tag, &field) || tag != 0x02 || field.empty() || field.size() > 4) return false;
  uint32_t value = (field[0] & 0x80) ? 0xffffffffu : 0;
  for (char byte : field) value = (value << 8) | static_cast<uint8_t>(byte);
  *request_id = static_cast<int32_t>(value);
  return true;
}

SnmpFloodFigures FloodSnmpRequests(uint16_t port, SnmpRequestKind kind, int per_second,
                                   std::chrono::milliseconds duration) {
  SnmpFloodFigures figures;
  zq_camera_service::UniqueFd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket_fd.valid() || per_second <= 0) return figures;
  // Room for the answers that queue up while this thread sends.
  int buffer = 4 * 1024 * 1024;
  setsockopt(socket_fd.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  agent.sin_port = htons(port);
  if (connect(socket_fd.get(), reinterpret_cast<sockaddr*>(&agent), sizeof agent) != 0) return figures;

  const size_t total = static_cast<size_t>(per_second) * static_cast<size_t>(duration.count()) / 1000;
  const auto period = std::chrono::microseconds(1000000 / per_second);
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + period * static_cast<long>(total) + 1s;
  std::vector<bool> answered(total + 1, false);
  std::string message;
  std::vector<char> reply(65536);
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    while (figures.sent < total && start + period * static_cast<long>(figures.sent) <= now) {
      ++figures.sent;
      message = SnmpRequestMessage(kind, static_cast<int32_t>(figures.sent));
      // A full socket buffer drops the request, as the network would.
      (void)send(socket_fd.get(), message.data(), message.size(), 0);
    }
    if (now >= end) break;
    auto next = figures.sent < total ? start + period * static_cast<long>(figures.sent) : end;
    int wait_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count());
    pollfd readable{socket_fd.get(), POLLIN, 0};
    if (poll(&readable, 1, std::max(wait_ms, 0)) <= 0) continue;
    for (;;) {
      ssize_t n = recv(socket_fd.get(), reply.data(), reply.size(), 0);
      if (n <= 0) break;
      int32_t id = 0;
      if (SnmpResponseRequestId(std::string(reply.data(), static_cast<size_t>(n)), &id) && id > 0 &&
          static_cast<size_t>(id) <= total && !answered[static_cast<size_t>(id)]) {
        answered[static_cast<size_t>(id)] = true;
        ++figures.answered;
      }
    }
  }
  return figures;
}

SilentTcpPort::SilentTcpPort(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  auto* name = reinterpret_cast<sockaddr*>(&address);
  int reuse = 1;
  listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  // A backlog of 0 holds one connection; the filler takes it.
  if (bind(listener_.get(), name, sizeof address) != 0 || listen(listener_.get(), 0) != 0) return;
  filler_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(filler_.get(), name, sizeof address) != 0) return;
  zq_camera_service::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (connect(probe.get(), name, sizeof address) == 0 || errno != EINPROGRESS) return;
  pollfd writable{probe.get(), POLLOUT, 0};
  silent_ = poll(&writable, 1, 1000) == 0;
}

}  // namespace zq_test
