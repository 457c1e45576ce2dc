#include "service/upgrade_service.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

#include "base/log.h"
#include "platform/platform.h"
#include "service/net_helper.h"
#include "service/net_message.h"
#include "service/net_reply_limits.h"
#include "service/upgrade_package.h"
#include "service/upgrade_staging.h"

namespace zq_camera_service {

namespace {

// A whole package may take this long to arrive.
constexpr int kDownloadTimeoutSeconds = 500;

}  // namespace

UpgradeService::UpgradeService()
    : UpgradeService([] { platform::RebootDevice(); }, kRetryDelay) {}

UpgradeService::UpgradeService(RebootAction reboot, std::chrono::milliseconds retry_delay)
    : reboot_(std::move(reboot)), backoff_(retry_delay) {}

UpgradeService::~UpgradeService() { StopService(); }

int UpgradeService::StartService() {
  if (thread_started_) return 0;
  running = 1;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    zq_print("pthread dataDownload attr init failed\n");
    running = 0;
    return -1;
  }
  int created = pthread_create(&download_thread_id, &attributes, download_thread, this);
  pthread_attr_destroy(&attributes);
  if (created != 0) {
    zq_print("thread dataDownload create failed\n");
    running = 0;
    return -1;
  }
  thread_started_ = true;
  return 0;
}

int UpgradeService::StopService() {
  if (!thread_started_) return 0;
  {
    std::lock_guard<std::mutex> lock(pause_mutex_);
    running = 0;
  }
  pause_cond_.notify_all();
  // The thread may be waiting for a request: an empty one wakes it.
  url_pool.push_back(UpgradeRequest());
  pthread_join(download_thread_id, nullptr);
  thread_started_ = false;
  // A thread that ended before it saw the wake-up left it at the head; the
  // thread is gone, so nothing else takes from the queue now.
  while (!url_pool.empty() && url_pool.front().size() != 3) url_pool.pop_front();
  zq_print("destroy dataDownload thread succeed\n");
  return 0;
}

int UpgradeService::StartUpdate(const char* url, const char* install_root, const char* md5) {
  zq_print("UpgradeService::StartUpdate\n");
  if (url == nullptr || install_root == nullptr || md5 == nullptr) {
    zq_error("UpgradeService::StartUpdate without url, root or md5\n");
    return -1;
  }
  url_pool.push_back(UpgradeRequest{url, install_root, md5});
  return 0;
}

bool UpgradeService::WaitUntilDue(const std::string& url) {
  DownloadBackoff::Clock::time_point due = backoff_.DueAt(url);
  std::unique_lock<std::mutex> lock(pause_mutex_);
  if (due == DownloadBackoff::Clock::time_point::min()) return running != 0;
  return !pause_cond_.wait_until(lock, due, [this] { return running == 0; });
}

void UpgradeService::RunPass(const UpgradeRequest& request) {
  const std::string& url = request[0];
  const std::string& install_root = request[1];
  const std::string& md5 = request[2];
  zq_error("download upgrade zip url: %s\n", url.c_str());

  NetMessage download;
  download.method = "get";
  download.url = url;
  download.header = "";
  download.timeout = kDownloadTimeoutSeconds;
  download.max_reply_bytes = kMaxDownloadReplyBytes;
  NetMessage reply;
  DownloadBackoff::Clock::time_point began = DownloadBackoff::Clock::now();
  NetHelper::GetInstance()->SendSyncMessage(download, reply);
  if (reply.data_len < 1) {
    printf("download upgrade ERROR\n");
    DownloadBackoff::Clock::time_point ended = DownloadBackoff::Clock::now();
    auto held = std::chrono::duration_cast<std::chrono::milliseconds>(ended - began);
    std::chrono::milliseconds delay = backoff_.Failed(url, ended, held);
    if (reply.over_limit) {
      // The package at this URL can never get smaller: fetching it again
      // would only cost the same again. A later announcement of the same
      // URL still waits its turn.
      url_pool.pop_front();
      zq_error("download upgrade abandoned, package larger than %zu bytes: %s\n", kMaxDownloadReplyBytes, url.c_str());
      return;
    }
    zq_info("download upgrade retry in %.1f s: %s\n", static_cast<double>(delay.count()) / 1000.0, url.c_str());
    return;
  }
  backoff_.Succeeded(url);
  // Downloaded: from here on every failure abandons this update for good.
  url_pool.pop_front();
  zq_print("download upgrade SUCCESS\n");

  std::unique_ptr<CheckedPackage> package;
  size_t length = 0;
  // The package goes on in the buffer it arrived in; the reply keeps nothing.
  ByteBuffer bytes = reply.ReleaseData(&length);
  if (CheckUpgradePackage(std::move(bytes), length, md5, install_root, &package) != 0) return;
  if (StageUpgrade(*package) != 0) return;
  zq_print("=============test unzip===============\n");
  zq_print("reboot !\n");
  sync();
  reboot_();
}

void* download_thread(void* service_pointer) {
  UpgradeService* service = static_cast<UpgradeService*>(service_pointer);
  while (service->running != 0) {
    // Blocks until a request (or the stop's empty one) is queued.
    UpgradeRequest request = service->url_pool.front();
    if (request.size() != 3) {
      service->url_pool.pop_front();  // the stop's wake-up
      continue;
    }
    if (service->running == 0) break;
    // A failed download of this URL waits its back-off; a stop cuts it short.
    if (!service->WaitUntilDue(request[0])) break;
    zq_print("Begin upgrading...\n");
    service->RunPass(request);
  }
  return nullptr;
}

}  // namespace zq_camera_service
