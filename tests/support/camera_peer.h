// The fake camera software on the fixed port 127.0.0.1:9658, where the
// service's start-up sends its encoder-information request. Holds the
// fixed-ports lock for as long as it lives.
#pragma once

#include <chrono>

#include "fakes/camera_ipc_peer.h"
#include "support/ports.h"

namespace zq_test {

class CameraPeer {
 public:
  static constexpr uint16_t kPort = 9658;

  enum class Listen { kNow, kLater };

  // Starts answering at once (throws when the port cannot be had); with
  // Listen::kLater the port stays closed until Start(), as for a camera
  // software that comes up after the service.
  explicit CameraPeer(std::chrono::milliseconds delay = std::chrono::milliseconds(0),
                      zq_fakes::CameraPeerFault fault = zq_fakes::CameraPeerFault::kNone, Listen listen = Listen::kNow);
  CameraPeer(const CameraPeer&) = delete;
  CameraPeer& operator=(const CameraPeer&) = delete;

  // Throws when the port cannot be had.
  void Start();
  zq_fakes::CameraIpcPeer& peer() { return peer_; }
  zq_fakes::CameraIpcPeer* operator->() { return &peer_; }

 private:
  FixedPortsLock lock_;
  zq_fakes::CameraIpcPeer peer_;
};

}  // namespace zq_test
