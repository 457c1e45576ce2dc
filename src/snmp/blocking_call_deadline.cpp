#include "snmp/blocking_call_deadline.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace {

// Its only purpose is to end the blocked call: with a handler installed and
// no SA_RESTART, the kernel returns EINTR instead of resuming the call.
void Interrupt(int) {}

int DeadlineSignal() { return SIGRTMIN + 1; }

bool InstallHandler() {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = Interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    installed = sigaction(DeadlineSignal(), &action, nullptr) == 0;
  });
  return installed;
}

}  // namespace

BlockingCallDeadline::BlockingCallDeadline(unsigned int seconds) {
  if (!InstallHandler()) return;
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = DeadlineSignal();
  // The thread to signal (what newer C libraries name sigev_notify_thread_id).
  event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) return;
  itimerspec limit{};
  limit.it_value.tv_sec = static_cast<time_t>(seconds);
  if (timer_settime(timer_, 0, &limit, nullptr) != 0) {
    timer_delete(timer_);
    return;
  }
  armed_ = true;
}

BlockingCallDeadline::~BlockingCallDeadline() {
  if (armed_) timer_delete(timer_);
}
