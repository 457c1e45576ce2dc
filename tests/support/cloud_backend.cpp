#include "support/cloud_backend.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/config_manager.h"
#include "service/net_service.h"
#include "service/service_manager.h"
#include "support/files.h"
#include "support/log_settings.h"

namespace zq_test {

using zq_camera_service::AuthService;
using zq_camera_service::ConfigManager;
using zq_camera_service::ServiceManager;

std::string CloudBaseConfig(const CloudBackendFake& cloud) {
  std::string text = DefaultBaseConfig(cloud.url());
  const std::string default_key = "\"NewKey\": \"initial-key\"";
  text.replace(text.find(default_key), default_key.size(), "\"NewKey\": \"" + cloud.ExpectedKey() + "\"");
  return text;
}

namespace {

void ReplaceOnce(std::string& text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("no " + from + " in the configuration");
  text.replace(at, from.size(), to);
}

}  // namespace

std::string CloudBaseConfig(CloudBackendFake& cloud, int heartbeat_gap, int monitor_gap) {
  CloudSettings settings = cloud.Settings();
  settings.heartbeat_gap = heartbeat_gap;
  settings.hello_time_gap = monitor_gap;
  cloud.SetSettings(settings);
  std::string config = CloudBaseConfig(cloud);
  ReplaceOnce(config, "\"HeartbeatGap\": 20", "\"HeartbeatGap\": " + std::to_string(heartbeat_gap));
  ReplaceOnce(config, "\"HelloTimeGap\": 60", "\"HelloTimeGap\": " + std::to_string(monitor_gap));
  return config;
}

std::string WithPicUploadUrl(const CloudBackendFake& cloud, std::string config, const std::string& url) {
  ReplaceOnce(config, "\"PicUploadUrl\": \"" + cloud.url() + "\"", "\"PicUploadUrl\": \"" + url + "\"");
  return config;
}

void WriteCloudConfigs(InstallRoot& root, const CloudBackendFake& cloud, int major) {
  root.WriteBaseConfig(CloudBaseConfig(cloud));
  root.WriteVersionConfig(VersionConfig(major));
}

const char* const kPackagePath = "/packages/update.zip";

void AnnounceUpdate(CloudBackendFake& cloud, int version, const std::string& url, const std::string& md5) {
  CloudSettings settings = cloud.Settings();
  settings.soft_update_version = version;
  settings.soft_update_url = url;
  settings.soft_update_md5 = md5;
  cloud.SetSettings(settings);
}

AuthService* AuthenticateInProcess(const std::string& config_dir, std::chrono::milliseconds timeout) {
  zq_camera_service::NetService::GetInstance()->StartService();
  ServiceManager* services = ServiceManager::GetInstance();
  auto* service = static_cast<AuthService*>(services->GetServiceBy(zq_camera_service::SERVICE_AUTH));
  if (service == nullptr) {
    // Created without configuration documents, the service returns from its
    // start at once; it is authenticated below, where a watchdog can end it.
    TempDir empty;
    {
      ScopedLogSettings quiet(0, 3, "");
      ConfigManager::GetInstance()->LoadConfigs(empty.path() + "/");
      service = static_cast<AuthService*>(services->CreateServiceBy(zq_camera_service::SERVICE_AUTH));
    }
    if (service == nullptr) return nullptr;
  }
  ConfigManager::GetInstance()->LoadConfigs(config_dir);

  std::mutex mutex;
  std::condition_variable done_cond;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done_cond.wait_for(lock, timeout, [&] { return done; })) service->StopService();
  });
  int rc = service->StartService();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  done_cond.notify_all();
  watchdog.join();
  return rc == 0 ? service : nullptr;
}

}  // namespace zq_test
