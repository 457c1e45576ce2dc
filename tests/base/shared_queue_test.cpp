#include "base/shared_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(SharedQueue, FrontAndPopBlockUntilAPush) {
  SharedQueue<std::string> queue;
  auto consumer = std::async(std::launch::async, [&] {
    std::string head = queue.front();
    queue.pop_front();
    return head;
  });
  EXPECT_EQ(std::future_status::timeout, consumer.wait_for(100ms));
  queue.push_back(std::string("hello"));
  ASSERT_EQ(std::future_status::ready, consumer.wait_for(5s));
  EXPECT_EQ("hello", consumer.get());
  EXPECT_TRUE(queue.empty());

  auto popper = std::async(std::launch::async, [&] { queue.pop_front(); });
  EXPECT_EQ(std::future_status::timeout, popper.wait_for(100ms));
  const std::string copied = "x";
  queue.push_back(copied);
  EXPECT_EQ(std::future_status::ready, popper.wait_for(5s));
  EXPECT_EQ(0u, queue.size());
}

TEST(SharedQueue, ClearDoesNotWakeTheConsumer) {
  SharedQueue<int> queue;
  queue.push_back(1);
  queue.clear();
  auto consumer = std::async(std::launch::async, [&] { return queue.front(); });
  EXPECT_EQ(std::future_status::timeout, consumer.wait_for(100ms));
  queue.clear();
  EXPECT_EQ(std::future_status::timeout, consumer.wait_for(50ms));
  queue.push_back(7);
  ASSERT_EQ(std::future_status::ready, consumer.wait_for(5s));
  EXPECT_EQ(7, consumer.get());
}

TEST(SharedQueue, OneAppendWakesOneOfTwoWaiters) {
  SharedQueue<int> queue;
  std::atomic<int> woken{0};
  auto waiter = [&] {
    queue.pop_front();
    ++woken;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(50ms);
  queue.push_back(1);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (woken == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(1, woken.load());
  queue.push_back(2);
  a.join();
  b.join();
  EXPECT_EQ(2, woken.load());
}

TEST(SharedQueue, KeepsOrderPerProducerUnderConcurrency) {
  constexpr int kProducers = 4;
  constexpr int kItems = 5000;
  SharedQueue<std::pair<int, int>> queue;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kItems; ++i) queue.push_back({p, i});
    });
  }
  std::vector<int> next(kProducers, 0);
  for (int n = 0; n < kProducers * kItems; ++n) {
    std::pair<int, int> item = queue.front();
    queue.pop_front();
    ASSERT_EQ(next[item.first], item.second) << "producer " << item.first;
    ++next[item.first];
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(queue.empty());
}

TEST(SharedQueue, SizeCountsAppendsAndDestructionFreesElements) {
  auto tracker = std::make_shared<int>(0);
  {
    SharedQueue<std::shared_ptr<int>> queue;
    for (int i = 0; i < 11; ++i) queue.push_back(tracker);
    EXPECT_EQ(11u, queue.size());
    EXPECT_EQ(12, tracker.use_count());
  }
  EXPECT_EQ(1, tracker.use_count());
}

TEST(SharedQueue, BoundedAppendDropsTheOldest) {
  SharedQueue<int> queue;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, queue.push_back_bounded(int(i), 3));
  EXPECT_EQ(1u, queue.push_back_bounded(3, 3));
  EXPECT_EQ(1u, queue.push_back_bounded(4, 3));
  EXPECT_EQ((std::vector<int>{2, 3, 4}), queue.take_front(10));
  EXPECT_TRUE(queue.empty());
}

TEST(SharedQueue, TakeFrontTakesAtMostTheCountInOrder) {
  SharedQueue<std::string> queue;
  for (const char* text : {"a", "b", "c"}) queue.push_back(std::string(text));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), queue.take_front(2));
  EXPECT_EQ((std::vector<std::string>{"c"}), queue.take_front(2));
  EXPECT_TRUE(queue.take_front(2).empty());
}

TEST(SharedQueue, WaitsForASizeOrADeadline) {
  SharedQueue<int> queue;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, queue.wait_until(start + 100ms, [](size_t size) { return size > 0; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

  auto waiter = std::async(std::launch::async, [&] { return queue.wait([](size_t size) { return size >= 2; }); });
  queue.push_back(1);
  EXPECT_EQ(std::future_status::timeout, waiter.wait_for(100ms));
  queue.push_back_bounded(2, 10);
  ASSERT_EQ(std::future_status::ready, waiter.wait_for(5s));
  EXPECT_EQ(2u, waiter.get());
  EXPECT_EQ(2u, queue.wait_until(std::chrono::steady_clock::now() + 10s, [](size_t size) { return size == 2; }));
}

}  // namespace
