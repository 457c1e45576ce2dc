#include "support/own_network.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"
#include "support/ports.h"

namespace zq_test {

bool EnterOwnNetwork(std::string* reason) {
  if (unshare(CLONE_NEWNET) != 0) {
    *reason = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
    return false;
  }
  zq_camera_service::UniqueFd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (!control.valid() || ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) {
    *reason = std::string("reading the loopback's flags: ") + strerror(errno);
    return false;
  }
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  if (ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) {
    *reason = std::string("bringing the loopback up: ") + strerror(errno);
    return false;
  }
  FixedPortsAreOurs();
  return true;
}

}  // namespace zq_test
