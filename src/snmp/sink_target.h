// Where a notification sink line of the agent's configuration sends to, as
// far as reopening the sink needs to know: "trapsink", "trap2sink" and
// "informsink" take options, then HOST [COMMUNITY [PORT]]; "trapsess" takes
// the options of a command-line tool and ends with HOST. A HOST may start with
// a transport domain ("tcp:host:port").
#pragma once

#include <sys/socket.h>

#include <string>

struct SinkTarget {
  // HOST as the line writes it: what log lines name (never the community).
  std::string host;
  // Reached over TCP: opening the sink connects, which can block.
  bool stream = false;
  // HOST without its domain, and the port when HOST names none.
  std::string address;
  std::string default_port = "162";
  bool ipv6 = false;
};

// The target of `line`, the text after the configuration token `token`.
SinkTarget ParseSinkTarget(const std::string& token, const std::string& line);

// The socket address of `target` (name resolution included); false when it
// has none.
bool ResolveSinkTarget(const SinkTarget& target, sockaddr_storage* address, socklen_t* length);
