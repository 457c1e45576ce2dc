// The HTTP worker: one thread that performs every transfer of the process
// with libcurl, one at a time, in the order the requests were queued, and
// hands each reply to NetHelper under the request's id.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "service/net_message.h"
#include "service/received_text.h"

namespace zq_camera_service {

class NetService {
 public:
  static NetService* GetInstance();

  // Starts the worker thread; 0 (also when it already runs), -1 when the
  // thread attributes cannot be made.
  int StartService();
  // Stops and joins the worker; messages still queued stay unanswered. 0.
  int StopService();
  // Queues a deep copy of `message` (the caller keeps its record); 0, or -1
  // for a null message.
  int PostMessage(NetMessage* message);

  static void* StaticPostThread(void* service);
  void* PostThread(void* arg);
  // One libcurl transfer; 0, or -1 when the message is rejected or the transfer fails.
  int DoPost(NetMessage* message);
  // Hands current_id and current_response to NetHelper.
  void DoResponse();

 private:
  NetService() = default;

  bool stop = false;   // guarded by queue_mutex
  bool running = false;  // guarded by queue_mutex
  std::deque<std::unique_ptr<NetMessage>> messages;
  std::mutex queue_mutex;
  std::condition_variable queue_cond;
  pthread_t post_thread{};
  // Touched by the worker thread only. The reply's bytes are handed over
  // with it, so nothing of an exchange stays here once it is answered.
  int64_t current_id = 0;
  ReceivedText current_response;
};

}  // namespace zq_camera_service
