// Loopback ports for tests, and the lock that serialises tests using the
// fixed ports of the system (the camera peer's 9658, ...) across test
// processes and across checkouts building on one machine.
#pragma once

#include <cstdint>

namespace zq_test {

// A port that was free on 127.0.0.1 a moment ago.
uint16_t FreeTcpPort();
uint16_t FreeUdpPort();

// Holds an exclusive flock on a file in /tmp while alive; nested holders in
// one process share the lock.
class FixedPortsLock {
 public:
  FixedPortsLock();
  ~FixedPortsLock();
  FixedPortsLock(const FixedPortsLock&) = delete;
  FixedPortsLock& operator=(const FixedPortsLock&) = delete;
};

}  // namespace zq_test
