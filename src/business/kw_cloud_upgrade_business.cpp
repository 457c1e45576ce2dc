#include "business/kw_cloud_upgrade_business.h"

#include "base/log.h"

namespace zq_camera_service {

int KwCloudUpgradeBusiness::StartUpdate(const char* /*url*/, const char* /*md5*/) {
  zq_info("KwCloudUpgradeBusiness::StartUpdate\n");
  // The upgrade service that queues the download is not part of this build
  // yet; until it is, the announced update goes nowhere.
  return -1;
}

}  // namespace zq_camera_service
