#include "business/kw_cloud_upgrade_business.h"

#include <gtest/gtest.h>

#include "base/install_root_path.h"
#include "business/business_manager.h"
#include "business/kw_cloud_config_business.h"
#include "service/service_manager.h"
#include "service/upgrade_service.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace zq_camera_service;

TEST(KwCloudUpgradeBusiness, HandsTheUpdateToTheUpgradeServiceWithTheProcessRoot) {
  zq_test::ScopedLogSettings log(3, 3, "");
  {
    // Before start-up has created the upgrade service there is nobody to take it.
    zq_test::StdoutCapture capture;
    EXPECT_EQ(-1, KwCloudUpgradeBusiness::StartUpdate("http://127.0.0.1:1/p.zip", "abc"));
    EXPECT_NE(std::string::npos, capture.Text().find("Service | INFO: KwCloudUpgradeBusiness::StartUpdate\n"));
  }

  auto* upgrade = dynamic_cast<UpgradeService*>(ServiceManager::GetInstance()->CreateServiceBy(SERVICE_UPGRADE));
  ASSERT_NE(nullptr, upgrade);
  // Stopped, so the test reads the queue instead of a download thread taking it.
  ASSERT_EQ(0, upgrade->StopService());
  ASSERT_TRUE(upgrade->GetUrlPool()->empty());

  // No business object exists: the class operation is all it takes.
  EXPECT_EQ(kDefaultInstallRoot, InstallRootPath());
  EXPECT_EQ(0, KwCloudUpgradeBusiness::StartUpdate("http://127.0.0.1:1/p.zip", "0123abcd"));
  SetInstallRoot("/tmp/relocated-root");
  EXPECT_EQ(0, KwCloudUpgradeBusiness::StartUpdate("http://127.0.0.1:1/q.zip", "ffff"));
  SetInstallRoot(kDefaultInstallRoot);

  auto* pool = upgrade->GetUrlPool();
  ASSERT_EQ(2u, pool->size());
  EXPECT_EQ((UpgradeRequest{"http://127.0.0.1:1/p.zip", "/mnt/flash/smart/zarnu_service", "0123abcd"}), pool->front());
  pool->pop_front();
  EXPECT_EQ((UpgradeRequest{"http://127.0.0.1:1/q.zip", "/tmp/relocated-root", "ffff"}), pool->front());
  pool->pop_front();
}

TEST(KwCloudBusinesses, ConfigAndUpgradeBusinessesAreStoredWithoutTimers) {
  BusinessManager manager;
  for (BusinessType_eum type : {BUSINESS_KWCLOUD_CONFIG, BUSINESS_KWCLOUD_UPGRADE}) {
    BaseBusiness* business = manager.CreateBusinessBy(type);
    ASSERT_NE(nullptr, business) << type;
    EXPECT_EQ(business, manager.GetBusinessBy(type));
    EXPECT_TRUE(business->timer_periods.empty());
    EXPECT_TRUE(business->timer_next_due.empty());
    EXPECT_EQ(0, business->DoTimeOutHandler(0));
    EXPECT_EQ(0, business->StopBusiness());
  }
  EXPECT_NE(nullptr, dynamic_cast<KwCloudConfigBusiness*>(manager.GetBusinessBy(BUSINESS_KWCLOUD_CONFIG)));
  EXPECT_NE(nullptr, dynamic_cast<KwCloudUpgradeBusiness*>(manager.GetBusinessBy(BUSINESS_KWCLOUD_UPGRADE)));
}

}  // namespace
