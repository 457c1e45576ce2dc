// How long a notification receiver that is down waits for its next reopen:
// 5 s after the first failure, twice as long after each failure that follows,
// never longer than 5 minutes; back to 5 s once a notification went through.
// A receiver that stays away then costs one attempt every 5 minutes, and one
// that was gone a short while is found again within about as long as it was
// gone.
#pragma once

class SinkBackoff {
 public:
  static constexpr unsigned int kFirstSeconds = 5;
  static constexpr unsigned int kLongestSeconds = 300;

  // The delay before the next attempt after one more failure.
  unsigned int NextDelay() {
    unsigned int delay = next_;
    next_ = delay >= kLongestSeconds / 2 ? kLongestSeconds : delay * 2;
    return delay;
  }
  void Reset() { next_ = kFirstSeconds; }

 private:
  unsigned int next_ = kFirstSeconds;
};
