// For test programs that start the process-wide business and service
// managers' threads: they are stopped before the program's globals go away
// under them.
//   const auto* const kStop = ::testing::AddGlobalTestEnvironment(new zq_test::StopProcessWideThreads);
#pragma once

#include <gtest/gtest.h>

#include "business/business_manager.h"
#include "service/service_manager.h"

namespace zq_test {

class StopProcessWideThreads : public ::testing::Environment {
 public:
  void TearDown() override {
    zq_camera_service::BusinessManager::GetInstance()->CleanupAll();
    zq_camera_service::ServiceManager::GetInstance()->CleanupAll();
  }
};

}  // namespace zq_test
