// Process-wide registry of the services, created and found by number.
#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "service/base_service.h"

namespace zq_camera_service {

class ServiceManager {
 public:
  using Factory = std::function<std::unique_ptr<BaseService>(ServiceType_ENUM)>;

  static ServiceManager* GetInstance();
  // The process uses GetInstance(); tests build their own registry, with a
  // factory of their own when they need stand-in services.
  ServiceManager();
  explicit ServiceManager(Factory factory);

  // Builds, stores (unless the number is taken), starts and returns the
  // service of the number; null for a number without a service.
  BaseService* CreateServiceBy(ServiceType_ENUM type);
  BaseService* GetServiceBy(ServiceType_ENUM type);
  // Stops and destroys every service; 0.
  int CleanupAll();

 private:
  Factory factory;
  std::unordered_map<int, std::unique_ptr<BaseService>> services;
  // A second service of a number already taken is not stored, but it is
  // started and may run threads, so it lives on here.
  std::vector<std::unique_ptr<BaseService>> unstoredServices;
};

}  // namespace zq_camera_service
