// Upgrade service (service 4): queued update requests are served one at a
// time on "download_thread": the package is downloaded over HTTP, checked
// and staged into the backup slot, and the device reboots into it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/shared_queue.h"
#include "service/base_service.h"
#include "service/download_backoff.h"

namespace zq_camera_service {

// {package URL, install root, expected MD5 as lower-case hexadecimal}.
using UpgradeRequest = std::vector<std::string>;

class UpgradeService : public BaseService {
 public:
  using RebootAction = std::function<void()>;

  // Reboots through platform::RebootDevice() once a slot is staged.
  UpgradeService();
  // Tests: `reboot` instead of the device reboot, and their own first pause
  // after a failed download (the later ones grow from it, see
  // download_backoff.h). When `reboot` returns, the thread goes on.
  UpgradeService(RebootAction reboot, std::chrono::milliseconds retry_delay);
  ~UpgradeService() override;

  // Starts download_thread; 0, or -1 when it cannot be started.
  int StartService() override;
  // Stops the thread (after the exchange in flight, if any) and joins it; 0.
  int StopService() override;
  SharedQueue<UpgradeRequest>* GetUrlPool() { return &url_pool; }
  // Queues copies of the three texts as one request; 0, or -1 when one is missing.
  int StartUpdate(const char* url, const char* install_root, const char* md5);

  // A failed download is tried again after this pause at the earliest: at
  // once would hold the single HTTP exchange for ever and starve every other
  // caller. Failures in a row wait longer (download_backoff.h).
  static constexpr std::chrono::milliseconds kRetryDelay = DownloadBackoff::kFirstStep;

  std::atomic<uint8_t> running{0};
  pthread_t download_thread_id{};
  SharedQueue<UpgradeRequest> url_pool;

 private:
  friend void* download_thread(void* service);

  // One pass over the head request; the request is consumed once its
  // package has been downloaded, or when its reply was refused as too large.
  void RunPass(const UpgradeRequest& request);
  // Sleeps until `url` may be downloaded again; false when a stop cut it short.
  bool WaitUntilDue(const std::string& url);

  RebootAction reboot_;
  DownloadBackoff backoff_;  // used by the download thread only
  bool thread_started_ = false;
  std::mutex pause_mutex_;
  std::condition_variable pause_cond_;
};

// The download thread's body; `service` is the UpgradeService. Returns once
// the service's `running` is cleared.
void* download_thread(void* service);

}  // namespace zq_camera_service
