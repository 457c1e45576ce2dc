#include "business/business_manager.h"

#include <chrono>
#include <cstdio>

#include "base/log.h"
#include "business/kw_cloud_config_business.h"
#include "business/kw_cloud_upgrade_business.h"
#include "business/kw_cloud_data_upload_business.h"
#include "business/monitor_config_business.h"
#include "business/private_cloud_data_upload_business.h"

namespace zq_camera_service {

namespace {

// Between two checks while a timer stays due (period 0 or less): the pace of
// the loop as the businesses know it, without spinning.
constexpr std::chrono::microseconds kDueRecheck(100);
// The longest sleep towards a far due time. Looking again after an hour costs
// nothing, and a distance of centuries would overflow the wait's clock.
constexpr int64_t kLongestWaitSeconds = 3600;

// The business of an id, in its initial state; null when the id has none (yet).
std::unique_ptr<BaseBusiness> BuildBusiness(BusinessType_eum type) {
  std::unique_ptr<BaseBusiness> business;
  switch (type) {
    case BUSINESS_MONITOR_CONFIG:
      business.reset(new MonitorConfigBusiness());
      break;
    case BUSINESS_KWCLOUD_DATA_UPLOAD:
      business.reset(new KwCloudDataUploadBusiness());
      break;
    case BUSINESS_PRIVATE_CLOUD_DATA_UPLOAD:
      business.reset(new PrivateCloudDataUploadBusiness());
      break;
    case BUSINESS_KWCLOUD_CONFIG:
      business = std::make_unique<KwCloudConfigBusiness>();
      break;
    case BUSINESS_KWCLOUD_UPGRADE:
      business = std::make_unique<KwCloudUpgradeBusiness>();
      break;
  }
  return business;
}

}  // namespace

BusinessManager::BusinessManager() : BusinessManager(BuildBusiness, MonotonicTimerNow) {}

BusinessManager::BusinessManager(Factory factory, TimerClock clock)
    : factory(std::move(factory)), clock(std::move(clock)) {}

BusinessManager::~BusinessManager() { CleanupAll(); }

BusinessManager* BusinessManager::GetInstance() {
  static BusinessManager* instance = new BusinessManager();
  return instance;
}

BaseBusiness* BusinessManager::CreateBusinessBy(BusinessType_eum type) {
  // Compared as unsigned: negative ids are "other".
  if (static_cast<unsigned>(type) > static_cast<unsigned>(BUSINESS_KWCLOUD_UPGRADE)) return nullptr;
  std::unique_ptr<BaseBusiness> owned = factory(type);
  if (!owned) return nullptr;
  owned->timer_clock = clock;

  BaseBusiness* business = owned.get();
  {
    std::lock_guard<std::mutex> lock(tasks_lock);
    if (businesses.count(type) == 0) {
      businesses[type] = std::move(owned);
    } else {
      unstored_businesses.push_back(std::move(owned));
    }
  }
  // Not under the lock: a business may look others up while it starts.
  business->StartBusiness();
  if (!business->timer_periods.empty()) {
    {
      std::lock_guard<std::mutex> lock(tasks_lock);
      if (timer_businesses.count(type) == 0) timer_businesses[type] = business;
    }
    WakeTasks();
  }
  return business;
}

BaseBusiness* BusinessManager::GetBusinessBy(BusinessType_eum type) {
  std::lock_guard<std::mutex> lock(tasks_lock);
  auto it = businesses.find(type);
  return it == businesses.end() ? nullptr : it->second.get();
}

void BusinessManager::StartBusinessTasks() {
  if (tasks_requested) {
    zq_error("business tasks already started\n");
    return;
  }
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    fprintf(stderr, "Create attr failed %d\n", rc);
    return;
  }
  tasks_requested = true;
  // Set before the thread starts, so a timer already due fires on its first check.
  running = true;
  rc = pthread_create(&task_thread, &attr, StaticStartTask, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    fprintf(stderr, "Create post thread failed%d\n", rc);
    return;
  }
  task_thread_started = true;
}

void* BusinessManager::StaticStartTask(void* manager) {
  if (manager != nullptr) static_cast<BusinessManager*>(manager)->DoTasks();
  return nullptr;
}

void BusinessManager::WakeTasks() {
  {
    std::lock_guard<std::mutex> lock(tasks_lock);
    wake_pending = true;
  }
  tasks_wake.notify_all();
}

bool BusinessManager::CheckTimers(const std::vector<BaseBusiness*>& timed, int64_t* next_due, timeval* now) {
  for (BaseBusiness* business : timed) {
    // A copy of the ids: a handler may change the table while we walk it.
    std::unordered_map<int, int> snapshot = business->timer_periods;
    for (const auto& entry : snapshot) {
      int timer = entry.first;
      timeval current = clock();
      timeval& due = business->timer_next_due[timer];  // an id without an entry is due at once
      if (current.tv_sec < due.tv_sec) continue;
      // Re-armed before the handler runs, from the period in the table now.
      due.tv_sec = DueSecondAfter(current.tv_sec, business->timer_periods[timer]);
      business->DoTimeOutHandler(timer);
    }
  }

  *now = clock();
  bool any = false;
  for (BaseBusiness* business : timed) {
    for (const auto& entry : business->timer_periods) {
      auto due = business->timer_next_due.find(entry.first);
      int64_t second = due == business->timer_next_due.end() ? 0 : static_cast<int64_t>(due->second.tv_sec);
      if (!any || second < *next_due) *next_due = second;
      any = true;
    }
  }
  return any;
}

void BusinessManager::DoTasks() {
  if (!running) return;
  std::unique_lock<std::mutex> lock(tasks_lock);
  while (running) {
    std::vector<BaseBusiness*> timed;
    timed.reserve(timer_businesses.size());
    for (const auto& entry : timer_businesses) timed.push_back(entry.second);
    wake_pending = false;
    lock.unlock();

    int64_t next_due = 0;
    timeval now{};
    bool any = CheckTimers(timed, &next_due, &now);
    ++checks;

    lock.lock();
    auto woken = [this] { return wake_pending || !running; };
    if (!any) {
      tasks_wake.wait(lock, woken);
    } else if (next_due <= static_cast<int64_t>(now.tv_sec)) {
      tasks_wake.wait_for(lock, kDueRecheck, woken);
    } else {
      // Due when the clock reaches the due second: what is left of this
      // second plus the whole seconds in between.
      // Compared as unsigned: the distance of a due time near the end of
      // the range would overflow a signed difference.
      uint64_t distance = static_cast<uint64_t>(next_due) - static_cast<uint64_t>(now.tv_sec);
      if (distance > static_cast<uint64_t>(kLongestWaitSeconds)) distance = kLongestWaitSeconds;
      auto left = std::chrono::seconds(static_cast<int64_t>(distance)) - std::chrono::microseconds(now.tv_usec);
      tasks_wake.wait_for(lock, left, woken);
    }
  }
}

void BusinessManager::CleanupAll() {
  {
    std::lock_guard<std::mutex> lock(tasks_lock);
    running = false;
  }
  tasks_wake.notify_all();
  if (task_thread_started) {
    pthread_join(task_thread, nullptr);
    task_thread_started = false;
  }

  std::unordered_map<int, std::unique_ptr<BaseBusiness>> stored;
  std::vector<std::unique_ptr<BaseBusiness>> unstored;
  {
    std::lock_guard<std::mutex> lock(tasks_lock);
    timer_businesses.clear();
    stored.swap(businesses);
    unstored.swap(unstored_businesses);
  }
  // Their threads and registrations end before the objects go.
  for (auto& entry : stored) entry.second->StopBusiness();
  for (auto& business : unstored) business->StopBusiness();
}

}  // namespace zq_camera_service
