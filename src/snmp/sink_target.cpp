#include "snmp/sink_target.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmpIPv4BaseDomain.h>
#include <net-snmp/library/snmpIPv6BaseDomain.h>

#include <netinet/in.h>
#include <strings.h>

#include <vector>

namespace {

struct Domain {
  const char* name;
  bool stream;
  bool ipv6;
};

// The library's names of the domains a notification can travel over.
const Domain kDomains[] = {
    {"udp", false, false},    {"udp6", false, true},   {"udpv6", false, true},    {"udpipv6", false, true},
    {"tcp", true, false},     {"tcp6", true, true},    {"tcpv6", true, true},     {"tcpipv6", true, true},
    {"tlstcp", true, false},  {"dtlsudp", false, false}, {"unix", false, false},
};

// Options of the sink lines that take a value.
const char* const kValueOptions[] = {"-profile", "-name", "-tag", "-s"};

// The words of `line`, quoting as the library's configuration reader does.
std::vector<std::string> Words(const std::string& line) {
  std::vector<char> text(line.begin(), line.end());
  text.push_back('\0');
  std::vector<char> word(text.size() + 1);
  std::vector<std::string> words;
  char* next = text.data();
  while (next != nullptr && *next != '\0') {
    word[0] = '\0';
    next = copy_nword(next, word.data(), static_cast<int>(word.size()));
    if (word[0] != '\0') words.emplace_back(word.data());
  }
  return words;
}

bool TakesValue(const std::string& option) {
  for (const char* name : kValueOptions) {
    if (option == name) return true;
  }
  return false;
}

}  // namespace

SinkTarget ParseSinkTarget(const std::string& token, const std::string& line) {
  SinkTarget target;
  std::vector<std::string> words = Words(line);
  if (token == "trapsess") {
    if (!words.empty()) target.host = words.back();
  } else {
    std::vector<std::string> positional;
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i][0] == '-') {
        if (TakesValue(words[i])) ++i;
        continue;
      }
      positional.push_back(words[i]);
    }
    if (!positional.empty()) target.host = positional[0];
    if (positional.size() > 2) target.default_port = positional[2];
  }

  target.address = target.host;
  size_t colon = target.host.find(':');
  if (colon != std::string::npos) {
    std::string prefix = target.host.substr(0, colon);
    for (const Domain& domain : kDomains) {
      if (strcasecmp(prefix.c_str(), domain.name) != 0) continue;
      target.stream = domain.stream;
      target.ipv6 = domain.ipv6;
      target.address = target.host.substr(colon + 1);
      break;
    }
  }
  if (!target.address.empty() && target.address[0] == '[') target.ipv6 = true;
  return target;
}

bool ResolveSinkTarget(const SinkTarget& target, sockaddr_storage* address, socklen_t* length) {
  if (target.address.empty()) return false;
  *address = {};
  if (target.ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(address);
    if (netsnmp_sockaddr_in6_2(in6, target.address.c_str(), target.default_port.c_str()) == 0) return false;
    in6->sin6_family = AF_INET6;
    *length = sizeof *in6;
    return true;
  }
  auto* in = reinterpret_cast<sockaddr_in*>(address);
  if (netsnmp_sockaddr_in2(in, target.address.c_str(), target.default_port.c_str()) == 0) return false;
  in->sin_family = AF_INET;
  *length = sizeof *in;
  return true;
}
