#include <cstdio>
#include <unistd.h>

#include "platform/platform.h"

namespace zq_camera_service {
namespace platform {

void RebootDevice() {
  fflush(stdout);
  fflush(stderr);
  // _exit: the other threads keep running until the end, as they would up to
  // a real reboot, so no static destructor may run under them.
  _exit(kSimulatedRebootStatus);
}

}  // namespace platform
}  // namespace zq_camera_service
