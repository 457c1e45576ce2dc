// Business 4: the door through which an update announced to the
// authentication service reaches the upgrade service.
#pragma once

namespace zq_camera_service {

class KwCloudUpgradeBusiness {
 public:
  // Queues the package at `url`, whose MD5 is the hexadecimal text `md5`,
  // with the upgrade service. A class operation: the authentication calls it
  // during start-up, before any business object exists.
  static int StartUpdate(const char* url, const char* md5);
};

}  // namespace zq_camera_service
