#include "base/ticket_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zq_camera_service::TicketLock;

// Waits (bounded) until `count` lockers hold or wait for the lock.
bool WaitForHolders(TicketLock& lock, uint64_t count) {
  for (int i = 0; i < 5000; ++i) {
    if (lock.Holders() == count) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(TicketLock, WaitersGetTheLockInTheOrderTheyAskedForIt) {
  TicketLock lock;
  std::mutex order_mutex;
  std::vector<int> order;
  std::vector<std::thread> waiters;

  lock.lock();
  // Each waiter has drawn its ticket before the next one starts, so the
  // order of asking is known: 0, 1, 2, ...
  for (int i = 0; i < 8; ++i) {
    waiters.emplace_back([&, i] {
      std::lock_guard<TicketLock> hold(lock);
      std::lock_guard<std::mutex> record(order_mutex);
      order.push_back(i);
    });
    ASSERT_TRUE(WaitForHolders(lock, static_cast<uint64_t>(i) + 2));
  }
  lock.unlock();
  for (std::thread& waiter : waiters) waiter.join();

  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}), order);
  EXPECT_EQ(0u, lock.Holders());
}

TEST(TicketLock, AReleasingHolderQueuesBehindThoseAlreadyWaiting) {
  // The case a plain mutex gets wrong: a thread that releases and at once
  // asks again must not overtake a thread that has been waiting meanwhile.
  TicketLock lock;
  std::mutex order_mutex;
  std::vector<std::string> order;
  auto record = [&](const std::string& who) {
    std::lock_guard<std::mutex> guard(order_mutex);
    order.push_back(who);
  };

  lock.lock();
  std::thread waiter([&] {
    std::lock_guard<TicketLock> hold(lock);
    record("waiter");
  });
  ASSERT_TRUE(WaitForHolders(lock, 2));
  lock.unlock();
  lock.lock();  // the former holder asks again at once
  record("former holder");
  lock.unlock();
  waiter.join();

  EXPECT_EQ((std::vector<std::string>{"waiter", "former holder"}), order);
}

TEST(TicketLock, OneHolderAtATimeUnderContention) {
  TicketLock lock;
  int inside = 0;
  int most_inside = 0;
  long total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::lock_guard<TicketLock> hold(lock);
        ++inside;
        if (inside > most_inside) most_inside = inside;
        ++total;
        --inside;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1, most_inside);
  EXPECT_EQ(8000, total);
}

}  // namespace
