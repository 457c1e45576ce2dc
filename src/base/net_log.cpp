#include "base/net_log.h"

#include <sys/time.h>

#include <chrono>
#include <mutex>

#include "base/base64.h"
#include "base/log.h"
#include "service/net_helper.h"

using zq_camera_service::NetHelper;
using zq_camera_service::NetMessage;

SharedQueue<std::string>& g_zq_net_log_queue = *new SharedQueue<std::string>();
std::atomic<bool> g_zq_log_need_net{false};
pthread_t g_zq_log_net_thread{};
std::atomic<int64_t> g_zq_log_net_log_timestamp{0};

namespace {

std::atomic<size_t> g_dropped_lines{0};
std::once_flag g_poster_once;

struct WallClock {
  int64_t seconds;
  int64_t microseconds;  // since the epoch
};

WallClock Now() {
  timeval now {};
  gettimeofday(&now, nullptr);
  return {static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec};
}

void FileLog(const char* text) {
  std::string line = text;
  zq_flog(1, &line[0]);
}

void StartPoster() {
  g_zq_log_net_log_timestamp = Now().seconds;
  // Set before the start is tried, so a failed start is not tried again.
  g_zq_log_need_net = true;
  // The sink's own diagnostics go to the file: through the network they
  // would feed the very queue that is failing.
  FileLog("start net log\n");
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    FileLog("Failed to create log thread attr\n");
    return;
  }
  if (pthread_create(&g_zq_log_net_thread, &attr, zq_log_net_post_thread, nullptr) != 0) {
    FileLog("Failed to start log thread\n");
  }
  pthread_attr_destroy(&attr);
}

// Sleeps until a batch is due and returns the number of lines it takes:
// until the first line arrives, then until more than kNetLogBatchLines wait
// or the wall clock passes the last post by more than kNetLogBatchSeconds.
size_t WaitForBatch() {
  for (;;) {
    size_t queued = g_zq_net_log_queue.wait([](size_t size) { return size > 0; });
    WallClock now = Now();
    int64_t last = g_zq_log_net_log_timestamp;
    if (zq_netlog_batch_due(queued, now.seconds, last)) return queued;
    // Not due means 0 <= now - last <= 5 s: the whole-second reading first
    // exceeds it at last + 6 s.
    int64_t wait_us = (last + kNetLogBatchSeconds + 1) * 1000000 - now.microseconds;
    g_zq_net_log_queue.wait_until(std::chrono::steady_clock::now() + std::chrono::microseconds(wait_us),
                                  [](size_t size) { return size > kNetLogBatchLines; });
  }
}

void PostBatch(size_t count) {
  std::vector<std::string> lines = g_zq_net_log_queue.take_front(count);
  size_t dropped = g_dropped_lines.exchange(0);
  if (dropped > 0) {
    std::string note = "Network log queue full, " + std::to_string(dropped) + " lines dropped\n";
    lines.insert(lines.begin(), zq_format_record_line(2, note.c_str()));
  }
  NetMessage request;
  request.method = "post";
  request.url = g_zq_log_record_url;
  request.header = "Content-Type: application/json";
  request.timeout = 5;
  request.SetBody(zq_netlog_batch_body(lines));
  // A batch is posted once: whatever the outcome, it is gone.
  NetMessage reply;
  NetHelper::GetInstance()->SendSyncMessage(request, reply);
}

}  // namespace

bool zq_netlog_batch_due(size_t queued, int64_t now, int64_t last_post) {
  if (queued > kNetLogBatchLines) return true;
  return queued >= 1 && static_cast<uint64_t>(now - last_post) > static_cast<uint64_t>(kNetLogBatchSeconds);
}

std::string zq_netlog_batch_body(const std::vector<std::string>& lines) {
  std::string body = "{ \"Logs\":[";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) body += ',';
    body += '"';
    body += base64_encode(reinterpret_cast<const unsigned char*>(lines[i].data()),
                          static_cast<unsigned int>(lines[i].size()));
    body += '"';
  }
  body += "] }";
  return body;
}

size_t zq_netlog_dropped_count() { return g_dropped_lines; }

extern "C" {

void zq_netlog(int level, char* text) {
  std::string line = zq_format_record_line(level, text != nullptr ? text : "");
  if (line.size() > kNetLogLineBufferSize - 1) line.resize(kNetLogLineBufferSize - 1);
  size_t dropped = g_zq_net_log_queue.push_back_bounded(std::move(line), kNetLogQueueLimit);
  if (dropped > 0) g_dropped_lines += dropped;
  std::call_once(g_poster_once, StartPoster);
}

void* zq_log_net_post_thread(void* /*arg*/) {
  while (g_zq_log_need_net) {
    size_t count = WaitForBatch();
    g_zq_log_net_log_timestamp = Now().seconds;
    PostBatch(count);
  }
  return nullptr;
}

}  // extern "C"
