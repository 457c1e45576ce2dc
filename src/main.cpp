// Process entry: log settings and install root from the environment, the
// single-instance lock, the configuration documents, then the transports,
// services and businesses in their fixed order, and an idle main thread.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <curl/curl.h>

#include "base/config_manager.h"
#include "base/install_root_path.h"
#include "base/json_member.h"
#include "base/lock_file.h"
#include "base/log.h"
#include "business/business_manager.h"
#include "service/ipc_service.h"
#include "service/net_service.h"
#include "service/service_manager.h"
#include "snmp/snmp_service.h"

using namespace zq_camera_service;

namespace {

// Default network log collector; nothing defaults to an address off this machine.
const char* const kDefaultLogCollectorUrl = "http://127.0.0.1:1234";
const char* const kFileLogTarget = "/mnt/flash/smartinfo/log_service.txt";

void TakeLogSettings() {
  g_zq_log_app_name = "Service";
  if (const char* level = getenv("LOG_LEVEL")) g_zq_log_config = atoi(level);
  g_zq_log_record_type = 2;
  g_zq_log_record_url = kDefaultLogCollectorUrl;
  if (const char* type = getenv("LOG_TYPE")) {
    g_zq_log_record_type = atoi(type);
    if (g_zq_log_record_type == 1) {
      g_zq_log_record_url = kFileLogTarget;
    } else if (g_zq_log_record_type != 2) {
      g_zq_log_record_url.clear();
    }
  }
  if (const char* url = getenv("LOG_URL")) g_zq_log_record_url = url;
}

std::string TakeInstallRoot() {
  const char* root = getenv("ZQ_ROOT_PATH");
  if (root == nullptr) return kDefaultInstallRoot;
  std::string lock_path = std::string(root) + "/lock_file";
  zq_print("services lock file: %s\n", lock_path.c_str());
  // A second process with the same root waits here until the first one ends.
  LockFile(&lock_path[0]);
  return root;
}

void LogInstalledVersion() {
  long long major = 0;
  rapidjson::Document* version = nullptr;
  if (ConfigManager::GetInstance()->GetConfigBy(CONFIG_VERSION, &version) == 0) {
    int64_t value = 0;
    if (json::GetInt64(*version, "major", &value)) major = value;
  }
  zq_print("zq_camera_service major version: %lli \n", major);
}

}  // namespace

int main() {
  // libcurl's global set-up is not safe once other threads run, and the
  // network log poster may start with the very first log line.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // Line-buffered, so no line is lost when the process is killed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A full flash or a file-size limit must fail the write (EFBIG), which every
  // writer handles, not end the process.
  signal(SIGXFSZ, SIG_IGN);
  // Standard output and error are often pipes into a reader that a supervisor
  // restarts (a "| logger" pipeline): when the reader goes, a write must fail
  // with EPIPE and the line be dropped, never end the process. The same holds
  // for a TCP notification receiver that closes its end.
  signal(SIGPIPE, SIG_IGN);

  TakeLogSettings();
  printf("level %d type %d url %s\n", g_zq_log_config, g_zq_log_record_type, g_zq_log_record_url.c_str());
  zq_print("Begin...\n");

  std::string root = TakeInstallRoot();
  g_zq_safe_file_path = root + "/safe_file";
  SetInstallRoot(root);

  // [SNMP agent] start-up step 1: ends the process (status 1) when the agent
  // library fails or cannot open its transports, before any configuration loads.
  SnmpService::netsnmp_agent_init();

  ConfigManager::GetInstance()->LoadConfigs(root + "/app" + "/config/");
  LogInstalledVersion();

  // [Transports] IPC and HTTP transports start here (start-up step 2).
  IpcService::GetInstance()->StartService("tcp://127.0.0.1:9658");
  NetService::GetInstance()->StartService();
  // [Services] upgrade, authentication, face capture, encoder information, monitor (step 3).
  ServiceManager* services = ServiceManager::GetInstance();
  services->CreateServiceBy(SERVICE_UPGRADE);
  // Authentication holds start-up up until the cloud accepts the device.
  services->CreateServiceBy(SERVICE_AUTH);
  services->CreateServiceBy(SERVICE_DATA_UPLOAD);
  // Waits for the camera software's reply.
  services->CreateServiceBy(SERVICE_CONFIG);
  services->CreateServiceBy(SERVICE_MONITOR);
  // [Businesses] private-cloud upload, reports, picture upload, upgrade hand-off (step 4),
  // then the business task thread (step 5).
  BusinessManager* businesses = BusinessManager::GetInstance();
  businesses->CreateBusinessBy(BUSINESS_PRIVATE_CLOUD_DATA_UPLOAD);
  businesses->CreateBusinessBy(BUSINESS_MONITOR_CONFIG);
  businesses->CreateBusinessBy(BUSINESS_KWCLOUD_DATA_UPLOAD);
  businesses->CreateBusinessBy(BUSINESS_KWCLOUD_UPGRADE);
  businesses->StartBusinessTasks();

  // Nothing ends the process from here on but a signal or an upgrade's reboot;
  // pause() keeps the idle thread from waking at all.
  for (;;) pause();
}
