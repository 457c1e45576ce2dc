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
// one process share the lock. Takes nothing once FixedPortsAreOurs() ran.
class FixedPortsLock {
 public:
  FixedPortsLock();
  ~FixedPortsLock();
  FixedPortsLock(const FixedPortsLock&) = delete;
  FixedPortsLock& operator=(const FixedPortsLock&) = delete;
};

// The process has a network of its own (see own_network.h): nobody else
// can be on its fixed ports, so FixedPortsLock need not wait for anyone.
void FixedPortsAreOurs();

}  // namespace zq_test
