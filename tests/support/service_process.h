// Fixture of whole-process tests: a temporary install root, the service's
// environment, and the fixed-ports lock for as long as the test runs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/camera_peer.h"
#include "support/child_process.h"
#include "support/install_root.h"
#include "support/ports.h"

namespace zq_test {

// The SNMP agent writes these lines to standard output itself, whatever the
// log settings: the first while it starts on the main thread, the second from
// the agent thread. Nothing else comes between them.
inline const std::string kSnmpAgentStdoutLines = "setParam\nNET-SNMP test\n";

class ServiceProcessTest : public ::testing::Test {
 protected:
  ServiceProcessTest() : environment_(root_.path()) {}

  // Starts the service with the fixture's environment plus `extra`
  // (an entry with the value "<unset>" removes that variable).
  std::unique_ptr<ChildProcess> StartService(const Env& extra = {}) {
    Env env = environment_.env;
    for (const auto& entry : extra) {
      if (entry.second == "<unset>") {
        env.erase(entry.first);
      } else {
        env[entry.first] = entry.second;
      }
    }
    return std::make_unique<ChildProcess>(env);
  }

  // The fake camera software on 127.0.0.1:9658, answering the start-up's
  // encoder-information request (after `delay`, or misbehaving as `fault`
  // says), so start-up goes past service 1. Start it before the service:
  // the service connects once, at start-up. It lives until the test ends.
  zq_fakes::CameraIpcPeer& StartCameraPeer(std::chrono::milliseconds delay = std::chrono::milliseconds(0),
                                           zq_fakes::CameraPeerFault fault = zq_fakes::CameraPeerFault::kNone) {
    camera_peer_.reset();  // the port is free again before the new peer binds it
    camera_peer_ = std::make_unique<CameraPeer>(delay, fault);
    return camera_peer_->peer();
  }

  FixedPortsLock ports_lock_;
  InstallRoot root_;
  ServiceEnvironment environment_;
  std::unique_ptr<CameraPeer> camera_peer_;
};

}  // namespace zq_test
