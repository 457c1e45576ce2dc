// Seams to what only the camera device has or may do. The system calls these;
// the build (ZQ_DEVICE) picks the device or the host implementation.
#pragma once

namespace zq_camera_service {
namespace platform {

// Restarts the device. Host builds never restart the machine they run on:
// they end the process with kSimulatedRebootStatus instead. On the device it
// returns only when the kernel refused the restart; the caller then goes on.
void RebootDevice();

constexpr int kSimulatedRebootStatus = 100;

}  // namespace platform
}  // namespace zq_camera_service
