// Finds out, without blocking the agent thread, whether a TCP notification
// receiver answers a connection: a non-blocking connect watched by the
// agent's own event loop, given up after a time-out. Opening a TCP sink
// through the library is a blocking connect, which takes minutes when the
// receiver's host stays silent; the library opens the sink only after the
// receiver answered here.
#pragma once

#include <sys/socket.h>

#include <functional>

#include "base/unique_fd.h"

class ReachabilityProbe {
 public:
  // Called once, on the agent thread: whether the receiver accepted.
  using Done = std::function<void(bool reachable)>;

  static constexpr unsigned int kTimeoutSeconds = 10;

  ReachabilityProbe() = default;
  ~ReachabilityProbe() { Cancel(); }
  ReachabilityProbe(const ReachabilityProbe&) = delete;
  ReachabilityProbe& operator=(const ReachabilityProbe&) = delete;

  // Starts a probe of `address`; false (and no call of `done`) when no
  // connection could even be started. Agent thread only.
  bool Start(const sockaddr_storage& address, socklen_t length, Done done);
  // Drops a probe in flight; `done` is not called.
  void Cancel();
  bool InFlight() const { return socket_.valid(); }

 private:
  static void OnWritable(int fd, void* probe);
  static void OnSettled(unsigned int clientreg, void* probe);
  static void OnTimeout(unsigned int clientreg, void* probe);
  void Finish(bool reachable);

  zq_camera_service::UniqueFd socket_;
  bool watching_ = false;
  unsigned int timeout_alarm_ = 0;
  unsigned int settled_alarm_ = 0;
  Done done_;
};
