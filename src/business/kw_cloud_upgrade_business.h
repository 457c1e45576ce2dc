// Business 4: the door through which an update announced to the
// authentication service reaches the upgrade service. It has no exchange and
// no timer of its own.
#pragma once

#include "business/base_business.h"

namespace zq_camera_service {

class KwCloudUpgradeBusiness : public BaseBusiness {
 public:
  int StartBusiness() override { return 0; }
  int StopBusiness() override { return 0; }
  int DoTimeOutHandler(int /*timer_id*/) override { return 0; }

  // Queues the package at `url`, whose MD5 is the hexadecimal text `md5`,
  // with the upgrade service, for the install root the process runs from.
  // A class operation: the authentication calls it during start-up, before
  // any business object exists. The upgrade service's result, or -1 when
  // there is no upgrade service.
  static int StartUpdate(const char* url, const char* md5);
};

}  // namespace zq_camera_service
