#include "service/service_manager.h"

#include "base/log.h"
#include "service/auth_service.h"
#include "service/config_service.h"
#include "service/data_upload_service.h"
#include "service/monitor_service.h"
#include "service/upgrade_service.h"

namespace zq_camera_service {

namespace {

// The service of a number, in its initial state; null when the number has
// none (yet).
std::unique_ptr<BaseService> BuildService(ServiceType_ENUM type) {
  std::unique_ptr<BaseService> service;
  switch (type) {
    case SERVICE_AUTH:
      service = std::make_unique<AuthService>();  // its name stays empty
      break;
    case SERVICE_CONFIG:
      service = std::make_unique<ConfigService>();
      break;
    case SERVICE_DATA_UPLOAD:
      service.reset(new DataUploadService());
      break;
    case SERVICE_MONITOR:
      service = std::make_unique<MonitorService>();
      break;
    case SERVICE_UPGRADE:
      service = std::make_unique<UpgradeService>();
      break;
  }
  return service;
}

const char* ServiceName(ServiceType_ENUM type) {
  switch (type) {
    case SERVICE_CONFIG:
      return "ConfigService";
    case SERVICE_DATA_UPLOAD:
      return "DataUploadService";
    case SERVICE_MONITOR:
      return "MonitorService";
    case SERVICE_UPGRADE:
      return "UpgradeService";
    default:
      return "";
  }
}

}  // namespace

ServiceManager::ServiceManager() : factory(BuildService) {}
ServiceManager::ServiceManager(Factory factory) : factory(std::move(factory)) {}

ServiceManager* ServiceManager::GetInstance() {
  static ServiceManager* instance = new ServiceManager();
  return instance;
}

BaseService* ServiceManager::CreateServiceBy(ServiceType_ENUM type) {
  if (type < SERVICE_AUTH || type > SERVICE_UPGRADE) return nullptr;
  if (type == SERVICE_AUTH) zq_print("auth service\n");
  std::unique_ptr<BaseService> owned = factory(type);
  if (!owned) return nullptr;
  owned->name = ServiceName(type);
  zq_print("Start service %d\n", static_cast<int>(type));

  BaseService* service = owned.get();
  if (services.count(type) == 0) {
    services[type] = std::move(owned);
  } else {
    unstoredServices.push_back(std::move(owned));
  }
  service->StartService();
  return service;
}

BaseService* ServiceManager::GetServiceBy(ServiceType_ENUM type) {
  auto it = services.find(type);
  return it == services.end() ? nullptr : it->second.get();
}

int ServiceManager::CleanupAll() {
  for (auto& entry : services) {
    entry.second->StopService();
  }
  services.clear();
  return 0;
}

}  // namespace zq_camera_service
