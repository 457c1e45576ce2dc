#include "business/base_business.h"

#include <time.h>

namespace zq_camera_service {

timeval MonotonicTimerNow() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  timeval result{};
  result.tv_sec = now.tv_sec;
  result.tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
  return result;
}

}  // namespace zq_camera_service
