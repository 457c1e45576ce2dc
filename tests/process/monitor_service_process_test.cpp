// The device monitor inside the real binary: the last service start-up
// creates, with its sampling thread.
#include <gtest/gtest.h>

#include "support/cloud_backend.h"

namespace {

using namespace std::chrono_literals;

// Start-up reaches service 3 only once the cloud accepted the device.
class MonitorServiceProcessTest : public zq_test::CloudProcessTest {};

TEST_F(MonitorServiceProcessTest, ServiceThreeStartsTheMonitorThread) {
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  // Service 1 before it waits for the camera software's reply.
  StartCameraPeer();
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("Service | INFO: monitor service start thread\n", 30s)) << service->Stdout();
  std::string out = service->Stdout();
  size_t start = out.find("Service | DEBUG: Start service 3\n");
  ASSERT_NE(std::string::npos, start) << out;
  EXPECT_LT(out.find("major version"), start);
  EXPECT_NE(std::string::npos, out.find("Service | INFO: Create thread...done\n", start));
  EXPECT_TRUE(service->Running());
}

}  // namespace
