// Process-wide registry of the cloud businesses, created and found by id, and
// the task thread that fires their timers.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "business/base_business.h"

namespace zq_camera_service {

class BusinessManager {
 public:
  using Factory = std::function<std::unique_ptr<BaseBusiness>(BusinessType_eum)>;

  static BusinessManager* GetInstance();
  // The process uses GetInstance(); tests build their own manager, with
  // stand-in businesses and a clock they move by hand.
  BusinessManager();
  BusinessManager(Factory factory, TimerClock clock);
  ~BusinessManager();
  BusinessManager(const BusinessManager&) = delete;
  BusinessManager& operator=(const BusinessManager&) = delete;

  // Builds, stores (unless the id is taken), starts and returns the business
  // of an id; null for an id without a business.
  BaseBusiness* CreateBusinessBy(BusinessType_eum type);
  BaseBusiness* GetBusinessBy(BusinessType_eum type);
  // Starts the task thread (once).
  void StartBusinessTasks();
  // The task loop: fires due timers, then sleeps until the next due time, a
  // WakeTasks() or the stop.
  void DoTasks();
  static void* StaticStartTask(void* manager);
  // Stops the task thread, then stops and destroys every business.
  void CleanupAll();

  // Makes the task loop look at the timer tables again now (a business that
  // changed them from another thread, a test that moved its clock).
  void WakeTasks();
  // Number of completed checks of the timer tables, for tests.
  uint64_t CheckCount() const { return checks; }

 private:
  // One check of every timer; the second of the earliest due time left, and
  // false when there is no timer at all.
  bool CheckTimers(const std::vector<BaseBusiness*>& timed, int64_t* next_due, timeval* now);

  Factory factory;
  TimerClock clock;
  std::atomic<bool> running{false};
  pthread_t task_thread{};
  bool task_thread_started = false;
  bool tasks_requested = false;

  // Guards the tables and the wake flag; never held while a business runs.
  std::mutex tasks_lock;
  std::condition_variable tasks_wake;
  bool wake_pending = false;
  std::atomic<uint64_t> checks{0};

  std::unordered_map<int, std::unique_ptr<BaseBusiness>> businesses;
  std::unordered_map<int, BaseBusiness*> timer_businesses;
  // A second business of an id already taken is not stored, but it was
  // started and may run threads, so it lives on here.
  std::vector<std::unique_ptr<BaseBusiness>> unstored_businesses;
};

}  // namespace zq_camera_service
