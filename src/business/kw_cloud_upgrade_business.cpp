#include "business/kw_cloud_upgrade_business.h"

#include "base/install_root_path.h"
#include "base/log.h"
#include "service/service_manager.h"
#include "service/upgrade_service.h"

namespace zq_camera_service {

int KwCloudUpgradeBusiness::StartUpdate(const char* url, const char* md5) {
  zq_info("KwCloudUpgradeBusiness::StartUpdate\n");
  auto* upgrade = dynamic_cast<UpgradeService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_UPGRADE));
  if (upgrade == nullptr) {
    zq_error("KwCloudUpgradeBusiness::StartUpdate: no upgrade service\n");
    return -1;
  }
  // The root the process runs from: with a relocated root the fixed default
  // would stage another installation than the one that is running.
  std::string root = InstallRootPath();
  return upgrade->StartUpdate(url, root.c_str(), md5);
}

}  // namespace zq_camera_service
