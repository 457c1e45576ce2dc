// The report and picture businesses while no authentication stands behind
// the common header, and once one does.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/config_manager.h"
#include "business/business_manager.h"
#include "business/kw_cloud_data_upload_business.h"
#include "business/monitor_config_business.h"
#include "service/service_manager.h"
#include "support/child_process.h"
#include "support/cloud_backend.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/process_wide_threads.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using namespace zq_camera_service;
using zq_test::CloudBackendFake;

// The capture service and the upload thread log throughout: every line goes
// to standard output, where the tests capture it.
const auto* const kLogs = ::testing::AddGlobalTestEnvironment(new zq_test::ProgramLogSettings(4, 3, ""));

// The process-wide businesses and services run threads.
const auto* const kStop = ::testing::AddGlobalTestEnvironment(new zq_test::StopProcessWideThreads);

TEST(UnauthenticatedBusinesses, NothingIsSentUntilAHeaderCanBeComposed) {
  CloudBackendFake cloud;
  zq_test::TempDir empty;
  zq_test::TempDir config_dir;
  zq_test::WriteFile(config_dir / "BaseConfig.json", zq_test::CloudBaseConfig(cloud));
  zq_test::WriteFile(config_dir / "VersionConfig.json", zq_test::VersionConfig(1));
  {
    // Without configuration documents the authentication gives up at once,
    // leaving service 0 without an accepted reply.
    ConfigManager::GetInstance()->LoadConfigs(empty.path() + "/");
    ASSERT_NE(nullptr, ServiceManager::GetInstance()->CreateServiceBy(SERVICE_AUTH));
    ConfigManager::GetInstance()->LoadConfigs(config_dir.path() + "/");
  }

  zq_test::StdoutCapture out;
  MonitorConfigBusiness reports;
  KwCloudDataUploadBusiness pictures;
  ASSERT_EQ(0, reports.StartBusiness());
  ASSERT_EQ(0, pictures.StartBusiness());

  EXPECT_EQ(-1, reports.DoTimeOutHandler(TIMER_HEARTBEAT));
  EXPECT_EQ(-1, reports.DoTimeOutHandler(TIMER_MONITOR_REPORT));

  // Each picture due without a header is dropped with one error line; the
  // upload thread goes on with the next.
  char bytes[] = {'a', 'b', 'c'};
  pictures.OnCameraDataUploadCallback(3, bytes);
  pictures.OnCameraDataUploadCallback(2, bytes);
  EXPECT_TRUE(out.WaitFor("ERROR: KwCloudData upload: no common header, picture of 3 bytes dropped\n", 10s))
      << out.Text();
  EXPECT_TRUE(out.WaitFor("ERROR: KwCloudData upload: no common header, picture of 2 bytes dropped\n", 10s))
      << out.Text();
  EXPECT_EQ(0u, cloud.server().RequestsTo(CloudBackendFake::kHeartbeatPath).size());
  EXPECT_EQ(0u, cloud.server().RequestsTo(CloudBackendFake::kMonitorPath).size());
  EXPECT_EQ(0u, cloud.server().RequestsTo(CloudBackendFake::kPicturePath).size());

  // Once the cloud has accepted the device, both send. (The authentication
  // is redone here only while no upload thread composes headers.)
  EXPECT_EQ(0, pictures.StopBusiness());
  ASSERT_NE(nullptr, zq_test::AuthenticateInProcess(config_dir.path() + "/"));
  EXPECT_EQ(0, reports.DoTimeOutHandler(TIMER_HEARTBEAT));
  EXPECT_EQ(1u, cloud.Reports(CloudBackendFake::kHeartbeatPath).size());
  KwCloudDataUploadBusiness later_pictures;
  ASSERT_EQ(0, later_pictures.StartBusiness());
  later_pictures.OnCameraDataUploadCallback(3, bytes);
  ASSERT_TRUE(cloud.WaitForReports(CloudBackendFake::kPicturePath, 1, 10s));
  EXPECT_TRUE(cloud.Reports(CloudBackendFake::kPicturePath)[0].signature_valid);
}

}  // namespace
