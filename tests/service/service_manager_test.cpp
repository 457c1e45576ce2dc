#include "service/service_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::BaseService;
using zq_camera_service::ServiceManager;
using zq_camera_service::ServiceType_ENUM;

std::atomic<int> g_started{0};
std::atomic<int> g_stopped{0};
std::atomic<int> g_destroyed{0};

class CountingService : public BaseService {
 public:
  explicit CountingService(std::chrono::milliseconds start_time = 0ms) : start_time_(start_time) {}
  ~CountingService() override { ++g_destroyed; }
  int StartService() override {
    std::this_thread::sleep_for(start_time_);
    ++g_started;
    return 0;
  }
  int StopService() override {
    ++g_stopped;
    return 0;
  }

 private:
  std::chrono::milliseconds start_time_;
};

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_started = g_stopped = g_destroyed = 0; }
  ServiceManager manager_{[](ServiceType_ENUM type) -> std::unique_ptr<BaseService> {
    return std::make_unique<CountingService>(type == zq_camera_service::SERVICE_CONFIG ? 300ms : 0ms);
  }};
};

TEST_F(ServiceManagerTest, NumberOutsideTheTableCreatesNothing) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  zq_test::StdoutCapture capture;
  EXPECT_EQ(nullptr, manager_.CreateServiceBy(static_cast<ServiceType_ENUM>(7)));
  EXPECT_EQ(nullptr, manager_.CreateServiceBy(static_cast<ServiceType_ENUM>(-1)));
  EXPECT_EQ("", capture.Text());
  EXPECT_EQ(nullptr, manager_.GetServiceBy(static_cast<ServiceType_ENUM>(7)));
  EXPECT_EQ(0, g_started.load());
}

TEST_F(ServiceManagerTest, AuthServiceLogsAndIsFoundAfterwards) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  zq_test::StdoutCapture capture;
  BaseService* auth = manager_.CreateServiceBy(zq_camera_service::SERVICE_AUTH);
  ASSERT_NE(nullptr, auth);
  EXPECT_EQ("Service | DEBUG: auth service\nService | DEBUG: Start service 0\n", capture.Text());
  EXPECT_EQ(auth, manager_.GetServiceBy(zq_camera_service::SERVICE_AUTH));
  EXPECT_EQ("", auth->name);
  EXPECT_EQ(1, g_started.load());
}

TEST_F(ServiceManagerTest, NamesFollowTheNumbers) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  EXPECT_EQ("ConfigService", manager_.CreateServiceBy(zq_camera_service::SERVICE_CONFIG)->name);
  EXPECT_EQ("DataUploadService", manager_.CreateServiceBy(zq_camera_service::SERVICE_DATA_UPLOAD)->name);
  EXPECT_EQ("MonitorService", manager_.CreateServiceBy(zq_camera_service::SERVICE_MONITOR)->name);
  EXPECT_EQ("UpgradeService", manager_.CreateServiceBy(zq_camera_service::SERVICE_UPGRADE)->name);
}

TEST_F(ServiceManagerTest, LookupNeverInserts) {
  EXPECT_EQ(nullptr, manager_.GetServiceBy(zq_camera_service::SERVICE_MONITOR));
  EXPECT_EQ(nullptr, manager_.GetServiceBy(zq_camera_service::SERVICE_MONITOR));
  EXPECT_EQ(0, manager_.CleanupAll());
  EXPECT_EQ(0, g_stopped.load());
}

TEST_F(ServiceManagerTest, SecondServiceOfANumberIsStartedButNotStored) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  BaseService* first = manager_.CreateServiceBy(zq_camera_service::SERVICE_UPGRADE);
  BaseService* second = manager_.CreateServiceBy(zq_camera_service::SERVICE_UPGRADE);
  EXPECT_NE(first, second);
  EXPECT_EQ(2, g_started.load());
  EXPECT_EQ(first, manager_.GetServiceBy(zq_camera_service::SERVICE_UPGRADE));
}

TEST_F(ServiceManagerTest, CreateReturnsOnlyAfterStartReturned) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  auto start = std::chrono::steady_clock::now();
  manager_.CreateServiceBy(zq_camera_service::SERVICE_CONFIG);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_EQ(1, g_started.load());
}

TEST_F(ServiceManagerTest, CleanupStopsAndDestroysEveryStoredService) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  manager_.CreateServiceBy(zq_camera_service::SERVICE_AUTH);
  manager_.CreateServiceBy(zq_camera_service::SERVICE_MONITOR);
  EXPECT_EQ(0, manager_.CleanupAll());
  EXPECT_EQ(2, g_stopped.load());
  EXPECT_EQ(2, g_destroyed.load());
  EXPECT_EQ(nullptr, manager_.GetServiceBy(zq_camera_service::SERVICE_AUTH));
}

}  // namespace
