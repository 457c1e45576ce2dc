#include <sys/reboot.h>
#include <unistd.h>

#include "platform/platform.h"

namespace zq_camera_service {
namespace platform {

void RebootDevice() {
#if defined(ZQ_DEVICE)
  reboot(0x01234567);  // ZQ_DEVICE builds only: RB_AUTOBOOT
#endif
  // Only reached when the kernel refused: the staged slot stays as it is and
  // the download thread goes on with its queue.
}

}  // namespace platform
}  // namespace zq_camera_service
