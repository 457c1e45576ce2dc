#include "snmp/reachability_probe.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/fd_event_manager.h>

#include <errno.h>

bool ReachabilityProbe::Start(const sockaddr_storage& address, socklen_t length, Done done) {
  Cancel();
  socket_.reset(socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket_.valid()) return false;
  done_ = std::move(done);
  int result = connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), length);
  if (result == 0 || errno != EINPROGRESS) {
    // Settled at once (a refusal on this host, say): the answer still comes
    // from the event loop, never from inside the caller.
    settled_alarm_ = snmp_alarm_register_hr(timeval{0, 0}, 0, OnSettled, this);
  } else {
    watching_ = register_writefd(socket_.get(), OnWritable, this) == FD_REGISTERED_OK;
    if (watching_) timeout_alarm_ = snmp_alarm_register(kTimeoutSeconds, 0, OnTimeout, this);
  }
  // Without its watch or its time-out the probe could wait for ever.
  if (settled_alarm_ == 0 && timeout_alarm_ == 0) {
    Cancel();
    return false;
  }
  return true;
}

void ReachabilityProbe::Cancel() {
  if (watching_) unregister_writefd(socket_.get());
  watching_ = false;
  if (timeout_alarm_ != 0) snmp_alarm_unregister(timeout_alarm_);
  timeout_alarm_ = 0;
  if (settled_alarm_ != 0) snmp_alarm_unregister(settled_alarm_);
  settled_alarm_ = 0;
  socket_.reset();
  done_ = nullptr;
}

void ReachabilityProbe::OnWritable(int, void* probe) {
  auto* self = static_cast<ReachabilityProbe*>(probe);
  // The event loop is walking its table of watched descriptors: leave it
  // alone now and take the result when the due alarms run, later in this pass.
  if (self->settled_alarm_ == 0) self->settled_alarm_ = snmp_alarm_register_hr(timeval{0, 0}, 0, OnSettled, self);
}

void ReachabilityProbe::OnSettled(unsigned int, void* probe) {
  auto* self = static_cast<ReachabilityProbe*>(probe);
  self->settled_alarm_ = 0;
  int error = 0;
  socklen_t length = sizeof error;
  bool reachable = getsockopt(self->socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  if (reachable) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    reachable = getpeername(self->socket_.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0;
  }
  self->Finish(reachable);
}

void ReachabilityProbe::OnTimeout(unsigned int, void* probe) {
  auto* self = static_cast<ReachabilityProbe*>(probe);
  self->timeout_alarm_ = 0;
  self->Finish(false);
}

void ReachabilityProbe::Finish(bool reachable) {
  Done done = std::move(done_);
  Cancel();
  if (done) done(reachable);
}
