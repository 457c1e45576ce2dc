#include "business/base_business.h"

#include <time.h>

#include <limits>

#include "base/config_manager.h"
#include "base/log.h"

namespace zq_camera_service {

timeval MonotonicTimerNow() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  timeval result{};
  result.tv_sec = now.tv_sec;
  result.tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
  return result;
}

time_t DueSecondAfter(time_t now, int period) {
  constexpr time_t kLast = std::numeric_limits<time_t>::max();
  if (period > 0 && now > kLast - period) return kLast;
  return now + period;
}

int LoadBaseConfig(rapidjson::Document** config) {
  *config = nullptr;
  int rc = ConfigManager::GetInstance()->GetConfigBy(CONFIG_BASE, config);
  if (rc != 0 || *config == nullptr) {
    if (rc == 0) rc = -1;
    zq_error("Failed to load config %d\n", rc);
    return rc;
  }
  return 0;
}

}  // namespace zq_camera_service
