#include "support/camera_peer.h"

#include <stdexcept>

namespace zq_test {

namespace {

zq_fakes::CameraIpcPeer::Options FixedPortOptions(std::chrono::milliseconds delay, zq_fakes::CameraPeerFault fault) {
  zq_fakes::CameraIpcPeer::Options options;
  options.port = CameraPeer::kPort;
  options.delay = delay;
  options.fault = fault;
  return options;
}

}  // namespace

CameraPeer::CameraPeer(std::chrono::milliseconds delay, zq_fakes::CameraPeerFault fault, Listen listen)
    : peer_(FixedPortOptions(delay, fault)) {
  if (listen == Listen::kNow) Start();
}

void CameraPeer::Start() {
  if (!peer_.Start()) throw std::runtime_error("the fake camera peer cannot listen on 127.0.0.1:9658");
}

}  // namespace zq_test
