// A time limit for a blocking system call of the calling thread that has
// none of its own (the library's connect to a TCP notification receiver):
// while an instance lives, a call of this thread still blocked after the
// given time is interrupted and fails with EINTR. Other threads never see
// the signal that does it.
#pragma once

#include <time.h>

class BlockingCallDeadline {
 public:
  explicit BlockingCallDeadline(unsigned int seconds);
  ~BlockingCallDeadline();
  BlockingCallDeadline(const BlockingCallDeadline&) = delete;
  BlockingCallDeadline& operator=(const BlockingCallDeadline&) = delete;

  // Whether the limit is in force (a timer could be made).
  bool armed() const { return armed_; }

 private:
  timer_t timer_{};
  bool armed_ = false;
};
