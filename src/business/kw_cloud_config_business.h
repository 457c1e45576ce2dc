// Business 3: the KwCloud configuration business. It carries no exchange and
// no timer; its operations do nothing.
#pragma once

#include "business/base_business.h"

namespace zq_camera_service {

class KwCloudConfigBusiness : public BaseBusiness {
 public:
  int StartBusiness() override { return 0; }
  int StopBusiness() override { return 0; }
  int DoTimeOutHandler(int /*timer_id*/) override { return 0; }
};

}  // namespace zq_camera_service
