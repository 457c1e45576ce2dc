// Base class of the device's long-lived services.
#pragma once

#include <string>

namespace zq_camera_service {

enum ServiceType_ENUM {
  SERVICE_AUTH = 0,
  SERVICE_CONFIG = 1,
  SERVICE_DATA_UPLOAD = 2,
  SERVICE_MONITOR = 3,
  SERVICE_UPGRADE = 4,
};

class BaseService {
 public:
  virtual ~BaseService() = default;
  virtual int StartService() { return 0; }
  virtual int StopService() { return 0; }

  std::string name;
};

}  // namespace zq_camera_service
