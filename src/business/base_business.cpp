#include "business/base_business.h"

#include <time.h>

#include <limits>

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

}  // namespace zq_camera_service
