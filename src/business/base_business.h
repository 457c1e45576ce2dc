// Base class of the cloud businesses and their ids.
#pragma once

#include <sys/time.h>

#include <functional>
#include <string>
#include <unordered_map>

#include <rapidjson/document.h>

#include "service/base_service.h"

namespace zq_camera_service {

enum BusinessType_eum {
  BUSINESS_MONITOR_CONFIG = 0,
  BUSINESS_KWCLOUD_DATA_UPLOAD = 1,
  BUSINESS_PRIVATE_CLOUD_DATA_UPLOAD = 2,
  BUSINESS_KWCLOUD_CONFIG = 3,
  BUSINESS_KWCLOUD_UPGRADE = 4,
};

// The time base of the business timers: the monotonic clock, so a step of the
// wall clock (NTP, a manual setting) neither silences nor floods them.
using TimerClock = std::function<timeval()>;
timeval MonotonicTimerNow();
// The second `period` seconds after `now`, held at the last second time_t can
// hold: on boards with a 32-bit time_t a large period would wrap the sum into
// the past, and the timer would fire on every pass of the task loop.
time_t DueSecondAfter(time_t now, int period);

// The base configuration document a business reads when it starts; 0, or the
// configuration manager's failure code (-1 when it gave no document), after
// logging "Failed to load config <code>".
int LoadBaseConfig(rapidjson::Document** config);

class BaseBusiness {
 public:
  virtual ~BaseBusiness() = default;

  // Reads the configuration, registers where needed, arms the timers
  // (timer_next_due and timer_periods, first due times from TimerNow()) and
  // starts the business's threads.
  virtual int StartBusiness() = 0;
  // Undoes what StartBusiness started; called before the business is destroyed.
  virtual int StopBusiness() = 0;
  // One timer is due; runs on the business task thread.
  virtual int DoTimeOutHandler(int timer_id) = 0;

  // The time the task loop compares due times with (whole seconds count).
  timeval TimerNow() const { return timer_clock(); }

  std::unordered_map<std::string, BaseService*> named_services;
  // Timer id -> next due time (seconds of TimerNow(); microseconds are kept
  // but not compared) and -> period in seconds. After start-up only the task
  // thread reads and writes them (the handlers run there).
  std::unordered_map<int, timeval> timer_next_due;
  std::unordered_map<int, int> timer_periods;

  // Set by the business manager before StartBusiness.
  TimerClock timer_clock = MonotonicTimerNow;
};

}  // namespace zq_camera_service
