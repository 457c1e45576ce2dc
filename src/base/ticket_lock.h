// A mutex that hands itself over in arrival order. A plain mutex lets a thread
// that just released it, or any late comer, take it again ahead of threads
// that have waited for a long time; with callers that each hold the lock for
// seconds (an HTTP exchange that runs into its time-out), a waiting caller can
// then lose its turn over and over. Each locker draws a ticket and waits until
// its number is served. Meets BasicLockable, so std::lock_guard works with it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zq_camera_service {

class TicketLock {
 public:
  TicketLock() = default;
  TicketLock(const TicketLock&) = delete;
  TicketLock& operator=(const TicketLock&) = delete;

  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    const uint64_t ticket = next_ticket_++;
    turn_.wait(guard, [&] { return now_serving_ == ticket; });
  }

  void unlock() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++now_serving_;
    }
    // Every waiter checks whether its number came up; only one of them goes on.
    turn_.notify_all();
  }

  // Lockers that hold the lock or wait for it.
  uint64_t Holders() {
    std::lock_guard<std::mutex> guard(mutex_);
    return next_ticket_ - now_serving_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  uint64_t next_ticket_ = 0;  // the number the next locker draws
  uint64_t now_serving_ = 0;  // the number that holds the lock
};

}  // namespace zq_camera_service
